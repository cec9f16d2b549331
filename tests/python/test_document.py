"""zendral_document: whole documents and files, against what zendral's
functions give for the same lines (the command's old path), at every block
boundary; its types and errors; and escaped output that JSON and HTML
parsers read back as exactly the input."""
import functools
import html.parser
import json
import os
import pathlib
import random
import re
import signal
import tempfile
import unittest

from support import zendral
import zendral_document as document

SEEDS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "fuzz", "seeds")
# Pieces that make every kind of line: headings, items, plain text, spans,
# pairs, CR, non-ASCII and invalid UTF-8, blank lines.
PIECES = [b"# ", b"## ", b"####### ", b"- ", b"-", b"a", b"word ", b"*", b"**", b"_", b"__", b"`",
          b"=", b",", b"\r", b"\n", b"\n", b"\n\n", b"\xc3\xa9", b"<b>", b"&", b'"', b"\\", b"\t"]
BLOCK_SIZES = (1, 2, 3, 5, 16, 61, None)


def split(data):
    lines = data.split(b"\n")
    return lines[:-1] if lines[-1] == b"" else lines


def corpus():
    """(name, bytes): every fuzz seed, then generated documents."""
    for folder, _, names in sorted(os.walk(SEEDS)):
        for name in sorted(names):
            with open(os.path.join(folder, name), "rb") as seed:
                yield os.path.join(os.path.basename(folder), name), seed.read()
    rng = random.Random(25)
    for number in range(150):
        pieces = PIECES + ([b"\xff", b"\xe9"] if number % 3 == 0 else [])
        yield "generated %d" % number, b"".join(rng.choice(pieces) for _ in range(rng.randrange(300)))


def old_path(kind, data):
    """What the command wrote before zendral_document: the module's lines,
    each followed by LF; or the 1-based number of the first line whose own
    output is not UTF-8."""
    function = zendral.md_to_html if kind == "md" else zendral.csv_lines_to_json
    try:
        return "".join(line + "\n" for line in function(split(data))).encode()
    except UnicodeDecodeError:
        for number, line in enumerate(split(data), 1):
            try:
                function([line])
            except UnicodeDecodeError:
                return number
        raise


