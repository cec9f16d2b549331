"""The zendral command, run as a user runs it (python -m zendral_cli) on small
files and standard input: its output must be byte for byte what the module's
functions give, and its edges (errors, a closed pipe, Ctrl-C, progress) must
behave as a careful Unix tool's do."""
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from support import zendral
from test_scale_out import DEATHS, find_dask_python, processes_in

COMMAND = [sys.executable, "-m", "zendral_cli"]
SOURCE_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)

# (name, bytes): awkward inputs, each converted as Markdown and as key=value.
# A list ends one file and starts the next, so documents must not run together.
INPUTS = [
    ("list_end", b"# H\n- a\n- **b**\n"),
    ("crlf", b"- x=1\r\n- y=2\r\n\r\na=1,b=2\r\n"),
    ("lone_cr", b"a=1\rb=2\n*c*\r"),
    ("no_final_lf", b"## T\nk=v,flag\nlast=`x`"),
    ("blank_lines", b"\n\n"),
    ("empty", b""),
    ("odd", b'q="x",p=C:\\dir,a=b=c, s=\xc3\xa9\nsnake_case __u__ ***x***\n'),
    # Longer than a read from a pipe, with a line longer than the command's
    # read size and no final LF: lines must not break where reads do.
    ("long", b"".join(b"k%d=%s\n" % (i, b"v" * 997) for i in range(1500))
     + b"w=" + b"x" * (3 << 19) + b"\nlast=1"),
]


# The command, with any output of more than one line held for a minute once
# written, before its rename: a run caught in the middle of writing a file.
SLOW_WRITE = (
    "import sys, time, zendral_document\n"
    "from zendral_cli import main\n"
    "convert = zendral_document.kv_file_to_json\n"
    "def halfway(source, target, **options):\n"
    "    counts = convert(source, target, **options)\n"
    "    if counts[1] > 1:\n"
    "        time.sleep(60)\n"
    "    return counts\n"
    "zendral_document.kv_file_to_json = halfway\n"
    "sys.exit(main(sys.argv[1:]))\n")

# The command, sending itself SIGTERM after each block it copies into a file
# in place.
STOPPED_WHILE_COPYING = (
    "import os, signal, sys\n"
    "from zendral_cli import main\n"
    "write = os.write\n"
    "def write_and_stop(descriptor, data):\n"
    "    written = write(descriptor, data)\n"
    "    os.kill(os.getpid(), signal.SIGTERM)\n"
    "    return written\n"
    "os.write = write_and_stop\n"
    "sys.exit(main(sys.argv[1:]))\n")


def as_in_a_terminal():
    """For a child: the signals a run may get take their default action, as
    in a shell's foreground job, whatever this process inherited (nohup
    ignores SIGHUP, and a background job of a script SIGINT)."""
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


def split(data):
    lines = data.split(b"\n")
    return lines[:-1] if lines[-1] == b"" else lines


def as_bytes(result):
    return "".join(line + "\n" for line in result).encode("utf-8")


def run(arguments, stdin=b"", cwd=None):
    return subprocess.run(COMMAND + arguments, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=cwd, timeout=120)


