"""What Python code can observe at the module's boundary: which arguments are
accepted, how they reach the converters, and how failures surface."""
import os
import pickle
import subprocess
import sys
import tempfile
import unittest

try:
    import _testcapi
except ImportError:  # an interpreter built without its test modules
    _testcapi = None

from support import zendral

LIST_FUNCTIONS = ("md_to_html", "csv_lines_to_json")
FUNCTIONS = LIST_FUNCTIONS + ("csv_file_to_json",)
DOCSTRINGS = {
    "md_to_html": "Convert Markdown lines to HTML lines. Returns an array of lines.",
    "csv_lines_to_json": "Convert CSV lines to JSON lines. Returns an array of lines.",
    "csv_file_to_json": "Convert a CSV file to JSON. Returns an array of lines.",
}
SIGNATURES = {
    "md_to_html": "(arg0: List[str]) -> List[str]",
    "csv_lines_to_json": "(arg0: List[str]) -> List[str]",
    "csv_file_to_json": "(arg0: str) -> List[str]",
}


# Runs an import of zendral and a call in a sub-interpreter, after a first
# import in the main interpreter ("main") or none ("sub"); prints what the
# sub-interpreter raised, then a call's result in the main interpreter.
SUB_INTERPRETER_PROBE = r'''
import _testcapi, os, sys
read_end, write_end = os.pipe()
if sys.argv[1] == "main":
    from support import zendral
_testcapi.run_in_subinterp("""if 1:
    import os
    try:
        import zendral
        zendral.csv_file_to_json(b"/nonexistent/\\xff")
    except BaseException as error:
        os.write(%d, ("%%s: %%s" %% (type(error).__name__, error)).encode())
    """ % write_end)
os.close(write_end)
print(os.read(read_end, 1000).decode())
from support import zendral
print(zendral.md_to_html(["*a*"]))
'''


class RaisingSequence:
    """A sequence whose length query or item fetch raises on demand."""

    def __init__(self, items, fail_len=False, fail_at=None):
        self.items, self.fail_len, self.fail_at = items, fail_len, fail_at

    def __len__(self):
        if self.fail_len:
            raise KeyError("length refused")
        return len(self.items)

    def __getitem__(self, index):
        if index == self.fail_at:
            raise LookupError("item %d refused" % index)
        return self.items[index]


class ModuleShape(unittest.TestCase):
    def test_module_has_no_docstring_and_only_its_functions(self):
        self.assertIsNone(zendral.__doc__)
        public = [name for name in vars(zendral) if not name.startswith("__")]
        self.assertEqual(public, list(FUNCTIONS))  # in registration order

    def test_function_docstrings_show_signature_then_text(self):
        for name in FUNCTIONS:
            with self.subTest(name=name):
                function = getattr(zendral, name)
                self.assertEqual(function.__name__, name)
                self.assertEqual(function.__module__, "zendral")
                self.assertEqual(function.__doc__,
                                 name + SIGNATURES[name] + "\n\n" + DOCSTRINGS[name] + "\n")

    def test_functions_pickle_by_reference(self):
        # What a process pool needs to hand a function to its workers.
        for name in FUNCTIONS:
            with self.subTest(name=name):
                function = getattr(zendral, name)
                self.assertEqual(function.__qualname__, name)
                for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                    self.assertIs(pickle.loads(pickle.dumps(function, protocol)), function)

    @unittest.skipUnless(hasattr(_testcapi, "run_in_subinterp"), "needs _testcapi.run_in_subinterp")
    def test_sub_interpreters_are_refused_not_hung(self):
        # A first import inside one, and a call there of the functions that an
        # import in the main interpreter left for it to copy.
        for where in ("sub", "main"):
            with self.subTest(first_import=where):
                output = subprocess.run([sys.executable, "-c", SUB_INTERPRETER_PROBE, where],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60,
                                        universal_newlines=True,
                                        cwd=os.path.dirname(os.path.abspath(__file__))).stdout
                self.assertEqual(output, "ImportError: zendral cannot be used in a sub-interpreter: it "
                                         "runs in the main interpreter only\n['<p><em>a</em></p>']\n")


