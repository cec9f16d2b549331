"""Four threads converting the same inputs at the same time get the same
results as one thread alone: no converter keeps state between calls or
shares a buffer between callers. Each thread runs every function many times
on its own copy of the work list, released together by a barrier; the
interpreter switches threads every 0.1 ms so that calls interleave often.
And zendral_document's file functions, waiting on a pipe, leave the other
threads running and Ctrl-C working; converting in a daemon thread, they let
the interpreter exit."""
import os
import select
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
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


# Two threads wait in zendral_document: one to open a FIFO that no one
# writes, one to read a pipe that stays empty. The main thread then counts,
# says so, and sleeps in short steps until Ctrl-C.
WAITING = textwrap.dedent(r"""
    import os, signal, sys, threading, time, zendral_document
    # Ctrl-C as in a terminal's foreground job, even where this test runs in
    # a background one (which starts with SIGINT ignored).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    folder = sys.argv[1]
    fifo = os.path.join(folder, "fifo")
    os.mkfifo(fifo)
    read_end, write_end = os.pipe()
    waits = [lambda: zendral_document.md_file_to_html(fifo, os.path.join(folder, "a.html")),
             lambda: zendral_document.kv_file_to_json(read_end, os.path.join(folder, "b.jsonl"))]
    for wait in waits:
        threading.Thread(target=wait, daemon=True).start()
    time.sleep(0.2)
    count, started = 0, time.monotonic()
    while time.monotonic() - started < 0.2:
        count += 1
    try:
        print("running", count, flush=True)
        while True:
            time.sleep(0.05)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    os._exit(0)  # the waiting threads never end
""")


class WaitingOnAPipe(unittest.TestCase):
    def test_other_threads_run_and_ctrl_c_reaches_the_main_thread(self):
        with tempfile.TemporaryDirectory() as folder:
            child = subprocess.Popen([sys.executable, "-c", WAITING, folder], stdout=subprocess.PIPE)
            try:
                ready = select.select([child.stdout], [], [], 10)[0]
                self.assertTrue(ready, "the main thread did not run while the others waited")
                words = child.stdout.readline().split()
                self.assertEqual(words[0], b"running")
                self.assertGreater(int(words[1]), 1000)
                child.send_signal(signal.SIGINT)
                sent = time.monotonic()
                self.assertTrue(select.select([child.stdout], [], [], 5)[0], "Ctrl-C did not reach the main thread")
                self.assertEqual(child.stdout.readline(), b"interrupted\n")
                self.assertLess(time.monotonic() - sent, 1.0)
            finally:
                child.kill()
                child.wait()
                child.stdout.close()


# Daemon threads converting, over and over, when the interpreter exits: each
# asks for the lock between blocks while the interpreter finishes.
CONVERTING_AT_EXIT = textwrap.dedent(r"""
    import os, sys, threading, time, zendral_document
    folder, work = sys.argv[1], sys.argv[2]
    source = os.path.join(folder, "in")
    with open(source, "wb") as out:
        out.write(b"- a=1,b=**2**\n" * 200000)
    text = open(source).read()
    works = {"file": lambda: zendral_document.kv_file_to_json(source, os.path.join(folder, "out"), _block_size=4096),
             "threads": lambda: zendral_document.md_file_to_html(source, os.path.join(folder, "out"),
                                                                 threads=2, _block_size=4096),
             "document": lambda: zendral_document.md_to_html(text)}
    def forever():
        while True:
            works[work]()
    threading.Thread(target=forever, daemon=True).start()
    time.sleep(0.1)
""")


class ConvertingAtExit(unittest.TestCase):
    def test_a_daemon_thread_converting_lets_the_interpreter_exit(self):
        for work in ("file", "threads", "document"):
            with self.subTest(work=work), tempfile.TemporaryDirectory() as folder:
                done = subprocess.run([sys.executable, "-c", CONVERTING_AT_EXIT, folder, work],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
                self.assertEqual((done.returncode, done.stderr), (0, b""))


if __name__ == "__main__":
    unittest.main()
