"""Running out of memory in the middle of a conversion. Each case runs in a
child process that lowers its address-space limit (RLIMIT_AS) to a range of
heights above what it already uses, so the conversion fails at a different
step each time: copying the argument in, converting, or building the result.
At every height the call must either return the whole, correct result or
raise MemoryError (never another exception, a partial list or a crash), and
right after a MemoryError the same process, still under the limit, must
convert a small input correctly. The one documented exception: when the
result list itself cannot be allocated, the call raises RuntimeError "Could
not allocate list object!" with the MemoryError as its cause."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SIZE = 16 << 20  # bytes of text per large input
# Extra address space allowed for the call, as multiples of SIZE. The last
# one is ample (a line dense in nested spans can peak at 13 times its size), so
# there every case must succeed: what fails below it is the memory.
HEIGHTS = (0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 1.75, 2.0, 2.5, 3.0, 4.0, 6.0, 8.0, 12.0, 24.0)


_folder = None  # the child's temporary folder, for the file cases


def _file_of(name, data, size=None):
    """A file of `data`, extended to `size` bytes by a hole (NUL bytes that
    take no disk) when given."""
    path = os.path.join(_folder, name)
    with open(path, "wb") as out:
        out.write(data)
        if size is not None:
            out.truncate(size)
    return path


# name -> () -> (function name, large argument, expected result or None for
# "must raise", small argument, expected small result). Each is built anew
# for every height, so no cached encoding carries over from one to the next.
def _cases():
    n = SIZE
    return {
        "md_to_html: one line of spans": lambda: (
            "md_to_html", ["*ab* " * (n // 5)], ["<p>" + "<em>ab</em> " * (n // 5) + "</p>"],
            ["- *a*"], ["<ul>", "<li><em>a</em></li>", "</ul>"]),
        "md_to_html: one non-ASCII line": lambda: (
            "md_to_html", ["\u00e9" * (n // 2)], ["<p>" + "\u00e9" * (n // 2) + "</p>"],
            ["# \u00e9"], ["<h1>\u00e9</h1>"]),
        "md_to_html: many lines": lambda: (
            "md_to_html", ["- item %d" % i for i in range(n // 64)],
            ["<ul>"] + ["<li>item %d</li>" % i for i in range(n // 64)] + ["</ul>"],
            ["x"], ["<p>x</p>"]),
        "md_to_html: wrong item after a huge line": lambda: (
            "md_to_html", ["\u00e9" * (n // 2), 7], None, ["x"], ["<p>x</p>"]),
        "csv_lines_to_json: one long line": lambda: (
            "csv_lines_to_json", ["k=" + "v" * n], ['{"k": "' + "v" * n + '"}'],
            ["a=1"], ['{"a": "1"}']),
        "csv_lines_to_json: many lines": lambda: (
            "csv_lines_to_json", ["a=%d,b" % i for i in range(n // 32)],
            ['{"a": "%d"}' % i for i in range(n // 32)], ["a=1"], ['{"a": "1"}']),
        "csv_file_to_json: one huge line": lambda: (
            "csv_file_to_json", _file_of("large.csv", b"k=" + b"v" * n), ['{"k": "' + "v" * n + '"}'],
            _file_of("small.csv", b"a=1\n"), ['{"a": "1"}']),
        # The first line's text is not UTF-8, and a line after it cannot be
        # held at any height: running out of memory must win over the decoding.
        "csv_file_to_json: a bad byte, then a line too long": lambda: (
            "csv_file_to_json", _file_of("late.csv", b"k=\xff\n", 1 << 30), None,
            _file_of("small.csv", b"a=1\n"), ['{"a": "1"}']),
    }


# What a case ends in when memory is ample, where not the whole result.
_RAISES = {
    "md_to_html: wrong item after a huge line": "TypeError",
    "csv_file_to_json: a bad byte, then a line too long": "MemoryError",
}


def _out_of_memory(error):
    if isinstance(error, MemoryError):
        return True
    return (str(error) == "Could not allocate list object!"
            and isinstance(error.__cause__, MemoryError))


def _address_space():
    import resource
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * resource.getpagesize()


def _child(case):
    """Runs one case at every height; prints one outcome per height as JSON."""
    import gc
    import resource
    sys.path.insert(0, HERE)
    from support import zendral

    outcomes = []
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    for height in HEIGHTS:
        name, argument, expected, small, small_expected = _cases()[case]()
        function = getattr(zendral, name)
        gc.collect()
        resource.setrlimit(resource.RLIMIT_AS, (_address_space() + int(height * SIZE), hard))
        try:
            try:
                result = function(argument)
            except (MemoryError, RuntimeError) as error:
                result = None
                outcome = "MemoryError" if _out_of_memory(error) else type(error).__name__
                # Still under the limit: a small input must go through whole.
                if outcome == "MemoryError" and function(small) != small_expected:
                    outcome += ", then a wrong small result"
            except Exception as error:  # the outcome under test, reported to the parent
                result = None
                outcome = type(error).__name__
            else:
                if expected is None:
                    outcome = "returned instead of raising"
                elif result == expected:
                    outcome = "whole result"
                else:
                    outcome = "wrong result (%d lines)" % len(result)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        del result, argument, expected
        outcomes.append([height, outcome])
    print(json.dumps(outcomes))


def _thread_child(headroom_mb):
    """Converts a million 600-byte lines in a fresh thread with little address
    space to spare: the results fill the heap with small blocks, so when one
    cannot be had, nothing else can either. Prints the outcome."""
    import resource
    import threading
    sys.path.insert(0, HERE)
    from support import zendral

    lines = ["k=" + "v" * 600] * 1000000
    outcome = []

    def convert():
        try:
            zendral.csv_lines_to_json(lines)
            outcome.append("whole result")
        except MemoryError:
            outcome.append("MemoryError")

    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (_address_space() + (headroom_mb << 20), hard))
    thread = threading.Thread(target=convert)
    thread.start()
    thread.join()
    print(json.dumps(outcome))


class MemoryExhaustion(unittest.TestCase):
    def run_child(self, case):
        env = dict(os.environ)
        # A fixed mmap threshold: large blocks go back to the system when freed,
        # so each height starts from the same footing.
        env["MALLOC_MMAP_THRESHOLD_"] = str(128 * 1024)
        child = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", case],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=300)
        self.assertEqual(child.returncode, 0, "%s: the child ended with %d\n%s" % (
            case, child.returncode, child.stderr.decode(errors="replace")[-2000:]))
        return json.loads(child.stdout.decode().splitlines()[-1])

    def test_a_threads_first_exception_is_memory_error_not_an_abort(self):
        # The C++ runtime sets up a thread's exception state on first use; if
        # that is a throw for want of memory, glibc ends the process.
        for headroom_mb in (25, 50, 100):
            with self.subTest(headroom_mb=headroom_mb):
                child = subprocess.run(
                    [sys.executable, os.path.abspath(__file__), "--thread-child", str(headroom_mb)],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
                self.assertEqual(child.returncode, 0, child.stderr.decode(errors="replace")[-2000:])
                self.assertEqual(json.loads(child.stdout.decode().splitlines()[-1]), ["MemoryError"])

    def test_every_height_gives_the_whole_result_or_memory_error(self):
        for case in sorted(_cases()):
            with self.subTest(case=case):
                outcomes = self.run_child(case)
                print("%-44s %s" % (case, " ".join(
                    "%g:%s" % (height, "ok" if outcome == "whole result" else
                               "MemoryError" if outcome == "MemoryError" else outcome)
                    for height, outcome in outcomes)), file=sys.stderr)
                ample = _RAISES.get(case, "whole result")
                allowed = {"MemoryError", ample}
                for height, outcome in outcomes:
                    self.assertIn(outcome, allowed, "%s at %g x %d bytes" % (case, height, SIZE))
                seen = {outcome for _, outcome in outcomes}
                # The range must reach both sides, or the case tested nothing.
                self.assertIn("MemoryError", seen, case)
                self.assertEqual(outcomes[-1][1], ample, case)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--thread-child"]:
        _thread_child(int(sys.argv[2]))
    elif sys.argv[1:2] == ["--child"]:
        with tempfile.TemporaryDirectory() as _folder:
            _child(sys.argv[2])
    else:
        unittest.main()
