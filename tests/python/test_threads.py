"""Four threads converting the same inputs at the same time get the same
results as one thread alone: no converter keeps state between calls or
shares a buffer between callers. Each thread runs every function many times
on its own copy of the work list, released together by a barrier; the
interpreter switches threads every 0.1 ms so that calls interleave often."""
import os
import sys
import tempfile
import threading
import unittest

from support import zendral

THREADS = 4
ROUNDS = 150


class SameResultsAcrossThreads(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.folder.name, "data.csv")
        with open(self.path, "wb") as out:
            out.write(b"".join(b"ts=%d,msg=m%d,flag\n" % (i, i) for i in range(3000)))
        self.interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-4)

    def tearDown(self):
        sys.setswitchinterval(self.interval)
        self.folder.cleanup()

    def work(self):
        """(function, argument) pairs, from small to large, with error paths."""
        markdown = ["# T %d" % i if i % 7 == 0 else "- *a%d* __b__" % i if i % 3 else "p `%d`" % i
                    for i in range(2000)]
        return [
            (zendral.md_to_html, markdown),
            (zendral.md_to_html, ["**" + "x" * 100000 + "**"]),
            (zendral.md_to_html, ["- a", 3]),  # TypeError
            (zendral.csv_lines_to_json, ["k%d=v%d,x" % (i, i) for i in range(2000)]),
            (zendral.csv_lines_to_json, [b"a=\xff"]),  # UnicodeDecodeError
            (zendral.csv_file_to_json, self.path),
            (zendral.csv_file_to_json, self.path + ".missing"),  # RuntimeError
        ]

    @staticmethod
    def outcome(function, argument):
        try:
            return ("result", function(argument))
        except Exception as error:  # the outcome compared across threads
            return (type(error).__name__, str(error))

    def test_concurrent_calls_match_a_single_thread(self):
        expected = [self.outcome(function, argument) for function, argument in self.work()]
        self.assertEqual(expected[2][0], "TypeError")
        self.assertEqual(expected[4][0], "UnicodeDecodeError")
        self.assertEqual(expected[6][0], "RuntimeError")

        barrier = threading.Barrier(THREADS)
        mismatches = []

        def worker(index):
            work = self.work()
            barrier.wait()
            for round_ in range(ROUNDS):
                # Each thread walks the work list from a different start.
                for step in range(len(work)):
                    which = (step + index + round_) % len(work)
                    function, argument = work[which]
                    if self.outcome(function, argument) != expected[which]:
                        mismatches.append((index, round_, which))

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(mismatches, [])


if __name__ == "__main__":
    unittest.main()
