"""examples/scale_out.py, run as a user runs it, on a folder of awkward files:
its outputs must equal, byte for byte, what a plain serial loop over the
module writes; a file whose output cannot be written (the file size limit
stands in for a full disk) must fail alone, leaving neither a partial output
nor a temporary file; and a run must leave no process, scratch file or
listener off loopback behind.

The cluster form needs an interpreter of this Python version that can import
distributed and cryptography: $ZENDRAL_DASK_PYTHON, else this one, else python3.X or python3
on PATH. Without one that test is skipped and says why."""
import concurrent.futures
import contextlib
import io
import json
import os
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import zendral_document
from support import zendral

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                       os.pardir, os.pardir, "examples", "scale_out.py")
VERSION = "%d.%d" % sys.version_info[:2]

FILES = {
    "crlf.log": b"a=1,b=2\r\nc=3\r\n",
    "lone_cr.log": b"a=1\rb=2\nc=3\r",
    "no_final_lf.log": b"a=1\nlast=x",
    "blank_lines.log": b"\n\na=1\n\n",
    "empty.log": b"",
    "bad_utf8_dropped.log": b"ts=1,\xff\xfe no pair,msg=ok\n",
    "odd.log": b'q="x",p=C:\\dir,a=b=c,a=2, s=\xc3\xa9,flag\n',
    "sub/nested.log": b"k=v\n",
    "list.md": b"# Title\n- one\n- **two**\n\n- three\ntext `code` snake_case\n",
    "crlf.md": b"- a\r\n- b\r\n\r\n*x*\r\n",
    "no_final_lf.md": b"## H\n- x",
    "empty.md": b"",
    "one_blank_line.md": b"\n",
}
# A folder of notes, for the files batch takes.
NOTES = {"A.MD": b"# A\n", "b.markdown": b"*b*\n", "sub/c.Markdown": b"c\n", "x.markdown": b"y\n",
         "x.md": b"x\n", "app.LOG": b"k=v\n", "d.kv": b'q="x"\n', "readme.txt": b"hi\n",
         "NOTES.TXT": b"n\n", "logo.png": b"\x89PNG\r\n\x1a\nIHDR=\x89\x01\n", "Makefile": b"all:\n"}
# Its output is larger than the file size limit the runs get; every other is far smaller.
TOO_BIG = "too_big.log"
FILES[TOO_BIG] = b"".join(b"ts=%06d,level=info,msg=request served\n" % i for i in range(4000))
SIZE_LIMIT = 64 * 1024


def serial_reference(folder):
    """What a plain loop writes: each result item as UTF-8 plus LF."""
    expected = {}
    for relative, data in FILES.items():
        if relative == TOO_BIG:
            continue
        if relative.endswith(".md"):
            lines = [line[:-1] if line.endswith(b"\n") else line
                     for line in io.BytesIO(data)]
            result, name = zendral.md_to_html(lines), relative[:-3] + ".html"
        else:
            result = zendral.csv_file_to_json(os.path.join(folder, relative))
            name = relative + ".jsonl"
        expected[name] = "".join(item + "\n" for item in result).encode("utf-8")
    return expected


