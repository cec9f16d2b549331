"""`zendral batch`: converts every file under a folder into another folder,
on every core or across machines.

Every file under INPUT (recursively) becomes one file under OUTPUT, at the
same relative place: NAME.md becomes NAME.html (md_to_html), any other file
NAME becomes NAME.jsonl (csv_file_to_json); each result item as UTF-8 plus
LF, so an empty result gives an empty file. Markdown files are split as
csv_file_to_json splits its files and handed over as bytes lines.

One task converts one whole file and writes its output itself, under a
temporary name renamed into place, so that a reader never sees half a file
and a task run again after a lost worker is harmless. Tasks return counts,
never the converted lines: a list of strings sent back to the caller costs
far more than the conversion. A file that fails is reported and has no
output; the others go on.

The cluster engine needs the `distributed` package, imported only then, and
zendral installed on every worker; the process pool needs nothing else.
"""
import concurrent.futures
import contextlib
import logging
import multiprocessing
import os
import signal
import sys
import tempfile
import time

from . import convert

MARKDOWN_SUFFIX = ".md"
LOOPBACK = "127.0.0.1"


class Failure(Exception):
    """Stops a whole run, not one file: (message, exit status)."""

    def __init__(self, message, status=1):
        Exception.__init__(self, message)
        self.status = status


def convert_file(kind, source, target):
    """One task: converts source, writes target. Returns (input bytes,
    output lines, output bytes)."""
    if kind == "markdown":
        size, result = convert.markdown_file(source)
    else:
        size = os.path.getsize(source)
        result = convert.key_value_file(source)
    try:
        with convert.AtomicFile(target) as out:
            written = convert.write_lines(out.file, result)
            out.commit()
    except OSError as error:  # a full disk, say: name the file it concerns
        raise convert.ConversionError("cannot write %s: %s" % (target, convert.describe(error)))
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
        raise Failure("%s: %s" % (input_dir, "not a folder" if os.path.exists(input_dir)
                                  else "No such file or directory"))
    if os.path.realpath(input_dir) == os.path.realpath(output_dir):
        raise Failure("the output folder must differ from the input folder", 2)
    skip = os.path.realpath(output_dir)
    jobs = []

    def unreadable(error):  # a folder left out silently would look like success
        raise Failure("%s: %s" % (error.filename, error.strerror))

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
    os.makedirs(output_dir, exist_ok=True)
    for folder in sorted(set(os.path.dirname(job.target) for job in jobs)):
        os.makedirs(folder, exist_ok=True)
    jobs.sort(key=lambda job: -job.size)
    return jobs


class Progress(object):
    """Counts files done and failed. When shown: files done / total and MB/s
    on stderr, one line rewritten in place on a terminal, a line every few
    seconds otherwise, and a summary at the end. Failures are always shown."""

    def __init__(self, jobs, show, stream=None):
        self.total_files = len(jobs)
        self.total_bytes = sum(job.size for job in jobs)
        self.stream = stream or sys.stderr
        self.visible = show
        self.live = show and self.stream.isatty()
        self.files = self.bytes = 0
        self.failures = []
        self.began = time.monotonic()
        self.start()

    def start(self):
        self.started = self.shown = self.last = time.monotonic()

    def note(self, text):
        if self.visible:
            self.stream.write("zendral: %s\n" % text)
            self.stream.flush()

    def done(self, job, counts):
        self.files += 1
        self.bytes += counts[0]
        self.last = time.monotonic()
        self.show()

    def failed(self, job, error):
        self.failures.append((job, error))
        self.last = time.monotonic()
        self.show(force=True)
        self.stream.write("%szendral: FAILED %s: %s\n" % (
            "\n" if self.live else "", job.source, convert.describe(error)))
        self.stream.flush()

    def rate(self, final=False):
        elapsed = max((self.last if final else time.monotonic()) - self.started, 1e-9)
        return elapsed, self.bytes / 1e6 / elapsed

    def show(self, force=False):
        now = time.monotonic()
        if not self.visible or not force and now - self.shown < (0.2 if self.live else 5.0):
            return
        self.shown = now
        elapsed, rate = self.rate()
        line = "%d/%d files  %.1f/%.1f MB  %.1f MB/s  %.1f s" % (
            self.files + len(self.failures), self.total_files, self.bytes / 1e6,
            self.total_bytes / 1e6, rate, elapsed)
        self.stream.write(("\r" + line + "\033[K") if self.live else line + "\n")
        self.stream.flush()

    def finish(self):
        if not self.visible:
            return
        self.show(force=True)
        if self.live:
            self.stream.write("\n")
        elapsed, rate = self.rate(final=True)
        self.note("converted %d of %d files, %.1f MB in %.2f s (%.1f MB/s); %.2f s in all, "
                  "%d failed" % (self.files, self.total_files, self.bytes / 1e6, elapsed, rate,
                                 time.monotonic() - self.began, len(self.failures)))


def run_serial(jobs, progress):
    for job in jobs:
        try:
            counts = convert_file(job.kind, job.source, job.target)
        except Exception as error:  # reported per file; the others go on
            progress.failed(job, error)
        else:
            progress.done(job, counts)


# Pool workers inherit the handler below. On Ctrl-C the terminal interrupts
# every process of the group: a worker converting a file stops and removes
# its temporary file, while an idle one, waiting for work, must not die
# printing a traceback; the pool is shut down by the parent instead.
_parent = os.getpid()
_in_task = [False]


def _interrupt(signum, frame):
    if os.getpid() == _parent or _in_task[0]:
        raise KeyboardInterrupt


def _pool_task(kind, source, target):
    _in_task[0] = True
    try:
        return convert_file(kind, source, target)
    finally:
        _in_task[0] = False