class Files(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.source = os.path.join(folder.name, "in")
        self.target = os.path.join(folder.name, "out")

    def test_blocks_of_any_size_give_the_old_path_bytes(self):
        for name, data in corpus():
            with open(self.source, "wb") as out:
                out.write(data)
            threads = {"md": functools.partial(document.md_file_to_html, threads=3),
                       "kv": functools.partial(document.kv_file_to_json, threads=3)}
            for kind, convert in (("md", document.md_file_to_html), ("kv", document.kv_file_to_json),
                                  ("md", threads["md"]), ("kv", threads["kv"])):
                wanted = old_path(kind, data)
                for block in BLOCK_SIZES:
                    options = {"_block_size": block, "escape": False} if block else {"escape": False}
                    with self.subTest(input=name, kind=kind, block=block, threads=convert in threads.values()):
                        if isinstance(wanted, int):
                            with self.assertRaises(UnicodeDecodeError) as caught:
                                convert(self.source, self.target, **options)
                            self.assertEqual(caught.exception.line, wanted)
                            continue
                        counts = convert(self.source, self.target, **options)
                        with open(self.target, "rb") as result:
                            self.assertEqual(result.read(), wanted)
                        self.assertEqual(counts, (len(data), wanted.count(b"\n"), len(wanted)))
                if not isinstance(wanted, int):
                    with self.subTest(input=name, kind=kind, form="document"):
                        whole = document.md_to_html if kind == "md" else document.kv_to_json
                        self.assertEqual(whole(data, escape=False), wanted)
                        try:
                            text = data.decode()
                        except UnicodeDecodeError:
                            continue
                        self.assertEqual(whole(text, escape=False), wanted.decode())

    def test_paths_and_descriptors(self):
        with open(self.source, "wb") as out:
            out.write(b"- a\n- b")
        wanted = b"<ul>\n<li>a</li>\n<li>b</li>\n</ul>\n"
        for source, target in ((self.source, self.target), (self.source.encode(), pathlib.Path(self.target)),
                               (pathlib.Path(self.source), None)):
            with self.subTest(source=type(source), target=type(target)):
                if target is None:
                    descriptor = os.open(self.target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
                    try:
                        document.md_file_to_html(source, descriptor)
                        os.write(descriptor, b"after")  # left open, at the end of what was written
                    finally:
                        os.close(descriptor)
                    wanted += b"after"
                else:
                    document.md_file_to_html(source, target)
                with open(self.target, "rb") as result:
                    self.assertEqual(result.read(), wanted)

    def test_errors_name_the_file_they_concern(self):
        with open(self.source, "wb") as out:
            out.write(b"a=1\n" * 1000)
        missing = os.path.join(self.source + ".d", "x")
        cases = [
            (missing, self.target, FileNotFoundError, missing),
            (self.source, missing, FileNotFoundError, missing),
            (os.path.dirname(self.source), self.target, IsADirectoryError, os.path.dirname(self.source)),
        ]
        for source, target, error, name in cases:
            with self.subTest(source=source, target=target):
                with self.assertRaises(error) as caught:
                    document.kv_file_to_json(source, target)
                self.assertEqual(caught.exception.filename, name)
        with self.subTest("a closed pipe"):
            read_end, write_end = os.pipe()
            os.close(read_end)
            try:
                with self.assertRaises(BrokenPipeError) as caught:
                    document.kv_file_to_json(self.source, write_end)
                self.assertEqual(caught.exception.filename, write_end)
            finally:
                os.close(write_end)
        for value in (0, -1):
            with self.subTest(block=value), self.assertRaises(ValueError):
                document.kv_file_to_json(self.source, self.target, _block_size=value)
        with self.subTest("the source as the target"):
            link = self.source + ".link"
            os.link(self.source, link)
            for target in (self.source, link):
                with self.assertRaises(ValueError):
                    document.kv_file_to_json(self.source, target)
            with open(self.source, "rb") as source:
                self.assertEqual(source.read(), b"a=1\n" * 1000)  # not truncated

    def test_a_source_that_fails_leaves_the_target_as_it_was(self):
        cases = [(os.path.dirname(self.source), IsADirectoryError)]
        if os.path.exists("/proc/self/mem"):
            cases.append(("/proc/self/mem", OSError))  # opens, and its first read fails (EIO)
        for source, error in cases:
            with self.subTest(source=source):
                with open(self.target, "wb") as out:
                    out.write(b"kept")
                with self.assertRaises(error) as caught:
                    document.md_file_to_html(source, self.target)
                self.assertEqual(caught.exception.filename, source)
                with open(self.target, "rb") as result:
                    self.assertEqual(result.read(), b"kept")

    def test_a_failed_write_names_the_target_descriptor(self):
        with open(self.source, "wb") as out:
            out.write(b"a=1\n" * 100000)
        read_end, write_end = os.pipe()
        os.set_blocking(write_end, False)
        try:
            with self.assertRaises(BlockingIOError) as caught:
                document.kv_file_to_json(self.source, write_end)  # no reader drains the pipe
            self.assertEqual(caught.exception.filename, write_end)
            self.assertFalse(hasattr(caught.exception, "characters_written"))
        finally:
            os.close(read_end)
            os.close(write_end)
        for descriptor, error in ((2 ** 40, OverflowError), (2 ** 80, OverflowError), (-1, ValueError)):
            with self.subTest(descriptor=descriptor), self.assertRaises(error):
                document.kv_file_to_json(self.source, descriptor)

    def test_pages(self):
        """(document, keywords, the title line, the link line or None)."""
        cases = [
            (b"para\n## Two *x* & <y>\n# One\n", {}, b"<title>Two *x* &amp; &lt;y&gt;</title>", None),
            (b"####### no\n#no\n", {"title": 'a "b"'}, b"<title>a &quot;b&quot;</title>", None),
            (b"text", {}, b"<title>in</title>", None),  # the source's file name
            (b"# T", {"css": 'a.css?x=1&y="2"'}, b"<title>T</title>",
             b'<link rel="stylesheet" href="a.css?x=1&amp;y=&quot;2&quot;">'),
        ]
        for data, keywords, title, link in cases:
            with open(self.source, "wb") as out:
                out.write(data)
            body = document.md_to_html(data)
            wanted = [b"<!doctype html>", b"<html>", b"<head>", b'<meta charset="utf-8">', title] + \
                ([link] if link else []) + [b"</head>", b"<body>"]
            wanted = b"".join(line + b"\n" for line in wanted) + body + b"</body>\n</html>\n"
            for block in (1, 4, None):
                with self.subTest(data=data, block=block):
                    options = dict(keywords, **({"_block_size": block} if block else {}))
                    counts = document.md_file_to_html(self.source, self.target, page=True, **options)
                    with open(self.target, "rb") as result:
                        self.assertEqual(result.read(), wanted)
                    self.assertEqual(counts, (len(data), wanted.count(b"\n"), len(wanted)))
            with self.subTest(data=data, form="document"):
                untitled = wanted.replace(b"<title>in</title>", b"<title>Untitled</title>")
                self.assertEqual(document.md_to_html(data, page=True, **keywords), untitled)

    def test_a_pipe_is_looked_ahead_one_block_for_its_title(self):
        data = b"- item\n" * 4 + b"# Late\n"
        read_end, write_end = os.pipe()
        os.write(write_end, data)
        os.close(write_end)
        try:
            document.md_file_to_html(read_end, self.target, page=True, title="Given", _block_size=8)
        finally:
            os.close(read_end)
        with open(self.source, "wb") as out:
            out.write(data)
        document.md_file_to_html(self.source, self.source + ".html", page=True, title="Given", _block_size=8)
        for path, title in ((self.target, b"<title>Given</title>"), (self.source + ".html", b"<title>Late</title>")):
            with open(path, "rb") as result, self.subTest(path=path):
                self.assertIn(title, result.read())

    def test_a_signal_handler_ends_a_wait_or_a_conversion_on_threads(self):
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        self.addCleanup(os.close, write_end)
        with open(self.source, "wb") as out:
            out.write(b"a=1\n" * 100000)  # in blocks of 16 bytes: seconds on threads
        open(self.target, "wb").close()

        def alarm(signum, frame):
            raise KeyboardInterrupt
        previous = signal.signal(signal.SIGALRM, alarm)
        try:
            # The pipe stays open, empty; the file ends long after the alarm.
            for source, keywords in ((read_end, {}), (self.source, {"threads": 2, "_block_size": 16})):
                with self.subTest(source=source):
                    with self.assertRaises(KeyboardInterrupt):
                        signal.setitimer(signal.ITIMER_REAL, 0.05)
                        document.kv_file_to_json(source, self.target, **keywords)
                    self.assertLess(os.path.getsize(self.target), len(b'{"a": "1"}\n') * 100000)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)


class Documents(unittest.TestCase):
    def test_version_is_the_projects(self):
        with open(os.path.join(os.path.dirname(SEEDS), os.pardir, "CMakeLists.txt")) as cmake_lists:
            version = re.search(r"project\(zendral VERSION ([0-9.]+)", cmake_lists.read()).group(1)
        self.assertEqual(document.__version__, version)

    def test_types_in_and_out(self):
        for function, text, wanted in ((document.md_to_html, "# é\n*x*", "<h1>é</h1>\n<p><em>x</em></p>\n"),
                                       (document.kv_to_json, "a=1,b\r\n", '{"a": "1"}\n')):
            for argument, result in ((text, wanted), (text.encode(), wanted.encode()),
                                     (bytearray(text.encode()), wanted.encode()),
                                     (memoryview(text.encode()), wanted.encode()),
                                     ("", ""), (b"", b"")):
                with self.subTest(function=function.__name__, argument=argument):
                    got = function(argument)
                    self.assertIs(type(got), type(result))
                    self.assertEqual(got, result)

    def test_str_output_is_the_bytes_output_decoded(self):
        rng = random.Random(26)
        alphabet = "#- *_`=,\r\n\n<&\"aé€\U0001f600\x00"
        for _ in range(300):
            text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(80)))
            for function in (document.md_to_html, document.kv_to_json):
                for escape in (False, True):
                    with self.subTest(text=text, function=function.__name__, escape=escape):
                        self.assertEqual(function(text, escape=escape),
                                         function(text.encode(), escape=escape).decode())

    def test_str_of_each_width_in_and_out(self):
        # A str is read, and the result made, 16 code units at a time: a
        # character of each width at each place around those blocks; the
        # result's kind is its widest character's, or it would not compare
        # equal. The last document's result is large enough to be allocated
        # apart from the others.
        for char in ("\x80", "\xff", "\u0100", "\u20ac", "\uffff", "\U0001F600", "\U0010FFFF"):
            lines = ["v" * at + char + "w" * (48 - at) + "\xe9" + "x" * 20  # and a narrower one after
                     for at in (0, 1, 15, 16, 17, 31, 32, 47, 48)]
            with self.subTest(char=char):
                self.assertEqual(document.md_to_html("\n".join(lines)),
                                 "".join("<p>%s</p>\n" % line for line in lines))
                self.assertEqual(document.md_to_html("# " + "\n".join(lines) + "\n" + "x" * 100),
                                 "<h1>%s</h1>\n" % lines[0]
                                 + "".join("<p>%s</p>\n" % line for line in lines[1:]) + "<p>%s</p>\n" % ("x" * 100))
        line = "a" * 60 + "\U0001F600"
        self.assertEqual(document.md_to_html((line + "\n") * 40000), ("<p>%s</p>\n" % line) * 40000)
        # ASCII in, not ASCII out: a title's undecodable byte becomes U+FFFD.
        made = document.md_to_html("x" * 40, page=True, title="t\udcff")
        self.assertIn("<title>t\ufffd</title>", made)
        self.assertEqual(made, document.md_to_html(b"x" * 40, page=True, title="t\udcff").decode())
        # Read a stretch of 16384 code units at a time: characters on either side of a seam.
        text = "a" * 16383 + "\u20ac\U0001F600" + "b" * 16382 + "\xe9"
        self.assertEqual(document.md_to_html(text), "<p>%s</p>\n" % text)

    def test_arguments_refused(self):
        with self.assertRaises(TypeError):
            zendral.md_to_html(["\ud800"])  # what the module raises for such a str
        for function in (document.md_to_html, document.kv_to_json):
            # A long str is read a stretch at a time: a surrogate in a late one.
            for arguments, keywords in ((("\ud800",), {}), (("\u20ac" * 40000 + "\udfff",), {}),
                                        ((["a=1"],), {}), ((None,), {}),
                                        (("a", True), {}), ((), {"text": "a"})):
                with self.subTest(function=function.__name__, arguments=arguments, keywords=keywords):
                    with self.assertRaises(TypeError):
                        function(*arguments, **keywords)
        for function in (document.md_file_to_html, document.kv_file_to_json):
            for threads in (0, -1):
                with self.subTest(function=function.__name__, threads=threads), self.assertRaises(ValueError):
                    function(os.devnull, os.devnull, threads=threads)