def processes_in(group):
    """The live (not zombie) processes of a process group."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:  # it has just ended
                continue
            if int(fields[2]) == group and fields[0] != "Z":
                found.append(int(entry))
    return found


def listeners(group):
    """(address, port) of the TCP sockets listening in a process group."""
    sockets = set()
    for pid in processes_in(group):
        try:
            for fd in os.listdir("/proc/%d/fd" % pid):
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
                if target.startswith("socket:["):
                    sockets.add(target[8:-1])
        except OSError:
            continue
    found = set()
    for table, family in (("/proc/net/tcp", socket.AF_INET), ("/proc/net/tcp6", socket.AF_INET6)):
        with open(table) as rows:
            for row in list(rows)[1:]:
                fields = row.split()
                if fields[3] == "0A" and fields[9] in sockets:  # 0A: LISTEN
                    address = bytes.fromhex(fields[1].split(":")[0])
                    # The kernel prints each 32-bit word in host order.
                    words = struct.unpack("<%dI" % (len(address) // 4), address)
                    found.add((socket.inet_ntop(family, struct.pack(">%dI" % len(words), *words)),
                               int(fields[1].split(":")[1], 16)))
    return found


def is_loopback(address):
    return address.startswith("127.") or address in ("::1", "::ffff:127.0.0.1") or \
        address.startswith("::ffff:127.")


def find_dask_python():
    """(interpreter, None) or (None, why not)."""
    chosen = os.environ.get("ZENDRAL_DASK_PYTHON")
    candidates = [chosen] if chosen else [sys.executable] + [
        os.path.join(folder, name) for folder in os.environ.get("PATH", "").split(os.pathsep)
        for name in ("python" + VERSION, "python3")]
    # cryptography: the local cluster's credentials.
    probe = ("import sys, distributed, cryptography, zendral; "
             "print('%d.%d' % sys.version_info[:2])")
    tried = set()
    for candidate in candidates:
        if not os.access(candidate, os.X_OK) or os.path.realpath(candidate) in tried:
            continue
        tried.add(os.path.realpath(candidate))
        try:
            output = subprocess.run([candidate, "-c", probe], stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, timeout=120).stdout
        except (OSError, subprocess.TimeoutExpired):
            continue
        if output.decode(errors="replace").strip() == VERSION:
            return candidate, None
    return None, ("no CPython %s interpreter that imports distributed, cryptography and zendral "
                  "among %s (install python3-distributed and python3-cryptography, or set "
                  "ZENDRAL_DASK_PYTHON)"
                  % (VERSION, sorted(tried)))


def as_a_foreground_job(limit):
    """For a child: the signals a run may get take their default action, as
    in a shell's foreground job; and, if limit, the file size limit."""
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)
    if limit:
        resource.setrlimit(resource.RLIMIT_FSIZE, (SIZE_LIMIT, SIZE_LIMIT))


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as line:
            return line.read()
    except OSError:  # it has just ended
        return b""


def writing(folder):
    return os.path.isdir(folder) and any(name.startswith(".") for name in os.listdir(folder))