class LineListArgument(unittest.TestCase):
    def test_accepted_sequences_and_items_agree(self):
        expected = ['{"a": "1"}', '{"\u00e9": "\u20ac"}']
        for argument in (["a=1", "\u00e9=\u20ac"],
                         ("a=1", "\u00e9=\u20ac"),
                         [b"a=1", "\u00e9=\u20ac".encode()],
                         [bytearray(b"a=1"), bytearray("\u00e9=\u20ac".encode())]):
            with self.subTest(argument=argument):
                result = zendral.csv_lines_to_json(argument)
                self.assertEqual(result, expected)
                self.assertTrue(all(type(line) is str for line in result))

    def test_empty_sequences_of_any_kind_give_empty_lists(self):
        for name in LIST_FUNCTIONS:
            for argument in ([], (), bytearray(), range(0), memoryview(b"")):
                with self.subTest(name=name, argument=argument):
                    self.assertEqual(getattr(zendral, name)(argument), [])

    def test_rejected_arguments_raise_type_error(self):
        bad = ("abc", b"abc", {"a=1"}, {"a=1": 1}, (line for line in ["a=1"]), None, 3,
               range(2), bytearray(b"a=1"))
        for name in LIST_FUNCTIONS:
            for argument in bad:
                with self.subTest(name=name, argument=argument):
                    with self.assertRaises(TypeError):
                        getattr(zendral, name)(argument)

    def test_one_bad_item_anywhere_rejects_the_call(self):
        for bad_item in (2, None, 1.5, ["a=1"], "\ud800"):
            for position in range(3):
                items = ["a=1", "b=2"]
                items.insert(position, bad_item)
                for name in LIST_FUNCTIONS:
                    with self.subTest(name=name, item=bad_item, position=position):
                        with self.assertRaises(TypeError):
                            getattr(zendral, name)(items)

    def test_lone_surrogate_is_type_error_not_encode_error(self):
        with self.assertRaises(TypeError) as caught:
            zendral.csv_lines_to_json(["a=\udfff"])
        self.assertNotIsInstance(caught.exception, UnicodeError)

    def test_sequence_exceptions_propagate_unchanged(self):
        with self.assertRaisesRegex(KeyError, "length refused"):
            zendral.csv_lines_to_json(RaisingSequence(["a=1"], fail_len=True))
        with self.assertRaisesRegex(LookupError, "item 1 refused"):
            zendral.csv_lines_to_json(RaisingSequence(["a=1", "b=2"], fail_at=1))

    def test_argument_is_unchanged_and_result_is_new(self):
        argument = ["a=1", b"b=2", bytearray(b"c=3")]
        snapshot = [bytes(item) if isinstance(item, bytearray) else item for item in argument]
        result = zendral.csv_lines_to_json(argument)
        self.assertIsNot(result, argument)
        self.assertEqual([bytes(i) if isinstance(i, bytearray) else i for i in argument], snapshot)
        self.assertIsNot(zendral.csv_lines_to_json(argument), result)

    def test_nul_and_non_ascii_cross_whole(self):
        self.assertEqual(zendral.csv_lines_to_json(["k\x00=\u00e9\x00\U0001F600"]),
                         ['{"k\x00": "\u00e9\x00\U0001F600"}'])

    def test_non_ascii_anywhere_in_long_ascii_runs(self):
        # str items are read, and result lines made, 16 code units at a time:
        # a character of each width at each place around those blocks.
        for char in ("\x80", "\xff", "\u0100", "\u20ac", "\uffff", "\U0001F600", "\U0010FFFF"):
            for at in (0, 1, 15, 16, 17, 31, 32, 47, 48):
                value = "v" * at + char + "w" * (48 - at) + "\xe9" + "x" * 20  # and a narrower one after
                with self.subTest(char=char, at=at):
                    self.assertEqual(zendral.csv_lines_to_json(["k=" + value, "a" * 40 + "=x" + value]),
                                     ['{"k": "%s"}' % value, '{"%s": "x%s"}' % ("a" * 40, value)])
                    self.assertEqual(zendral.md_to_html([value]), ["<p>%s</p>" % value])

    def test_non_utf8_result_line_raises_decode_error(self):
        with self.assertRaises(UnicodeDecodeError):
            zendral.csv_lines_to_json([b"a=1", b"k=\xff"])
        # Dropped with a field that has no "=", the byte never reaches the result.
        self.assertEqual(zendral.csv_lines_to_json([b"a=1,\xff"]), ['{"a": "1"}'])


class CallerObjectsAfterTheCall(unittest.TestCase):
    def test_the_length_is_asked_once(self):
        # A second answer could differ from the first, or raise.
        class AnswersOnce(RaisingSequence):
            asked = 0

            def __len__(self):
                AnswersOnce.asked += 1
                if AnswersOnce.asked > 1:
                    raise KeyError("asked again")
                return len(self.items)

        for name in LIST_FUNCTIONS:
            with self.subTest(name=name):
                AnswersOnce.asked = 0
                getattr(zendral, name)(AnswersOnce(["a=1", "b=2"]))
                self.assertEqual(AnswersOnce.asked, 1)

    def test_a_finalizer_that_empties_the_argument_during_the_call(self):
        # Items of a list are read in place. Raising the error of a line that
        # is not UTF-8 allocates objects, which can start a collection whose
        # finalizers run Python code: here one empties the list, freeing the
        # item, which md_to_html's result line is a view of. Each threshold
        # puts the collection at another allocation, before or during the
        # call. The item is above glibc's largest mmap threshold, so once freed
        # it is unmapped and reading it faults.
        import gc
        body = b"x" * (33 << 20)
        item = b"<code>" + body + b"\xff"
        cases = (("md_to_html", item), ("csv_lines_to_json", b'{"k": "' + item + b'"}'))
        thresholds = gc.get_threshold()
        during = set()  # the cases where the list was emptied during the call
        try:
            for name, undecodable in cases:
                for threshold in range(1, 12):
                    # An item of its own, which only the list holds.
                    lines = [(b"<code>" if name == "md_to_html" else b"k=<code>") + body + b"\xff"]

                    class EmptiesTheList:
                        def __del__(self):
                            lines.clear()

                    gc.collect()
                    gc.set_threshold(threshold)
                    cycle = EmptiesTheList()
                    cycle.self = cycle
                    del cycle
                    try:
                        result = getattr(zendral, name)(lines)
                    except UnicodeDecodeError as caught:
                        gc.set_threshold(*thresholds)
                        self.assertEqual(caught.object, undecodable)
                        if not lines:
                            during.add(name)
                    else:
                        gc.set_threshold(*thresholds)
                        self.assertEqual(result, [])  # emptied before the call
        finally:
            gc.set_threshold(*thresholds)
        if sys.version_info < (3, 12):  # later versions collect between bytecodes only
            self.assertEqual(during, {name for name, _ in cases})

    def test_str_items_and_paths_keep_their_size(self):
        # Nothing (such as a cached UTF-8 copy) stays attached to them.
        line, path = "k=é" * 1000, "/nonexistent/é" * 10
        sizes = sys.getsizeof(line), sys.getsizeof(path)
        for name in LIST_FUNCTIONS:
            getattr(zendral, name)([line])
        with self.assertRaises(RuntimeError):
            zendral.csv_file_to_json(path)
        self.assertEqual((sys.getsizeof(line), sys.getsizeof(path)), sizes)


