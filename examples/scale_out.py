"""Converts a folder of files with zendral on every core, or across machines.

    python3 scale_out.py INPUT OUTPUT                      process pool, one per core
    python3 scale_out.py INPUT OUTPUT --workers 8
    python3 scale_out.py INPUT OUTPUT --engine cluster     a local Dask cluster
    python3 scale_out.py INPUT OUTPUT --scheduler tcp://10.0.0.5:8786   an existing one
    python3 scale_out.py INPUT OUTPUT --engine serial      one file after another

Every file under INPUT (recursively) becomes one file under OUTPUT, at the
same relative place: NAME.md becomes NAME.html (md_to_html), any other file
NAME becomes NAME.jsonl (csv_file_to_json). Each result item is written as
UTF-8 followed by one LF, so an empty result gives an empty file.

A Markdown file is read as bytes and split at LF only, the way
csv_file_to_json reads its files: a CR stays in its line, a final LF ends the
last line rather than starting an empty one, and the lines go to md_to_html as
bytes items.

One task converts one whole file and writes its output itself, under a
temporary name renamed into place, so that a reader never sees half a file
and a task run again after a lost worker is harmless. Tasks return counts,
never the converted lines: a list of strings sent back to the caller costs
far more than the conversion. A file that fails is reported and has no
output; the others go on, and the exit status is then 1.

The cluster form needs the `distributed` package (Debian: python3-distributed)
and zendral importable by every worker; the process pool needs nothing else.
Workers on other machines must see INPUT and OUTPUT at the same paths.
"""
import argparse
import binascii
import concurrent.futures
import contextlib
import os
import sys
import tempfile
import time

import zendral

MARKDOWN_SUFFIX = ".md"
LOOPBACK = "127.0.0.1"


def read_markdown_lines(path):
    with open(path, "rb") as source:
        data = source.read()
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()  # the final LF ends a line; an empty file has no lines
    return len(data), lines


def write_lines(target, lines):
    """Writes each item as UTF-8 plus LF to a temporary file beside target,
    then renames it to target. Returns the number of bytes written."""
    folder, name = os.path.split(target)
    token = binascii.hexlify(os.urandom(6)).decode()
    temporary = os.path.join(folder, ".%s.%s.tmp" % (name, token))
    # O_EXCL: never write through a file or link that is already there; mode
    # 0o666 lets the umask decide, as for any file the user creates.
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        written = 0
        with os.fdopen(descriptor, "wb") as out:
            if lines:
                data = "\n".join(lines).encode("utf-8")
                written = out.write(data) + out.write(b"\n")
                del data
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return written


def convert_file(kind, source, target):
    """One task: converts source, writes target. Returns (input bytes,
    output lines, output bytes)."""
    if kind == "markdown":
        size, lines = read_markdown_lines(source)
        result = zendral.md_to_html(lines)
        del lines
    else:
        size = os.path.getsize(source)
        result = zendral.csv_file_to_json(source)
    written = write_lines(target, result)
    return size, len(result), written


class Job(object):
    __slots__ = ("kind", "source", "target", "size")

    def __init__(self, kind, source, target, size):
        self.kind, self.source, self.target, self.size = kind, source, target, size


def plan(input_dir, output_dir):
    """The jobs for every regular file under input_dir, largest first so that
    a long file does not start last. Creates the output folders."""
    input_dir, output_dir = os.path.abspath(input_dir), os.path.abspath(output_dir)
    if not os.path.isdir(input_dir):
        raise SystemExit("scale_out: not a folder: %s" % input_dir)
    if os.path.realpath(input_dir) == os.path.realpath(output_dir):
        raise SystemExit("scale_out: the output folder must differ from the input folder")
    skip = os.path.realpath(output_dir)
    jobs = []

    def unreadable(error):  # a folder left out silently would look like success
        raise SystemExit("scale_out: cannot read %s: %s" % (error.filename, error.strerror))

    for folder, subfolders, files in os.walk(input_dir, onerror=unreadable):
        # An output folder inside the input is not input.
        subfolders[:] = sorted(name for name in subfolders
                               if os.path.realpath(os.path.join(folder, name)) != skip)
        for name in sorted(files):
            source = os.path.join(folder, name)
            if not os.path.isfile(source):
                continue  # a broken link, a pipe, a socket
            relative = os.path.relpath(source, input_dir)
            if name.endswith(MARKDOWN_SUFFIX):
                kind, relative = "markdown", relative[:-len(MARKDOWN_SUFFIX)] + ".html"
            else:
                kind, relative = "key_value", relative + ".jsonl"
            target = os.path.join(output_dir, relative)
            jobs.append(Job(kind, source, target, os.path.getsize(source)))
    for folder in sorted(set(os.path.dirname(job.target) for job in jobs)):
        os.makedirs(folder, exist_ok=True)
    jobs.sort(key=lambda job: -job.size)
    return jobs