# The workers are forked, as every Python before 3.14 does by default (3.14
# starts them from a fork server): they must inherit the handler above and
# _parent. This process runs no other thread when the pool forks them all.
_FORKED = {"mp_context": multiprocessing.get_context("fork")} if sys.version_info >= (3, 7) else {}


def run_processes(jobs, workers, progress):
    global _parent
    _parent = os.getpid()
    previous = signal.signal(signal.SIGINT, _interrupt)
    try:
        with concurrent.futures.ProcessPoolExecutor(workers, **_FORKED) as pool:
            futures = {}
            try:
                for job in jobs:
                    futures[pool.submit(_pool_task, job.kind, job.source, job.target)] = job
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
    finally:
        signal.signal(signal.SIGINT, previous)


def zendral_on_worker():
    try:
        import zendral as module
        import zendral_cli  # noqa: F401  (the tasks are its functions)
    except ImportError as error:
        return "cannot import %s" % error
    return None if hasattr(module, "csv_file_to_json") else "zendral has no csv_file_to_json"


def import_distributed():
    try:
        import distributed
    except ImportError as error:
        raise Failure("the cluster engine needs Dask's distributed package, which cannot be "
                      "imported (%s): pip install distributed, or on Debian apt-get install "
                      "python3-distributed" % error)
    return distributed


def keep_masks_alone():
    """Starts multiprocessing's resource tracker now if it is not running.
    Started later, it would unblock SIGINT in the thread that starts it."""
    try:
        from multiprocessing import resource_tracker
    except ImportError:  # Python before 3.8: its semaphore tracker does not
        return
    resource_tracker.ensure_running()


def start_local_cluster(distributed, stack, workers):
    """A LocalCluster on this machine, closed with the stack, and its client."""
    # The workers' scratch space goes away with the cluster.
    space = stack.enter_context(tempfile.TemporaryDirectory(prefix="zendral-batch-"))
    # Ctrl-C reaches every process of the group. The workers must not die of
    # it, each with a traceback, while their nannies restart them: this
    # process closes the cluster. They start with SIGINT blocked, as do the
    # threads that start them; here it waits, pending, until unblocked below.
    keep_masks_alone()
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        # Every listener on loopback: the scheduler, the workers, their
        # nannies, and the dashboards, which would take all interfaces.
        cluster = stack.enter_context(distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, host=LOOPBACK,
            dashboard_address=LOOPBACK + ":8787", worker_dashboard_address=LOOPBACK + ":0",
            local_directory=space))
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    return stack.enter_context(distributed.Client(cluster))


def connect(distributed, stack, scheduler):
    """A client of an existing cluster whose workers can run the tasks."""
    client = stack.enter_context(distributed.Client(scheduler))
    problems = {address: problem for address, problem
                in client.run(zendral_on_worker).items() if problem}
    if problems:
        raise Failure("worker%s %s: %s; install zendral where the workers run and try again"
                      % ("s" if len(problems) > 1 else "", ", ".join(sorted(problems)),
                         "; ".join(sorted(set(problems.values())))))
    return client


def quiet_dask():
    """Silences distributed's logging: once a run is stopped, what it says
    about the work cut short is noise."""
    for name in ["distributed"] + list(logging.root.manager.loggerDict):
        if name == "distributed" or name.startswith("distributed."):
            logging.getLogger(name).setLevel(logging.CRITICAL + 1)


def run_cluster(jobs, workers, scheduler, progress):
    distributed = import_distributed()
    try:
        with contextlib.ExitStack() as stack:
            try:
                if scheduler:
                    client = connect(distributed, stack, scheduler)
                else:
                    client = start_local_cluster(distributed, stack, workers)
                progress.note("%d workers at %s" % (len(client.scheduler_info()["workers"]),
                                                    client.scheduler.address))
                progress.start()
                # pure=False: a task writes a file, so two equal calls are not one.
                futures = client.map(convert_file, [job.kind for job in jobs],
                                     [job.source for job in jobs],
                                     [job.target for job in jobs], pure=False)
                job_of = {future.key: job for future, job in zip(futures, jobs)}
                try:
                    for future in distributed.as_completed(futures):
                        try:
                            counts = future.result()
                        except Exception as error:
                            progress.failed(job_of[future.key], error)
                        else:
                            progress.done(job_of[future.key], counts)
                        future.release()
                except BaseException:
                    client.cancel(futures)  # or an existing cluster would go on with them
                    raise
            except BaseException:
                quiet_dask()
                raise
    except BaseException as error:
        # Workers closed or lost in the middle of a task may have left
        # temporary files.
        convert.remove_temporaries(job.target for job in jobs)
        if isinstance(error, Exception) and not isinstance(error, Failure):
            # A scheduler out of reach, a lost connection: one line, as for
            # any other error.
            raise Failure("the Dask cluster failed: %s" % convert.describe(error))
        raise


def run(input_dir, output_dir, engine="processes", workers=None, scheduler=None,
        show_progress=None):
    """Converts input_dir into output_dir. Returns the Progress, whose
    failures list the files that failed. Raises Failure when the run cannot
    start, or when the cluster fails as a whole."""
    if engine == "cluster":
        import_distributed()  # before any output folder is made
    workers = workers or os.cpu_count() or 1
    jobs = plan(input_dir, output_dir)
    if show_progress is None:
        show_progress = sys.stderr.isatty()
    progress = Progress(jobs, show_progress)
    if engine == "serial":
        run_serial(jobs, progress)
    elif engine == "processes":
        run_processes(jobs, workers, progress)
    elif engine == "cluster":
        run_cluster(jobs, workers, scheduler, progress)
    else:
        raise ValueError("unknown engine %r" % engine)
    progress.finish()
    return progress