class CallShape(unittest.TestCase):
    def test_arity_and_keywords_raise_type_error(self):
        for name in FUNCTIONS:
            function = getattr(zendral, name)
            for args, kwargs in (((), {}), (([], []), {}), ((), {"arg0": []}),
                                 (([],), {"arg0": []}), (([],), {"lines": []})):
                with self.subTest(name=name, args=args, kwargs=kwargs):
                    with self.assertRaises(TypeError):
                        function(*args, **kwargs)

    def test_type_error_names_the_signature_and_the_arguments(self):
        for name in FUNCTIONS:
            with self.subTest(name=name):
                with self.assertRaises(TypeError) as caught:
                    getattr(zendral, name)(b"abc" if name == "md_to_html" else 7)
                lines = str(caught.exception).split("\n")
                self.assertEqual(lines[0], name + "(): incompatible function arguments. "
                                 "The following argument types are supported:")
                self.assertEqual(lines[1], "    1. " + SIGNATURES[name])
                self.assertEqual(lines[-1], "Invoked with: " + ("b'abc'" if name == "md_to_html" else "7"))

    def test_type_error_shows_keyword_arguments(self):
        with self.assertRaises(TypeError) as caught:
            zendral.csv_file_to_json(arg0="x.csv")
        self.assertEqual(str(caught.exception).split("\n")[-1], "Invoked with: kwargs: arg0='x.csv'")


class FilePathArgument(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.folder.name, "data.csv")
        with open(self.path, "wb") as out:
            out.write(b"a=1\nb=2\n")

    def tearDown(self):
        self.folder.cleanup()

    def test_path_as_str_bytes_or_bytearray(self):
        for path in (self.path, os.fsencode(self.path), bytearray(os.fsencode(self.path))):
            with self.subTest(path=path):
                self.assertEqual(zendral.csv_file_to_json(path), ['{"a": "1"}', '{"b": "2"}'])

    def test_path_objects_and_none_are_type_errors(self):
        import pathlib
        for path in (pathlib.Path(self.path), None, 3, [self.path]):
            with self.subTest(path=path):
                with self.assertRaises(TypeError):
                    zendral.csv_file_to_json(path)

    def test_missing_file_is_runtime_error_with_the_path(self):
        for path in (os.path.join(self.folder.name, "missing.csv"), "", "relative/none.csv"):
            with self.subTest(path=path):
                with self.assertRaises(RuntimeError) as caught:
                    zendral.csv_file_to_json(path)
                self.assertEqual(str(caught.exception), "Could not open file: " + path)

    def test_unopenable_path_that_is_not_utf8_is_runtime_error_without_text(self):
        with self.assertRaises(RuntimeError) as caught:
            zendral.csv_file_to_json(b"/nonexistent/\xff")
        self.assertEqual(caught.exception.args, ())

    def test_unreadable_file_is_runtime_error_not_a_short_result(self):
        for path in (self.folder.name, "/proc/self/mem"):
            with self.subTest(path=path):
                with self.assertRaises(RuntimeError) as caught:
                    zendral.csv_file_to_json(path)
                self.assertEqual(str(caught.exception), "Could not read file: " + path)

    def test_nul_in_path_is_value_error_and_opens_nothing(self):
        for path in (self.path + "\x00.other", os.fsencode(self.path) + b"\x00", "\x00"):
            with self.subTest(path=path):
                with self.assertRaises(ValueError) as caught:
                    zendral.csv_file_to_json(path)
                self.assertEqual(str(caught.exception), "embedded null byte")

    def test_non_utf8_file_bytes_raise_decode_error(self):
        with open(self.path, "wb") as out:
            out.write(b"a=1\nb=\xc3\n")
        with self.assertRaises(UnicodeDecodeError):
            zendral.csv_file_to_json(self.path)


if __name__ == "__main__":
    unittest.main()