def pairs(line):
    """The key=value pairs of an input line, as text."""
    fields = [field.split(b"=", 1) for field in line.split(b",") if b"=" in field]
    return [[part.decode("utf-8", "surrogateescape") for part in pair] for pair in fields]


class TagsAndEntities(html.parser.HTMLParser):
    def __init__(self):
        html.parser.HTMLParser.__init__(self, convert_charrefs=False)
        self.found = []

    def handle_starttag(self, tag, attrs):
        self.found.append(("tag", tag, tuple(attrs)))

    def handle_startendtag(self, tag, attrs):
        self.found.append(("tag", tag, tuple(attrs)))

    def handle_endtag(self, tag):
        self.found.append(("end", tag, ()))

    def handle_entityref(self, name):
        self.found.append(("entity", name, ()))

    def handle_charref(self, name):
        self.found.append(("charref", name, ()))

    def handle_comment(self, data):
        self.found.append(("comment", data, ()))

    def handle_decl(self, decl):
        self.found.append(("decl", decl, ()))

    def handle_pi(self, data):
        self.found.append(("pi", data, ()))

    def unknown_decl(self, data):
        self.found.append(("decl", data, ()))


MADE_TAGS = {"h1", "h2", "h3", "h4", "h5", "h6", "ul", "li", "p", "strong", "em", "code"}
MADE_ENTITIES = {"amp", "lt", "gt", "quot"}


