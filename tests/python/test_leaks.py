"""Repeated calls must not grow the process: 100,000 calls spread over every
way through the module, the normal paths and every error path, leave its
resident memory within 2 MB of where it was after a warm-up. Arguments are a
KB or more (paths and bad arguments too, since error messages repeat them),
and list errors come after some lines were already copied or converted, so
keeping any of that per call would show many times over: 100,000 calls over
14 paths is about 7,000 a path, so 300 bytes kept per call on any single
path exceed the budget."""
import gc
import os
import resource
import sys
import tempfile
import unittest

from support import zendral

CALLS = 100000
WARM_UP_CALLS = 2000
BUDGET = 2 << 20

# Under valgrind (scripts/valgrind.sh) the calls still run, for memcheck to
# watch, but resident memory is valgrind's to grow.
UNDER_VALGRIND = bool(os.environ.get("ZENDRAL_UNDER_VALGRIND"))


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


class NoLeak(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.good_file = os.path.join(self.folder.name, "data.csv")
        with open(self.good_file, "wb") as out:
            out.write(b"".join(b"ts=%d,level=info,msg=m%d,flag\n" % (i, i) for i in range(100)))
        # Long paths, so that keeping a path or a message naming it shows.
        self.missing_file = os.path.join(self.folder.name, "no", "such", "m" * 200, "x" * 1800)
        self.directory = os.path.join(self.folder.name, *["d" * 250] * 6)
        os.makedirs(self.directory)
        self.bad_utf8_file = os.path.join(self.folder.name, "bad.csv")
        with open(self.bad_utf8_file, "wb") as out:
            out.write(b"a=1\n" * 100 + b"k=\xff\n")

    def tearDown(self):
        self.folder.cleanup()

    def calls(self):
        """(name, function, argument, exception or None): one per path."""
        long_text = "*spans* and `code` and **more** " * 30  # about 1 KB
        markdown = ["# Title", "- " + long_text, "- item", long_text, ""]
        key_value = ["a=1,b=2," + "k=" + "v" * 1000, "flag", "x=\u00e9"]
        return [
            ("md_to_html", zendral.md_to_html, markdown, None),
            ("csv_lines_to_json", zendral.csv_lines_to_json, key_value, None),
            ("csv_file_to_json", zendral.csv_file_to_json, self.good_file, None),
            ("bad argument", zendral.md_to_html, {"a=1": "x" * 2000}, TypeError),
            ("str as list", zendral.csv_lines_to_json, "a=1," * 500, TypeError),
            ("bad path type", zendral.csv_file_to_json, [self.good_file * 40], TypeError),
            ("bad last item", zendral.md_to_html, markdown + [7], TypeError),
            ("lone surrogate", zendral.csv_lines_to_json, key_value + ["a=\ud800"], TypeError),
            ("non-UTF-8 result", zendral.csv_lines_to_json, [b"a=1"] * 20 + [b"k=\xff"],
             UnicodeDecodeError),
            ("non-UTF-8 Markdown", zendral.md_to_html, [long_text.encode()] * 3 + [b"\xff"],
             UnicodeDecodeError),
            ("non-UTF-8 file", zendral.csv_file_to_json, self.bad_utf8_file, UnicodeDecodeError),
            ("missing file", zendral.csv_file_to_json, self.missing_file, RuntimeError),
            ("unreadable file", zendral.csv_file_to_json, self.directory, RuntimeError),
            ("NUL in path", zendral.csv_file_to_json, self.good_file + "\x00" + "x" * 2000,
             ValueError),
        ]

    def run_calls(self, calls, count):
        for i in range(count):
            name, function, argument, exception = calls[i % len(calls)]
            if exception is None:
                function(argument)
                continue
            try:
                function(argument)
            except exception:
                pass
            else:
                self.fail("%s: no %s" % (name, exception.__name__))

    def test_every_path_repeated_keeps_memory_flat(self):
        calls = self.calls()
        self.run_calls(calls, WARM_UP_CALLS)
        gc.collect()
        before = resident_bytes()
        self.run_calls(calls, CALLS)
        gc.collect()
        growth = resident_bytes() - before
        print("%d calls over %d paths: resident memory grew by %d KB" % (
            CALLS, len(calls), growth // 1024), file=sys.stderr)
        if not UNDER_VALGRIND:
            self.assertLess(growth, BUDGET)


if __name__ == "__main__":
    unittest.main()