class ScaleOut(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.input = os.path.join(folder.name, "in")
        self.scratch = os.path.join(folder.name, "tmp")
        os.mkdir(self.scratch)
        for relative, data in FILES.items():
            path = os.path.join(self.input, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(data)
        self.expected = serial_reference(self.input)
        self.folder = folder.name

    def run_example(self, output, interpreter, *options, source=None, limit=True, then=None):
        """Runs the example on source (self.input) in a process group of its
        own, under the file size limit if limit, sampling the group's listeners
        while it runs; calls then(process) once an output is being written.
        Returns (exit status, stderr, listeners)."""
        env = dict(os.environ, TMPDIR=self.scratch)
        seen = set()
        with tempfile.TemporaryFile() as stderr:
            process = subprocess.Popen(
                [interpreter, EXAMPLE, source or self.input, output] + list(options), env=env,
                stdout=subprocess.DEVNULL, stderr=stderr, start_new_session=True,
                preexec_fn=lambda: as_a_foreground_job(limit))
            try:
                deadline = time.monotonic() + 120
                while process.poll() is None:
                    self.assertLess(time.monotonic(), deadline, "the example ran too long")
                    seen |= listeners(process.pid)
                    if then and writing(output):
                        then, _ = None, then(process)
                    time.sleep(0.05)
                # Whatever it started has ended with it.
                deadline = time.monotonic() + 2
                while processes_in(process.pid) and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(processes_in(process.pid), [], "processes left running")
            finally:
                for pid in processes_in(process.pid):
                    os.kill(pid, signal.SIGKILL)
                process.wait()
            stderr.seek(0)
            return process.returncode, stderr.read().decode(errors="replace"), seen

    def check_outputs(self, output, status, stderr, seen):
        self.assertEqual(status, 1, stderr)  # the one file that could not be written
        failures = [line for line in stderr.splitlines() if "FAILED" in line]
        self.assertEqual(len(failures), 1, stderr)
        self.assertEqual(stderr.splitlines(), failures)  # and nothing else: no worker's log
        self.assertIn(TOO_BIG, failures[0])
        written = {}
        for folder, _, files in os.walk(output):
            for name in files:
                path = os.path.join(folder, name)
                with open(path, "rb") as data:
                    written[os.path.relpath(path, output)] = data.read()
        # No temporary file, no partial output of the file that failed.
        self.assertEqual(sorted(written), sorted(self.expected))
        for name, data in sorted(self.expected.items()):
            self.assertEqual(written[name], data, name)
        self.assertEqual(os.listdir(self.scratch), [])
        self.assertEqual([address for address, _ in seen if not is_loopback(address)], [])

    def test_process_pool_and_serial_loop_match_the_module(self):
        for engine in ("processes", "serial"):
            with self.subTest(engine=engine):
                output = os.path.join(self.folder, engine)
                self.check_outputs(output, *self.run_example(
                    output, sys.executable, "--engine", engine, "--workers", "2", "--raw"))

    def test_dask_cluster_matches_the_module(self):
        interpreter = self.dask_python()
        output = os.path.join(self.folder, "cluster")
        status, stderr, seen = self.run_example(
            output, interpreter, "--engine", "cluster", "--workers", "2", "--raw")
        self.assertTrue(seen, "no listener seen: the cluster did not run")
        self.check_outputs(output, status, stderr, seen)

    def test_the_local_cluster_admits_only_its_starter(self):
        interpreter = self.dask_python()
        done = subprocess.run([interpreter, "-c", OUTSIDER], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120, env=self.dask_environment())
        self.assertEqual(done.returncode, 0, done.stderr)
        results = json.loads(done.stdout.decode())
        self.assertEqual(results["own"], [os.getuid()], results)
        self.assertEqual(results["configured"], 0, results)
        # Each outsider failed to connect: an exception's name, not a result.
        self.assertIsInstance(results["plain"], str, results)
        self.assertIsInstance(results["other credentials"], str, results)

    def test_a_wrong_scheduler_address_fails_fast_in_one_line(self):
        interpreter = self.dask_python()
        banner = socket.socket()
        self.addCleanup(banner.close)
        banner.bind(("127.0.0.1", 0))
        banner.listen(4)
        stop = threading.Event()
        connections = []

        def serve():  # an SSH server's greeting, then silence
            banner.settimeout(0.1)
            while not stop.is_set():
                try:
                    connection = banner.accept()[0]
                except socket.timeout:
                    continue
                connection.sendall(b"SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u3\r\n")
                connections.append(connection)
        server = threading.Thread(target=serve)
        server.start()
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        closed_port = closed.getsockname()[1]
        closed.close()
        silent = socket.socket()  # takes connections, never answers
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(4)
        try:
            for address, text in (
                    ("tcp://127.0.0.1:%d" % banner.getsockname()[1], r"tcp://127.0.0.1:\d+ is not a Dask scheduler"),
                    ("tcp://127.0.0.1:%d" % closed_port, r"cannot reach the Dask scheduler at tcp://127.0.0.1:\d+: "
                                                        r"Connection refused"),
                    ("ws://127.0.0.1:%d" % closed_port, r"cannot reach the Dask scheduler at ws://.*: Connection refused"),
                    ("tcp://127.0.0.1:%d" % silent.getsockname()[1], r"tcp://.*: no Dask handshake in 2 s .*tls://\)"),
                    ("tls://127.0.0.1:%d" % banner.getsockname()[1], r"tls://.*: a tls:// scheduler needs the TLS "
                                                                     r"settings of your Dask configuration .*"),
                    ("inproc://x", r"inproc://x: an inproc:// scheduler is reachable only from its own process.*"),
                    ("tcp://127.0.0.1:99999", r"tcp://127.0.0.1:99999: port 99999 is out of range \(1 to 65535\)")):
                with self.subTest(address):
                    started = time.monotonic()
                    done = subprocess.run(
                        [interpreter, EXAMPLE, self.input, os.path.join(self.folder, "out"),
                         "--scheduler", address], stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, timeout=120, env=self.dask_environment())
                    self.assertEqual(done.returncode, 1, done.stderr)
                    self.assertRegex(done.stderr.decode(), r"\Azendral: %s\n\Z" % text)
                    # Its start-up, then at once: not distributed's 30 s timeout.
                    self.assertLess(time.monotonic() - started, 15)
                    self.assertFalse(os.path.exists(os.path.join(self.folder, "out")))
        finally:
            stop.set()
            server.join()
            for connection in connections:
                connection.close()

    def dask_environment(self):
        return dict(os.environ, TMPDIR=self.scratch)

    def dask_python(self):
        interpreter, why_not = find_dask_python()
        if not interpreter:
            self.skipTest(why_not)
        return interpreter

    def many_logs(self):
        """A folder of logs that takes a local cluster a few seconds: the
        number of files (tasks) sets that, not the converter's speed."""
        folder = os.path.join(self.folder, "many")
        os.mkdir(folder)
        for number in range(160):
            with open(os.path.join(folder, "%02d.log" % number), "wb") as log:
                log.write(b"a=1,b=2\n" * 60000)
        return folder

    def test_a_local_cluster_says_nothing_when_probed_or_interrupted(self):
        def probe_then_interrupt(process):
            # Every listener of the group, as any user of the machine may.
            for _, port in listeners(process.pid):
                for greeting in (b"", b"GET / HTTP/1.0\r\n\r\n", b"\0" * 16):
                    with contextlib.suppress(OSError), \
                            socket.create_connection(("127.0.0.1", port), timeout=2) as probe:
                        probe.sendall(greeting)
            os.killpg(process.pid, signal.SIGINT)
        output = os.path.join(self.folder, "out")
        status, stderr, _ = self.run_example(
            output, self.dask_python(), "--engine", "cluster", "--workers", "2",
            source=self.many_logs(), limit=False, then=probe_then_interrupt)
        self.assertEqual((status, stderr), (130, ""))

    def test_a_killed_cluster_run_leaves_nothing_once_run_again(self):
        source, output = self.many_logs(), os.path.join(self.folder, "out")
        for then in (lambda process: os.kill(process.pid, signal.SIGKILL), None):
            status, stderr, _ = self.run_example(
                output, self.dask_python(), "--engine", "cluster", "--workers", "2",
                source=source, limit=False, then=then)
        self.assertEqual((status, stderr), (0, ""))
        self.assertEqual([name for name in os.listdir(output) if name.startswith(".")], [])
        self.assertEqual(os.listdir(self.scratch), [])  # its scratch folder too

    def test_deaths_retry_alone_only_the_files_in_flight(self):
        source, output, pids = (os.path.join(self.folder, name) for name in ("deaths", "out", "pids"))
        os.mkdir(source)
        for name, lines in [("victim%d.log" % n, 2) for n in range(2)] + \
                [("%02d.log" % n, 1) for n in range(60)]:
            with open(os.path.join(source, name), "wb") as log:
                log.write(b"n=1\n" * lines)
        done = subprocess.run([sys.executable, "-c", DEATHS, pids, "batch", source, output, "--workers", "2"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertRegex(done.stderr.decode(), r"\A(zendral: FAILED .*/victim[01].log: .*died\n){2}\Z")
        self.assertEqual(len(os.listdir(output)), 60)
        with open(pids) as noted:
            # Not a pool for each file after the second death.
            self.assertLess(len(set(noted.read().split())), 20)

    def test_the_standard_library_internals_still_work_here(self):
        from zendral_cli.batch import stdlib_internals as internals
        with concurrent.futures.ProcessPoolExecutor(1) as pool:
            worker = pool.submit(os.getpid).result()
            self.assertIn(worker, internals.pool_processes(pool))
            if sys.version_info < (3, 7):
                internals.quiet_manager_after_a_death()
                self.assertTrue(concurrent.futures.process._queue_management_worker.quiet)
                self.assertFalse(internals.manager_gone(pool))
                os.kill(worker, signal.SIGKILL)
                deadline = time.monotonic() + 30
                while not internals.manager_gone(pool):
                    self.assertLess(time.monotonic(), deadline, "the manager never ended")
                    time.sleep(0.02)
                internals.forget_broken_manager(pool)  # or the shutdown below could wait for ever
        if sys.version_info >= (3, 8):
            internals.start_resource_tracker()
            self.assertTrue(any(b"resource_tracker" in command_line(pid)
                                for pid in processes_in(os.getpgid(0))))

    def test_batch_takes_the_files_it_knows_and_counts_the_rest(self):
        from zendral_cli import batch
        from zendral_cli.options import Options
        source = os.path.join(self.folder, "notes")
        for name, data in NOTES.items():
            os.makedirs(os.path.dirname(os.path.join(source, name)), exist_ok=True)
            with open(os.path.join(source, name), "wb") as note:
                note.write(data)
        page = Options(page=True, css="a&b.css")
        for number, (engine, options, md_globs, kv_globs, written, failed, skipped) in enumerate((
                ("serial", None, None, None,
                 ["A.html", "app.LOG.jsonl", "b.html", "d.kv.jsonl", "sub/c.html", "x.html"], ["x.md"],
                 "skipped 4 files: 2 .txt, 1 .png, 1 without extension"),
                ("processes", None, ["*.TXT", "make*"], ["*.png"],  # not text: fails, as any such file
                 ["Makefile.html", "NOTES.TXT.html", "readme.txt.html"], ["logo.png"],
                 "skipped 7 files: 3 .markdown, 2 .md, 1 .kv, 1 .log"),
                ("processes", page, ["*.markdown"], [], ["b.html", "sub/c.html", "x.html"], [],
                 "skipped 8 files: 2 .md, 2 .txt, 1 .kv, 1 .log, 1 .png, 1 without extension"))):
            with self.subTest(number):
                output, stderr = os.path.join(self.folder, "out%d" % number), io.StringIO()
                with contextlib.redirect_stderr(stderr):
                    progress = batch.run(source, output, engine=engine, show_progress=False,
                                         options=options, md_globs=md_globs, kv_globs=kv_globs)
                self.assertEqual(sorted(os.path.relpath(job.source, source)
                                        for job, _ in progress.failures), failed)
                self.assertEqual(sorted(os.path.relpath(os.path.join(folder, name), output)
                                        for folder, _, names in os.walk(output) for name in names), written)
                self.assertIn("zendral: %s\n" % skipped, stderr.getvalue())
                if options is page:
                    with open(os.path.join(output, "sub", "c.html"), "rb") as html:
                        self.assertRegex(html.read(), rb'\A<!doctype html>\n(?s:.*)<title>c.Markdown</title>'
                                                      rb'\n<link rel="stylesheet" href="a&amp;b.css">\n')


# The command, with a pool worker killed (SIGKILL) whenever it has written an
# output of more than one line, and every conversion's process id noted in
# the file named first.
DEATHS = (
    "import os, signal, sys, zendral_document\n"
    "from zendral_cli import main\n"
    "convert, parent = zendral_document.kv_file_to_json, os.getpid()\n"
    "def noted(source, target, **options):\n"
    "    with open(sys.argv[1], 'a') as pids:\n"
    "        pids.write('%d\\n' % os.getpid())\n"
    "    counts = convert(source, target, **options)\n"
    "    if counts[1] > 1 and os.getpid() != parent:\n"
    "        os.kill(os.getpid(), signal.SIGKILL)\n"
    "    return counts\n"
    "zendral_document.kv_file_to_json = noted\n"
    "sys.exit(main(sys.argv[2:]))\n")

# Starts the local cluster as `zendral batch` does, then tries it as its
# starter and as outsiders: a plain connection, and TLS with credentials of
# one's own. Prints what each got: a result, or the exception's name; and the
# exit status of `zendral batch --scheduler` given its credentials through
# the Dask configuration, as a user of a TLS cluster has them.
OUTSIDER = r"""
import contextlib, json, os, subprocess, sys, tempfile
import distributed
from distributed.security import Security
from zendral_cli.batch import cluster
with contextlib.ExitStack() as stack:
    client = cluster.start_local_cluster(distributed, stack, 1)
    address = client.scheduler.address
    results = {"own": sorted(client.run(os.getuid).values())}
    folder = stack.enter_context(tempfile.TemporaryDirectory())
    env = dict(os.environ)
    for name, setting in (("tls_ca_file", "CA_FILE"), ("tls_client_cert", "CLIENT__CERT"),
                          ("tls_client_key", "CLIENT__KEY")):
        with open(os.path.join(folder, name), "w") as pem:
            pem.write(getattr(client.security, name))
        env["DASK_DISTRIBUTED__COMM__TLS__" + setting] = os.path.join(folder, name)
    os.mkdir(os.path.join(folder, "in"))
    with open(os.path.join(folder, "in", "a.log"), "w") as log:
        log.write("a=1\n")
    results["configured"] = subprocess.run(
        [sys.executable, "-m", "zendral_cli", "batch", os.path.join(folder, "in"),
         os.path.join(folder, "out"), "--scheduler", address], env=env).returncode
    for name, outsider, security in (
            ("plain", address.replace("tls://", "tcp://"), None),
            ("other credentials", address.replace("tcp://", "tls://"), Security.temporary())):
        try:
            with distributed.Client(outsider, timeout=3, security=security) as other:
                results[name] = sorted(other.run(os.getuid).values())
        except Exception as error:
            results[name] = type(error).__name__
    print(json.dumps(results))
"""


if __name__ == "__main__":
    unittest.main()