class Progress(object):
    """Files done / total and MB/s on stderr: one line rewritten in place on a
    terminal, a line every few seconds otherwise."""

    def __init__(self, jobs, stream=sys.stderr):
        self.total_files = len(jobs)
        self.total_bytes = sum(job.size for job in jobs)
        self.stream = stream
        self.live = stream.isatty()
        self.files = self.bytes = 0
        self.failures = []
        self.start()

    def start(self):
        self.started = self.shown = self.last = time.monotonic()

    def done(self, job, counts):
        self.files += 1
        self.bytes += counts[0]
        self.last = time.monotonic()
        self.show()

    def failed(self, job, error):
        self.failures.append((job, error))
        self.last = time.monotonic()
        self.show(force=True)
        self.stream.write("%sscale_out: FAILED %s: %s: %s\n" % (
            "\n" if self.live else "", job.source, type(error).__name__, error))
        self.stream.flush()

    def rate(self, final=False):
        elapsed = max((self.last if final else time.monotonic()) - self.started, 1e-9)
        return elapsed, self.bytes / 1e6 / elapsed

    def show(self, force=False):
        now = time.monotonic()
        if not force and now - self.shown < (0.2 if self.live else 5.0):
            return
        self.shown = now
        elapsed, rate = self.rate()
        line = "%d/%d files  %.1f/%.1f MB  %.1f MB/s  %.1f s" % (
            self.files + len(self.failures), self.total_files, self.bytes / 1e6,
            self.total_bytes / 1e6, rate, elapsed)
        self.stream.write(("\r" + line + "\033[K") if self.live else line + "\n")
        self.stream.flush()

    def finish(self):
        self.show(force=True)
        if self.live:
            self.stream.write("\n")
        self.stream.flush()


def run_serial(jobs, progress):
    for job in jobs:
        try:
            counts = convert_file(job.kind, job.source, job.target)
        except Exception as error:  # reported per file; the others go on
            progress.failed(job, error)
        else:
            progress.done(job, counts)


def run_processes(jobs, workers, progress):
    with concurrent.futures.ProcessPoolExecutor(workers) as pool:
        futures = {}
        try:
            for job in jobs:
                futures[pool.submit(convert_file, job.kind, job.source, job.target)] = job
            for future in concurrent.futures.as_completed(futures):
                try:
                    counts = future.result()
                except Exception as error:
                    progress.failed(futures[future], error)
                else:
                    progress.done(futures[future], counts)
        except BaseException:
            for future in futures:  # shutdown would otherwise run them all first
                future.cancel()
            raise


def zendral_on_worker():
    try:
        import zendral as module
    except ImportError as error:
        return "cannot import zendral: %s" % error
    return None if hasattr(module, "csv_file_to_json") else "zendral has no csv_file_to_json"


def run_cluster(jobs, workers, scheduler, progress):
    import distributed  # only this form needs it

    with contextlib.ExitStack() as stack:
        if scheduler:
            client = stack.enter_context(distributed.Client(scheduler))
            problems = {address: problem for address, problem
                        in client.run(zendral_on_worker).items() if problem}
            if problems:
                for address, problem in sorted(problems.items()):
                    sys.stderr.write("scale_out: worker %s: %s\n" % (address, problem))
                raise SystemExit("scale_out: put zendral on the workers' PYTHONPATH "
                                 "(or client.upload_file the module) and try again")
        else:
            # The workers' scratch space goes away with the cluster.
            space = stack.enter_context(tempfile.TemporaryDirectory(prefix="scale-out-"))
            # Every listener on loopback: the scheduler, the workers, their
            # nannies, and the dashboards, which would take all interfaces.
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, host=LOOPBACK,
                dashboard_address=LOOPBACK + ":8787", worker_dashboard_address=LOOPBACK + ":0",
                local_directory=space))
            client = stack.enter_context(distributed.Client(cluster))
        sys.stderr.write("scale_out: %d workers at %s\n" % (
            len(client.scheduler_info()["workers"]), client.scheduler.address))
        progress.start()
        # pure=False: a task writes a file, so two equal calls are not one.
        futures = client.map(convert_file, [job.kind for job in jobs],
                             [job.source for job in jobs], [job.target for job in jobs],
                             pure=False)
        job_of = {future.key: job for future, job in zip(futures, jobs)}
        for future in distributed.as_completed(futures):
            try:
                counts = future.result()
            except Exception as error:
                progress.failed(job_of[future.key], error)
            else:
                progress.done(job_of[future.key], counts)
            future.release()


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Convert every file under INPUT into OUTPUT with zendral, in parallel.")
    parser.add_argument("input", metavar="INPUT")
    parser.add_argument("output", metavar="OUTPUT")
    parser.add_argument("--engine", choices=("serial", "processes", "cluster"),
                        help="processes (default): a process pool on this machine; "
                             "cluster: Dask distributed; serial: one after another")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, metavar="N",
                        help="worker processes (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="use the Dask cluster of this scheduler instead of starting one")
    arguments = parser.parse_args(argv)
    if arguments.scheduler:
        if arguments.engine not in (None, "cluster"):
            parser.error("--scheduler goes with --engine cluster")
        arguments.engine = "cluster"
    arguments.engine = arguments.engine or "processes"
    if arguments.workers < 1:
        parser.error("--workers takes a number from 1")
    return arguments


def main(argv=None):
    arguments = parse_arguments(argv)
    jobs = plan(arguments.input, arguments.output)
    progress = Progress(jobs)
    began = time.monotonic()
    if arguments.engine == "serial":
        run_serial(jobs, progress)
    elif arguments.engine == "processes":
        run_processes(jobs, arguments.workers, progress)
    else:
        run_cluster(jobs, arguments.workers, arguments.scheduler, progress)
    progress.finish()
    elapsed, rate = progress.rate(final=True)
    print("converted %d of %d files, %.1f MB in %.2f s (%.1f MB/s); %.2f s in all, %d failed"
          % (progress.files, progress.total_files, progress.bytes / 1e6, elapsed, rate,
             time.monotonic() - began, len(progress.failures)))
    return 1 if progress.failures else 0


if __name__ == "__main__":
    sys.exit(main())