class Command(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
        return path

    def expected(self, kind, path):
        if kind == "md":
            with open(path, "rb") as source:
                return as_bytes(zendral.md_to_html(split(source.read())))
        return as_bytes(zendral.csv_file_to_json(path))

    def test_files_stdin_and_output_file_match_the_module(self):
        paths = [self.write(name, data) for name, data in INPUTS]
        for kind in ("md", "kv"):
            for path in paths:
                with self.subTest(kind=kind, input=os.path.basename(path)):
                    wanted = self.expected(kind, path)
                    with open(path, "rb") as source:
                        data = source.read()
                    for arguments, stdin in (([path], b""), ([], data)):
                        done = run([kind, "--raw"] + arguments, stdin)
                        self.assertEqual((done.returncode, done.stderr), (0, b""))
                        self.assertEqual(done.stdout, wanted)
            with self.subTest(kind=kind, input="all, standard input among them, with -o"):
                out = os.path.join(self.folder, "out." + kind)
                arguments = paths[:2] + ["-"] + paths[3:]
                done = run([kind, "--raw", "-o", out] + arguments, INPUTS[2][1])
                self.assertEqual((done.returncode, done.stderr, done.stdout), (0, b"", b""))
                with open(out, "rb") as result:
                    self.assertEqual(result.read(),
                                     b"".join(self.expected(kind, path) for path in paths))

    def test_errors_are_one_line_with_their_status(self):
        self.write("bad.log", b"a=1\nb=\xff,c=2\n")
        self.write("good.md", b"# fine\n")
        cases = [
            # (arguments, standard input, exit status, stderr)
            (["kv", "missing.log"], b"", 1,
             r"zendral: missing.log: No such file or directory\n"),
            (["md", "."], b"", 1, r"zendral: \.: Is a directory\n"),
            (["kv", "bad.log"], b"", 1,
             r"zendral: bad.log: line 2: output is not UTF-8 \(invalid start byte\)\n"),
            # Deep in the input, past the first block searched and the first read.
            (["md"], b"ok\n" * 1500 + b"- \xe9t\xe9\n", 1,
             r"zendral: standard input: line 1501: output is not UTF-8 \(.*\)\n"),
            (["kv", "-o", "out.jsonl", "-"], b"a=1,b=2\n" * 20000 + b"c=\xe9\n", 1,
             r"zendral: standard input: line 20001: output is not UTF-8 \(.*\)\n"),
            # One input fails: no output file at all, the others notwithstanding.
            (["md", "-o", "out.html", "good.md", "gone.md", "good.md"], b"", 1,
             r"zendral: gone.md: No such file or directory\n"),
            (["kv", "-o", os.path.join("nowhere", "out.jsonl")], b"a=1\n", 1,
             r"zendral: nowhere/out.jsonl: cannot write: No such file or directory\n"),
            # An empty name (an unset "$OUT") is no name, never the current folder.
            (["kv", "-o", "", "good.md"], b"", 2,
             r"usage: zendral kv .*\nzendral kv: error: argument -o/--output: an empty name\n"),
            (["md", "good.md", ""], b"", 2, r"usage: zendral md .*\nzendral md: error: argument FILE: an empty name\n"),
            (["batch", "", "out"], b"", 2, r"usage: zendral batch .*\nzendral batch: error: argument INPUT: an empty name\n"),
            (["batch", ".", ""], b"", 2, r"usage: zendral batch .*\nzendral batch: error: argument OUTPUT: an empty name\n"),
            (["md", "--page", "good.md", "-"], b"", 2,
             r"usage: zendral md .*\nzendral md: error: --page makes one page: give it one input\n"),
            (["batch", "absent", "out"], b"", 1,
             r"zendral: .*absent: No such file or directory\n"),
            ([], b"", 2, r"usage: zendral .*\nzendral: error: .*\n"),
            (["kv", "--nope"], b"", 2, r"usage: zendral .*\nzendral: error: .*--nope\n"),
            (["batch", "a", "b", "--workers", "0"], b"", 2,
             r"usage: zendral batch .*\nzendral batch: error: argument --workers: .*\n"),
            # Past what any pool or semaphore takes: no traceback, no folder made.
            (["batch", ".", "out", "--workers", "99999999999999999999"], b"", 2,
             r"usage: zendral batch .*\nzendral batch: error: argument --workers: .*\n"),
        ]
        for arguments, stdin, status, stderr in cases:
            with self.subTest(arguments=arguments):
                done = run(arguments, stdin, cwd=self.folder)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertRegex(done.stderr.decode(), r"\A(?s:%s)\Z" % stderr)
                self.assertEqual(done.stdout, b"")
        self.assertEqual(sorted(os.listdir(self.folder)), ["bad.log", "good.md"])

    def test_help_and_version(self):
        with open(os.path.join(SOURCE_ROOT, "CMakeLists.txt")) as cmake_lists:
            version = re.search(r"project\(zendral VERSION ([0-9.]+)", cmake_lists.read()).group(1)
        for arguments, output in (
                (["--help"], r"usage: zendral .*md.*kv.*batch.*exit status"),
                (["md", "--help"], r"usage: zendral md .*FILE.*--output OUT.*--page.*--css URL"
                                   r".*written as entities.*--raw.*examples:"),
                (["kv", "--help"], r"usage: zendral kv .*FILE.*--output OUT.*--raw"
                                   r".*written as JSON strings.*examples:"),
                (["batch", "--help"], r"usage: zendral batch .*--workers N.*--scheduler.*"
                                      r"--progress.*--escape.*examples:"),
                (["--version"], r"zendral %s\n" % re.escape(version))):
            with self.subTest(arguments=arguments):
                done = run(arguments)
                self.assertEqual((done.returncode, done.stderr), (0, b""))
                self.assertRegex(done.stdout.decode(), r"\A(?s:%s)" % output)

    def test_the_common_command_lines_are_read_as_argparse_reads_them(self):
        from zendral_cli import command_line, parser
        quick = (["kv"], ["kv", "-o", "out", "a", "-"], ["kv", "a", "b", "--output", "o", "--raw"],
                 ["md", "--page", "--css", "s.css", "n.md"], ["md", "--escape", "--", "-a", "--raw"],
                 ["kv", "--"])
        # argparse's to read: abbreviations, repeats, a second --, a value that
        # starts with -, batch; then mistakes, for argparse's messages.
        other = (["kv", "--out", "o"], ["kv", "-oo"], ["kv", "-o", "-"], ["kv", "-o", "a", "-o", "b"],
                 ["kv", "a", "--", "b"], ["batch", "a", "b"], ["kv", "a", "-o", "o", "b"], ["kv", ""],
                 ["kv", "-o", ""], ["kv", "--raw", "--escape"], ["md", "--page", "a", "b"],
                 ["kv", "--css", "x"], ["kv", "-o"], ["kv", "-h"], [])
        for arguments in quick + other:
            with self.subTest(arguments=arguments):
                read = command_line.read(arguments)
                self.assertEqual(read is not None, arguments in quick)
                if read is not None:
                    self.assertEqual(read, parser.parse(arguments))

    def test_a_run_of_the_common_forms_loads_nothing_it_does_not_use(self):
        # What a start costs most: argparse, the version's lookup, signal's
        # enums, and modules only some outputs need.
        path = self.write("a.log", b"a=1\n")
        loaded = ("import sys; before = set(sys.modules); from zendral_cli import main; status = "
                  "main(sys.argv[1:]); sys.stderr.write(' '.join(set(sys.modules) - before)); sys.exit(status)")
        for arguments in (["kv", path], ["md", "--raw", path, "-o", path + ".html"]):
            with self.subTest(arguments=arguments):
                done = subprocess.run([sys.executable, "-c", loaded] + arguments, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.PIPE, timeout=120)
                self.assertEqual(done.returncode, 0)
                self.assertEqual(set(done.stderr.decode().split()) & {
                    "argparse", "importlib.metadata", "pkg_resources", "tempfile", "hashlib", "binascii",
                    "inspect", "signal", "enum"}, set())

    def test_the_help_quoted_in_the_docs_is_the_help(self):
        with open(os.path.join(SOURCE_ROOT, "docs", "command.md"), encoding="utf-8") as page:
            quoted = re.findall(r"<!-- help: (.*) -->\n```text\n\$ \1\n(.*?)```", page.read(), re.S)
        self.assertEqual([command for command, _ in quoted], ["zendral --help", "zendral md --help",
                                                              "zendral kv --help", "zendral batch --help"])

        def words(text):  # the same help as each Python release lays it out
            text = text.replace("optional arguments:", "options:")  # before 3.10
            text = re.sub(r"\[(\w+) \[\1 \.\.\.\]\]", r"[\1 ...]", text)  # before 3.9
            return re.sub(r"(-\w) (\w+), (--\w+) \2", r"\1, \3 \2", text).split()  # 3.13
        for command, text in quoted:
            with self.subTest(command=command):
                done = subprocess.run(COMMAND + command.split()[1:], stdout=subprocess.PIPE,
                                      env=dict(os.environ, COLUMNS="80"), timeout=60)
                self.assertEqual(words(done.stdout.decode()), words(text))

    def test_output_is_json_and_html_readers_trust_by_default(self):
        # The README's log, and the bytes a log meets that JSON must escape.
        with open(os.path.join(SOURCE_ROOT, "examples", "app.log"), "rb") as readme_log:
            log = readme_log.read() + b'path=C:\\new\\table.db,q="x"\nmsg=a\tb\r\n'
        # Each line's keys and values, as the input holds them (duplicates kept).
        wanted = [[field.decode().split("=", 1) for field in line.split(b",") if b"=" in field]
                  for line in split(log)]
        for flags in ([], ["--escape"]):
            with self.subTest(flags=flags):
                done = run(["kv"] + flags, log)
                self.assertEqual((done.returncode, done.stderr), (0, b""))
                self.assertEqual([[list(pair) for pair in json.loads(line, object_pairs_hook=list)]
                                  for line in split(done.stdout)], wanted)
                done = run(["md"] + flags, b"<script>alert(1)</script>\n")
                self.assertEqual(done.stdout, b"<p>&lt;script&gt;alert(1)&lt;/script&gt;</p>\n")
        with self.subTest("jq reads it"):
            if not shutil.which("jq"):
                self.skipTest("jq is not installed (Debian's jq)")
            json_lines = run(["kv"], log).stdout
            done = subprocess.run(["jq", "-c", "."], input=json_lines, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=60)
            self.assertEqual((done.returncode, done.stderr), (0, b""))
            self.assertEqual(len(split(done.stdout)), len(wanted))
        self.write("in/a.log", log)
        self.write("in/b.md", b"<script>\n")
        out = os.path.join(self.folder, "out")
        done = run(["batch", "--escape", "--engine", "serial", os.path.join(self.folder, "in"), out])
        self.assertEqual(done.returncode, 0, done.stderr)
        for name, kind, source in (("a.log.jsonl", "kv", "a.log"), ("b.html", "md", "b.md")):
            with open(os.path.join(out, name), "rb") as result:
                self.assertEqual(result.read(), run([kind, "--escape", os.path.join(
                    self.folder, "in", source)]).stdout)

    def test_page_wraps_one_input_in_a_whole_html_document(self):
        self.write("notes.md", b"no heading & <b>\n- x\n")
        page = ('<!doctype html>\n<html>\n<head>\n<meta charset="utf-8">\n<title>%s</title>\n%s'
                '</head>\n<body>\n%s</body>\n</html>\n')
        link = '<link rel="stylesheet" href="a&amp;b.css">\n'
        plain = run(["md", "notes.md"], cwd=self.folder).stdout
        self.assertEqual(run(["md", "--css", "a&b.css", "notes.md"], cwd=self.folder).stdout, plain)
        # (arguments, standard input, title, link): the title is the file's
        # name, Untitled for standard input.
        for arguments, stdin, title, css in (
                (["notes.md"], b"", "notes.md", ""),
                (["--css", "a&b.css", "-o", "page.html", "notes.md"], b"", "notes.md", link),
                (["--css", "a&b.css", "-"], b"no heading & <b>\n- x\n", "Untitled", link)):
            with self.subTest(arguments=arguments):
                done = run(["md", "--page"] + arguments, stdin, cwd=self.folder)
                self.assertEqual((done.returncode, done.stderr), (0, b""))
                result = done.stdout
                if "-o" in arguments:
                    with open(os.path.join(self.folder, "page.html"), "rb") as written:
                        result = written.read()
                self.assertEqual(result.decode(), page % (title, css, plain.decode()))

    def test_batch_takes_the_options_of_md_and_kv_and_its_own_file_patterns(self):
        options = ["--raw", "--page", "--css", "s.css"]
        self.write("in/skipped.md", b"# not taken: --md replaces *.md\n")
        out = os.path.join(self.folder, "out")
        # (input, its bytes, its output, the command that gives that output)
        for name, data, output, command in (
                ("notes.txt", b'# "Notes" & more\n', "notes.txt.html", ["md"] + options),
                ("app.data", b'q="x"\n', "app.data.jsonl", ["kv", "--raw"])):
            self.write(os.path.join("in", name), data)
            done = run(["batch", os.path.join(self.folder, "in"), out, "--md", "*.txt", "--kv", "*.dat",
                        "--kv", "*.data"] + options)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(out, output), "rb") as result:
                self.assertEqual(result.read(), run(command, data).stdout)
        self.assertEqual(sorted(os.listdir(out)), ["app.data.jsonl", "notes.txt.html"])

    def test_a_closed_pipe_ends_quietly(self):
        # Far more output than a pipe holds, so writing must meet the closed end.
        path = self.write("big.log", b"a=1,b=2\n" * 200000)
        for output in ([], ["-o", "/dev/stdout"]):
            with self.subTest(output=output):
                process = subprocess.Popen(COMMAND + ["kv", path] + output, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE)
                self.assertEqual(process.stdout.readline(), b'{"a": "1", "b": "2"}\n')
                process.stdout.close()
                stderr = process.stderr.read()
                process.stderr.close()
                self.assertEqual((process.wait(timeout=60), stderr), (-signal.SIGPIPE, b""))

    def test_an_input_that_is_standard_output_is_refused_alone(self):
        # zendral kv in.log >> in.log; and standard input from the same file.
        for arguments, stdin, name in ((["in.log", "other.log"], "other.log", "in.log"),
                                       (["other.log", "-", "other.log"], "in.log", "standard input")):
            with self.subTest(arguments=arguments):
                path = self.write("in.log", b"k=old\n")
                self.write("other.log", b"k=other\n")
                with open(path, "ab") as out, open(os.path.join(self.folder, stdin), "rb") as source:
                    done = subprocess.run(COMMAND + ["kv"] + arguments, stdin=source, stdout=out,
                                          stderr=subprocess.PIPE, cwd=self.folder, timeout=120)
                self.assertEqual((done.returncode, done.stderr.decode()),
                                 (1, "zendral: %s: input file is output file\n" % name))
                with open(path, "rb") as result:  # the other inputs went on
                    self.assertEqual(result.read(),
                                     b"k=old\n" + b'{"k": "other"}\n' * (len(arguments) - 1))

    def test_a_write_to_standard_output_that_would_block_ends_the_run_as_its_error(self):
        import zendral_document
        paths = [self.write("f%d.log" % n, b"a=1,b=2\n" * 50000) for n in range(3)]

        def into_a_full_pipe(action):
            read_end, write_end = os.pipe()
            try:
                os.set_blocking(write_end, False)  # no one reads it: it fills at once
                return action(write_end)
            finally:
                os.close(read_end)
                os.close(write_end)

        def names_the_target(descriptor):
            try:
                zendral_document.kv_file_to_json(paths[0], descriptor, escape=False)
            except BlockingIOError as error:
                return error.filename == descriptor
        self.assertTrue(into_a_full_pipe(names_the_target), "the blocked write names another file")
        done = into_a_full_pipe(lambda descriptor: subprocess.run(
            COMMAND + ["kv"] + paths, stdout=descriptor, stderr=subprocess.PIPE, timeout=120))
        self.assertEqual((done.returncode, done.stderr.decode()),
                         (1, "zendral: standard output: cannot write: Resource temporarily unavailable\n"))

    def interrupt(self, arguments, ready, stdin=None, signum=signal.SIGINT, group=True):
        """Starts the command in a process group of its own, waits until
        ready() holds, interrupts the group as Ctrl-C would (or sends signum
        to the group, or to the command alone). Returns (exit status, stderr,
        the processes of the group still running a moment later)."""
        process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, start_new_session=True,
                                   preexec_fn=as_in_a_terminal)
        try:
            if stdin:
                process.stdin.write(stdin)
                process.stdin.flush()
            deadline = time.monotonic() + 60
            while not ready():
                self.assertLess(time.monotonic(), deadline, "the command never got ready")
                time.sleep(0.02)
            (os.killpg if group else os.kill)(process.pid, signum)
            try:
                stderr = process.communicate(timeout=30)[1]
            except subprocess.TimeoutExpired:
                self.fail("standard error held open: processes outlived the command")
            status = process.returncode
            deadline = time.monotonic() + 3
            while processes_in(process.pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            return status, stderr, processes_in(process.pid)
        finally:
            process.stdin.close()
            process.stderr.close()
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except OSError:
                pass
            process.wait()

    def test_ctrl_c_leaves_no_partial_output(self):
        with self.subTest("kv -o, reading a pipe that stays open"):
            folder = os.path.join(self.folder, "convert")
            os.mkdir(folder)
            status, stderr, _ = self.interrupt(
                COMMAND + ["kv", "-o", os.path.join(folder, "out.jsonl")],
                lambda: os.listdir(folder), stdin=b"a=1\n" * 1000)
            self.assertEqual((status, stderr), (130, b""))
            self.assertEqual(os.listdir(folder), [])
        with self.subTest("batch, one worker idle and one writing"):
            self.write("in/quick.log", b"a=1\n")
            self.write("in/slow.log", b"a=1\nb=2\n")
            out = os.path.join(self.folder, "out")
            status, stderr, _ = self.interrupt_slow_batch(out)
            self.assertEqual((status, stderr.decode()), (130, ""))
            self.assertEqual(os.listdir(out), ["quick.log.jsonl"])
        with self.subTest("batch on a local Dask cluster, converting"):
            # The workers neither die of it nor get restarted, noisily.
            self.assertEqual(self.interrupt_cluster()[:2], (130, ""))

    def test_a_signal_while_a_file_is_rewritten_in_place_waits_for_the_whole_result(self):
        source = self.write("big.log", b"k=%s\n" % (b"v" * 100) * 30000)  # 3 MB of output
        out = self.write("out.jsonl", b"old\n" * 1000000)
        os.link(out, out + ".link")  # every link must see the result: written in place
        done = subprocess.run([sys.executable, "-c", STOPPED_WHILE_COPYING, "kv", "--raw", source,
                               "-o", out], stderr=subprocess.PIPE, preexec_fn=as_in_a_terminal,
                              timeout=120)
        self.assertEqual((done.returncode, done.stderr), (128 + signal.SIGTERM, b""))
        with open(out + ".link", "rb") as result:
            self.assertEqual(result.read(), self.expected("kv", source))

    def interrupt_slow_batch(self, out, **how):
        """A batch of in/quick.log and in/slow.log on two workers into OUT,
        interrupted (as self.interrupt, given HOW) once quick's output is in
        place and slow's is written: slow's task stops there, before the
        output is renamed into place."""
        def writing():
            names = os.listdir(out) if os.path.isdir(out) else []
            return "quick.log.jsonl" in names and any(name.startswith(".slow.log.jsonl.") for name in names)
        return self.interrupt([sys.executable, "-c", SLOW_WRITE, "batch", os.path.join(self.folder, "in"),
                               out, "--workers", "2"], writing, **how)

    def interrupt_cluster(self, **how):
        """A cluster batch run interrupted (as self.interrupt, given HOW) once
        its first output is in place: (status, stderr text, processes left),
        with no temporary file left in the output."""
        interpreter, why_not = find_dask_python()
        if not interpreter:
            self.skipTest(why_not)
        for number in range(40):
            self.write("many/%02d.log" % number, b"a=1,b=2\n" * 60000)
        out = os.path.join(self.folder, "cluster")
        status, stderr, left = self.interrupt(
            [interpreter, "-m", "zendral_cli", "batch", os.path.join(self.folder, "many"),
             out, "--engine", "cluster", "--workers", "2"],
            lambda: os.path.isdir(out) and any(not name.startswith(".") for name in os.listdir(out)),
            **how)
        self.assertEqual([name for name in os.listdir(out) if name.startswith(".")], [])
        return status, stderr.decode(), left

    def test_an_output_never_replaces_an_input_and_special_files_are_written_through(self):
        precious = {"a.log": b"k=precious\n", "x.md": b"# precious\n",
                    "data/notes.log.jsonl": b"k=precious\n", "data/data/notes.log": b"x=1\n",
                    "in/a.log": b"k=precious\n"}
        for name, data in precious.items():
            self.write(name, data)
        os.link(os.path.join(self.folder, "a.log"), os.path.join(self.folder, "a-link.log"))
        os.mkdir(os.path.join(self.folder, "out"))
        os.symlink(os.path.join(self.folder, "in", "a.log"),
                   os.path.join(self.folder, "out", "a.log.jsonl"))
        before = sorted(os.listdir(self.folder))
        for arguments, stdin, status, stderr in (
                (["kv", "a.log", "-o", "a.log"], None, 1, r"a.log: cannot write: it is also an input"),
                (["md", "x.md", "-o", "x.md"], None, 1, r"x.md: cannot write: it is also an input"),
                (["kv", "-o", "a.log"], "a.log", 1, r"a.log: cannot write: it is also an input"),
                (["kv", "x.md", "a.log", "-o", "a-link.log"], None, 1,
                 r"a-link.log: cannot write: it is also an input"),
                (["batch", "data", "."], None, 2, r"the output folder must not hold the input folder"),
                (["batch", "in", "out"], None, 1, r".*/out/a.log.jsonl: cannot write: it is also an input")):
            with self.subTest(arguments=arguments, stdin=stdin):
                with open(os.path.join(self.folder, stdin or "x.md"), "rb") as source:
                    done = subprocess.run(COMMAND + arguments, stdin=source, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, cwd=self.folder, timeout=120)
                self.assertEqual((done.returncode, done.stdout), (status, b""))
                self.assertRegex(done.stderr.decode(), r"\Azendral: %s\n\Z" % stderr)
        for name, data in precious.items():
            with open(os.path.join(self.folder, name), "rb") as kept:
                self.assertEqual(kept.read(), data, name)
        self.assertEqual(sorted(os.listdir(self.folder)), before)

        source = os.path.join(self.folder, "a.log")
        wanted = self.expected("kv", source)
        special = os.path.join(self.folder, "special")
        os.mkdir(special)
        path = lambda name: os.path.join(special, name)  # noqa: E731
        os.mkfifo(path("fifo"))
        for name in ("target", "linked", "private"):
            self.write(os.path.join("special", name), b"old\n")
        os.symlink("target", path("symlink"))
        os.link(path("linked"), path("other-link"))
        os.chmod(path("private"), 0o600)
        root = os.geteuid() == 0
        if root:  # devices of its own: the machine's /dev/null must never be at stake
            os.mknod(path("null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            os.mknod(path("full"), 0o666 | stat.S_IFCHR, os.makedev(1, 7))
            os.chown(path("private"), 65534, 65534)
        devices = ["null"] if root else []
        long_name = "o" * 245
        for name, reader in [("fifo", True), ("symlink", False), ("linked", False),
                             ("private", False), (long_name, False)] + [(d, False) for d in devices]:
            with self.subTest(output=name[:20]):
                received = []

                def read(name=name):
                    with open(path(name), "rb") as fifo:
                        received.append(fifo.read())
                if reader:  # a FIFO's reader gets the bytes
                    thread = threading.Thread(target=read)
                    thread.start()
                done = run(["kv", source, "-o", path(name)])
                if reader:
                    thread.join(60)
                self.assertEqual((done.returncode, done.stderr), (0, b""))
                if reader:
                    self.assertEqual(received, [wanted])
        if root:
            done = run(["kv", source, "-o", path("full")])
            self.assertEqual((done.returncode, done.stderr.decode()), (
                1, "zendral: %s: cannot write: No space left on device\n" % path("full")))
        modes = {name: os.lstat(path(name)) for name in os.listdir(special)}
        self.assertTrue(stat.S_ISFIFO(modes["fifo"].st_mode))
        self.assertTrue(stat.S_ISLNK(modes["symlink"].st_mode))
        for name in devices + (["full"] if root else []):
            self.assertTrue(stat.S_ISCHR(modes[name].st_mode), name)
        self.assertEqual(stat.S_IMODE(modes["private"].st_mode), 0o600)
        if root:
            self.assertEqual((modes["private"].st_uid, modes["private"].st_gid), (65534, 65534))
        self.assertEqual(modes["linked"].st_ino, modes["other-link"].st_ino)
        for name in ("target", "linked", "other-link", "private", long_name):
            with open(path(name), "rb") as result:
                self.assertEqual(result.read(), wanted, name[:20])
        # Nothing else: no temporary file left, no file made beside a special one.
        self.assertEqual(sorted(modes), sorted(
            ["fifo", "symlink", "target", "linked", "other-link", "private", long_name]
            + devices + (["full"] if root else [])))

        self.write("batch/" + "b" * 236 + ".log", b"k=v\n")
        done = run(["batch", os.path.join(self.folder, "batch"), os.path.join(self.folder, "batch-out")])
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(os.listdir(os.path.join(self.folder, "batch-out")), ["b" * 236 + ".log.jsonl"])

    def test_an_unprivileged_user_writes_where_cp_would(self):
        # Run in a child that drops root's rights, when run as root: the
        # command as a user who cannot create files in /dev or /proc, nor
        # write root's files; the user's write permission on OUT decides.
        os.chmod(self.folder, 0o777)
        source = self.write("a.log", b"k=v\n")
        wanted = self.expected("kv", source)
        root = os.geteuid() == 0
        refused = "zendral: %s: cannot write: Permission denied\n"
        # (OUT, exit status, stderr, what OUT then holds)
        cases = [("/dev/null", 0, "", None), ("/dev/stdout", 0, "", None)]
        own = self.write("locked/own.jsonl", b"old\n")  # in a folder it cannot write to
        read_only = self.write("open/read-only.jsonl", b"old\n")
        os.chmod(read_only, 0o444)
        tagged = self.write("open/tagged.jsonl", b"old\n")
        cases += [(own, 0, "", wanted), (read_only, 1, refused % read_only, b"old\n")]
        try:
            os.setxattr(tagged, "user.origin", b"kept")
            cases.append((tagged, 0, "", wanted))
        except OSError:  # a file system without user attributes
            tagged = None
        os.chmod(os.path.dirname(read_only), 0o777)
        if root:
            for path in filter(None, (own, read_only, tagged)):
                os.chown(path, 65534, 65534)
            roots = self.write("open/roots.jsonl", b"old\n")
            shared = self.write("sticky/roots.jsonl", b"old\n")  # as in /tmp
            os.chmod(shared, 0o666)
            os.chmod(os.path.dirname(shared), 0o1777)
            cases += [(roots, 1, refused % roots, b"old\n"), (shared, 0, "", wanted)]
        else:
            os.chmod(os.path.dirname(own), 0o555)
            self.addCleanup(os.chmod, os.path.dirname(own), 0o755)
        for output, status, stderr, result in cases:
            with self.subTest(output=output):
                self.assertEqual(self.unprivileged(["kv", source, "-o", output]),
                                 (status, stderr, wanted if output == "/dev/stdout" else b""))
                if result is not None:
                    with open(output, "rb") as written:
                        self.assertEqual(written.read(), result)
        self.assertEqual(os.listdir(os.path.dirname(own)), ["own.jsonl"])
        if tagged:
            self.assertEqual(os.getxattr(tagged, "user.origin"), b"kept")
        if root:  # no temporary file left
            self.assertEqual(sorted(os.listdir(os.path.dirname(roots))),
                             ["read-only.jsonl", "roots.jsonl", "tagged.jsonl"])
            self.assertEqual([os.stat(path).st_uid for path in (roots, shared)], [0, 0])

    def unprivileged(self, arguments):
        """Runs the command in a child, as user 65534 when this is root:
        (exit status, stderr, stdout)."""
        result, errors = (os.path.join(self.folder, name) for name in ("stdout", "stderr"))
        child = os.fork()
        if child == 0:  # pragma: no cover (the child)
            status = 99
            try:
                # All it needs, loaded while the interpreter's own folder
                # can still be read.
                import importlib
                import pkgutil
                import zendral_cli
                for module in pkgutil.iter_modules(zendral_cli.__path__):
                    if module.name != "__main__":
                        importlib.import_module("zendral_cli." + module.name)
                if os.geteuid() == 0:
                    os.setgroups([])
                    os.setgid(65534)
                    os.setuid(65534)
                for descriptor, path in ((1, result), (2, errors)):
                    os.dup2(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666), descriptor)
                status = zendral_cli.main(arguments)
            finally:
                os._exit(status)
        status = os.waitpid(child, 0)[1] >> 8
        with open(result, "rb") as written, open(errors) as told:
            return status, told.read(), written.read()

    def test_sigterm_and_sighup_end_a_run_as_ctrl_c_and_workers_end_with_it(self):
        self.write("in/quick.log", b"a=1\n")
        self.write("in/slow.log", b"a=1\nb=2\n")
        for signum, group, number in ((signal.SIGTERM, True, 0), (signal.SIGHUP, True, 1),
                                      (signal.SIGTERM, False, 2), (signal.SIGKILL, False, 3)):
            with self.subTest("kv -o", signal=signum) if number < 2 else self.subTest(number):
                if number < 2:
                    folder = os.path.join(self.folder, "convert%d" % number)
                    os.mkdir(folder)
                    status, stderr, _ = self.interrupt(
                        COMMAND + ["kv", "-o", os.path.join(folder, "out.jsonl")],
                        lambda: os.listdir(folder), stdin=b"a=1\n" * 1000, signum=signum)
                    self.assertEqual((status, stderr, os.listdir(folder)), (128 + signum, b"", []))
            with self.subTest("batch, one worker writing", signal=signum, group=group):
                out = os.path.join(self.folder, "out%d" % number)
                status, stderr, left = self.interrupt_slow_batch(out, signum=signum, group=group)
                # Killed, the command cannot clean up; its workers still do.
                self.assertEqual((status, stderr.decode(), left),
                                 (-signum if signum == signal.SIGKILL else 128 + signum, "", []))
                self.assertEqual(os.listdir(out), ["quick.log.jsonl"])
        with self.subTest("batch on a local Dask cluster, SIGTERM to the command alone"):
            self.assertEqual(self.interrupt_cluster(signum=signal.SIGTERM, group=False), (143, "", []))
            self.assertEqual([name for name in os.listdir(out) if name.startswith(".")], [])

    def test_a_rerun_removes_stale_temporary_files_of_its_own_only(self):
        self.write("in/a.log", b"a=1\n")
        out = os.path.join(self.folder, "out")
        ended = subprocess.Popen([sys.executable, "-c", ""])
        ended.wait()
        dead, alive = "%08x" % ended.pid, "%08x" % os.getpid()
        stale = [".a.log.jsonl.%sbeef.tmp" % dead, ".x.jsonl.%s0000.tmp" % dead]
        kept = [".a.log.jsonl.%sbeef.tmp" % alive,  # a writer still running
                ".a.log.jsonl.%sbeef.tmp.old" % dead, ".b.log.jsonl.%sbeef.tmp" % dead,
                "a.log.jsonl.%sbeef.tmp" % dead, ".a.log.jsonl.%sBEEF.tmp" % dead]
        for name in stale + kept:
            self.write(os.path.join("out", name), b"")
        for arguments in (["batch", os.path.join(self.folder, "in"), out],
                          ["kv", "-o", os.path.join(out, "x.jsonl"), os.path.join(self.folder, "in", "a.log")]):
            done = run(arguments)
            self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(sorted(os.listdir(out)), sorted(kept + ["a.log.jsonl", "x.jsonl"]))

    def test_a_worker_killed_takes_only_its_own_file(self):
        self.write("in/victim.log", b"a=1\nb=2\n" * 10)  # the largest: submitted first
        for number in range(30):
            self.write("in/%02d.log" % number, b"n=%d\n" % number)
        out = os.path.join(self.folder, "out")
        done = subprocess.run([sys.executable, "-c", DEATHS, os.devnull, "batch",
                               os.path.join(self.folder, "in"), out, "--workers", "2"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertRegex(done.stderr.decode(), r"\Azendral: FAILED .*victim.log: .*died\n\Z")
        self.assertEqual(sorted(os.listdir(out)), ["%02d.log.jsonl" % n for n in range(30)])

    def test_a_closed_or_failing_stderr_never_stops_the_work(self):
        self.write("in/bad.md", b"- \xe9t\xe9\n" * 100)  # the largest: converted first
        for number in range(20):
            self.write("in/%02d.log" % number, b"n=%d\n" % number)
        wanted = ["%02d.log.jsonl" % n for n in range(20)]
        for number, how in enumerate(("closed", "full", "reader gone")):
            with self.subTest(stderr=how):
                out = os.path.join(self.folder, "out%d" % number)
                arguments = COMMAND + ["batch", os.path.join(self.folder, "in"), out,
                                       "--engine", "serial", "--progress"]
                if how == "closed":
                    done = subprocess.run(arguments, preexec_fn=lambda: os.close(2), timeout=120)
                    status = done.returncode
                elif how == "full":
                    with open("/dev/full", "wb") as full:
                        status = subprocess.run(arguments, stderr=full, timeout=120).returncode
                else:
                    process = subprocess.Popen(arguments, stderr=subprocess.PIPE)
                    process.stderr.close()
                    status = process.wait(timeout=120)
                self.assertEqual((status, sorted(os.listdir(out))), (1, wanted))

    def test_batch_matches_md_and_kv_and_needs_dask_only_for_a_cluster(self):
        self.write("in/a.md", INPUTS[0][1])
        self.write("in/sub/b.log", INPUTS[1][1])
        # distributed cannot be imported, whether or not it is installed.
        without_dask = ("import sys; sys.modules['distributed'] = None\n"
                        "from zendral_cli import main; sys.exit(main(sys.argv[1:]))")
        source = os.path.join(self.folder, "in")
        for options, progress in ((["--raw"], False), (["--raw", "--progress", "--engine", "serial"], True)):
            with self.subTest(options=options):
                out = os.path.join(self.folder, "out%d" % len(options))
                done = subprocess.run(
                    [sys.executable, "-c", without_dask, "batch", source, out] + options,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
                self.assertEqual((done.returncode, done.stdout), (0, b""))
                # Progress only when asked for, stderr not being a terminal.
                self.assertEqual(b"2/2 files" in done.stderr, progress, done.stderr)
                for name, kind, target in (("a.md", "md", "a.html"),
                                           (os.path.join("sub", "b.log"), "kv", "b.log.jsonl")):
                    with open(os.path.join(out, os.path.dirname(name), target), "rb") as result:
                        self.assertEqual(result.read(),
                                         self.expected(kind, os.path.join(source, name)))
        with self.subTest("cluster without distributed"):
            out = os.path.join(self.folder, "cluster")
            done = subprocess.run(
                [sys.executable, "-c", without_dask, "batch", source, out, "--engine", "cluster"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
            self.assertEqual(done.returncode, 1)
            self.assertRegex(done.stderr.decode(),
                             r"\Azendral: the cluster engine needs Dask's distributed package.*"
                             r"pip install distributed.*\n\Z")
            self.assertFalse(os.path.exists(out))
        with self.subTest("local cluster without cryptography, for its credentials"):
            interpreter, why_not = find_dask_python()
            if not interpreter:
                self.skipTest(why_not)
            done = subprocess.run(
                [interpreter, "-c", without_dask.replace("distributed", "cryptography"), "batch",
                 source, out, "--engine", "cluster"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
            self.assertEqual(done.returncode, 1)
            self.assertRegex(done.stderr.decode(),
                             r"\Azendral: the local cluster needs the cryptography package.*\n\Z")
            self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    unittest.main()