class Escaped(unittest.TestCase):
    def lines(self):
        """Fuzz corpora, generated lines of markup, and every byte value."""
        for _, data in corpus():
            yield from split(data)
        rng = random.Random(27)
        hostile = [b"<script>", b"</p>", b"<img src=x onerror=alert(1)>", b"&amp;", b"&#60;", b"<!--",
                   b"-->", b"<!DOCTYPE x>", b"<?pi?>", b"<![CDATA[", b'"', b"'", b"=", b",", b"*", b"_",
                   b"`", b"- ", b"# ", b"\\", b"a"]
        for _ in range(400):
            yield b"".join(rng.choice(hostile) for _ in range(rng.randrange(12)))
        for value in range(256):
            byte = bytes([value]) if value != 10 else b""  # LF ends a line
            yield b"k" + byte + b"=v" + byte + b"," + byte + b"=" + byte * 3
        yield bytes(range(256)).replace(b"\n", b"")

    def test_key_value_lines_read_back_as_their_pairs(self):
        for line in self.lines():
            with self.subTest(line=line):
                text = document.kv_to_json(line + b"\n", escape=True)
                self.assertTrue(text.endswith(b"\n") and text.count(b"\n") == 1, text)
                parsed = json.loads(text.decode("utf-8", "surrogateescape"), object_pairs_hook=list)
                self.assertEqual([list(pair) for pair in parsed], pairs(line))

    def test_markdown_output_holds_only_the_converter_markup(self):
        for line in self.lines():
            with self.subTest(line=line):
                parser = TagsAndEntities()
                parser.feed(document.md_to_html(line + b"\n", escape=True).decode("utf-8", "surrogateescape"))
                parser.close()
                for kind, name, attributes in parser.found:
                    self.assertIn(kind, ("tag", "end", "entity"), (kind, name))
                    self.assertIn(name, MADE_ENTITIES if kind == "entity" else MADE_TAGS)
                    self.assertEqual(attributes, ())

    def test_escaping_is_on_by_default(self):
        for function, data in ((document.md_to_html, b"<b>&</b>\n"), (document.kv_to_json, b'a="\\\n')):
            with self.subTest(function=function.__name__):
                self.assertEqual(function(data, escape=False),
                                 old_path("md" if function is document.md_to_html else "kv", data))
                self.assertEqual(function(data), function(data, escape=True))
                self.assertNotEqual(function(data), function(data, escape=False))


if __name__ == "__main__":
    unittest.main()
