"""`zendral batch`: converts every file under a folder into another folder,
on every core or across machines.

Every file under INPUT (recursively) becomes one file under OUTPUT, at the
same relative place: NAME.md becomes NAME.html (what md_to_html gives), any
other file NAME becomes NAME.jsonl (what csv_file_to_json gives); each result
line followed by LF, so an empty result gives an empty file. Files are
converted in blocks by zendral_document's file functions, natively.

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
import concurrent.futures.process
import contextlib
import logging
import os
import signal
import sys
import tempfile
import time
import warnings

from . import convert, outputs
from .process import Terminated, is_terminal, tell

MARKDOWN_SUFFIX = ".md"
LOOPBACK = "127.0.0.1"


class Failure(Exception):
    """Stops a whole run, not one file: (message, exit status)."""

    def __init__(self, message, status=1):
        Exception.__init__(self, message)
        self.status = status


def convert_file(kind, source, target):
    """One task: converts source, writes target. Returns (input bytes,
    output lines, output bytes). kind is "markdown" or "key_value", with
    "+escape" for escaped output."""
    kind, _, option = kind.partition("+")
    # The source is opened first: a file that cannot be read fails as such,
    # before any output exists.
    descriptor = os.open(source, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        try:
            with convert.AtomicFile(target) as out:
                try:
                    counts = convert.convert_file(kind, descriptor, out.file.fileno(),
                                                  option == "escape")
                except OSError as error:
                    if error.filename == descriptor:  # the reading, not the writing
                        raise ReadError(error)
                    raise
                out.commit()
        except OSError as error:  # a full disk, say: name the file it concerns
            raise convert.ConversionError("cannot write %s: %s" % (target, convert.describe(error)))
        except ReadError as error:
            raise error.args[0]
    finally:
        os.close(descriptor)
    return counts


class ReadError(Exception):
    """An OSError of the source, carried past the handler for the target's."""


class Job(object):
    __slots__ = ("kind", "source", "target", "size")

    def __init__(self, kind, source, target, size):
        self.kind, self.source, self.target, self.size = kind, source, target, size


def plan(input_dir, output_dir, escape=False):
    """The jobs for every regular file under input_dir, largest first so that
    a long file does not start last. Creates the output folders."""
    input_dir, output_dir = os.path.abspath(input_dir), os.path.abspath(output_dir)
    if not os.path.isdir(input_dir):
        raise Failure("%s: %s" % (input_dir, "not a folder" if os.path.exists(input_dir)
                                  else "No such file or directory"))
    if os.path.realpath(input_dir) == os.path.realpath(output_dir):
        raise Failure("the output folder must differ from the input folder", 2)
    skip = os.path.realpath(output_dir)
    if os.path.realpath(input_dir).startswith(os.path.join(skip, "")):
        # Its outputs could land on its inputs (data/x.log.jsonl from
        # data/data/x.log), replacing them.
        raise Failure("the output folder must not hold the input folder", 2)
    jobs = []
    inputs = set()

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
            if escape:
                kind += "+escape"
            found = os.stat(source)
            inputs.add((found.st_dev, found.st_ino))
            jobs.append(Job(kind, source, target, found.st_size))
    for job in jobs:  # a link in OUTPUT to a file in INPUT, say
        if outputs.input_ids([job.target]) & inputs:
            raise Failure("%s: cannot write: it is also an input" % job.target)
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
        # Best effort: stderr closed (2>&-) or failing never stops the work.
        self.stream = stream or sys.stderr
        self.visible = show and self.stream is not None
        self.live = self.visible and is_terminal(self.stream)
        self.files = self.bytes = 0
        self.failures = []
        self.began = time.monotonic()
        self.start()

    def start(self):
        self.started = self.shown = self.last = time.monotonic()

    def note(self, text):
        if self.visible:
            self.write("zendral: %s\n" % text)

    def write(self, text):
        if not tell(text, self.stream):
            self.visible = self.live = False

    def done(self, job, counts):
        self.files += 1
        self.bytes += counts[0]
        self.last = time.monotonic()
        self.show()

    def failed(self, job, error):
        self.failures.append((job, error))
        self.last = time.monotonic()
        self.show(force=True)
        self.write("%szendral: FAILED %s: %s\n" % (
            "\n" if self.live else "", job.source, convert.describe(error)))

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
        self.write(("\r" + line + "\033[K") if self.live else line + "\n")

    def finish(self):
        if not self.visible:
            return
        self.show(force=True)
        if self.live:
            self.write("\n")
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


# Pool workers inherit the handlers below. On Ctrl-C the terminal interrupts
# every process of the group: a worker converting a file stops and removes
# its temporary file, while an idle one, waiting for work, must not die
# printing a traceback; the pool is shut down by the parent instead. SIGTERM
# and SIGHUP stop the parent as Ctrl-C does, and it passes them on; a worker
# that gets one (from the parent, with its group, or from the kernel when the
# parent dies) removes its temporary file and ends.
_parent = os.getpid()
_in_task = [False]
_stopping = [0]  # in a worker: the signal that ends it
_set_up = [False]
PR_SET_PDEATHSIG = 1  # linux/prctl.h


class WorkerDied(convert.ConversionError):
    pass


def _interrupt(signum, frame):
    if os.getpid() == _parent or _in_task[0]:
        raise KeyboardInterrupt


def _stop(signum, frame):
    if os.getpid() == _parent:
        raise Terminated(signum)
    if _stopping[0]:
        return
    _stopping[0] = signum
    if _in_task[0]:
        raise Terminated(signum)
    if sys.version_info < (3, 7):
        # Idle, it may hold the lock of the queue of results, which Python
        # 3.6's pool shutdown takes too: an exception releases it on the way
        # out, as os._exit would not.
        raise SystemExit(128 + signum)
    # Later pools share no lock with their workers; an exit through the
    # interpreter's shutdown could wait on the queues' threads.
    os._exit(128 + signum)


def _worker_setup(parent):
    """Workers never outlive the command, even one killed with SIGKILL: on
    Linux the kernel sends them SIGTERM when it dies."""
    if _set_up[0]:
        return
    _set_up[0] = True
    try:
        signal.signal(signal.SIGTERM, _stop)  # even under nohup: this one is ours
        if sys.platform.startswith("linux"):
            try:
                import ctypes  # already loaded by the parent
                ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM,
                                                        0, 0, 0)
            except (OSError, AttributeError):
                pass
        if os.getppid() != parent:  # it died before that
            os._exit(128 + signal.SIGTERM)
    except SystemExit as stop:  # stopped while starting, holding nothing yet
        os._exit(stop.code)


def _pool_task(kind, source, target, parent):
    _worker_setup(parent)  # Python 3.6 has no initializer
    _in_task[0] = True
    try:
        return convert_file(kind, source, target)
    finally:
        _in_task[0] = False
        if _stopping[0]:
            os._exit(128 + _stopping[0])


def _pool_options(parent):
    options = {}
    if sys.version_info >= (3, 7):
        import multiprocessing
        options["initializer"], options["initargs"] = _worker_setup, (parent,)
        # fork, for the handlers above (and not a server process that
        # starts the workers, as Python 3.14 would, which would outlive us).
        if "fork" in multiprocessing.get_all_start_methods():
            options["mp_context"] = multiprocessing.get_context("fork")
    return options


def _signal_workers(pool, signum):
    for pid in list(getattr(pool, "_processes", None) or {}):
        try:
            os.kill(pid, signum)
        except OSError:
            pass


def pool_round(jobs, workers, progress):
    """Converts jobs in a pool of its own. Returns the jobs lost with a
    worker that died (the pool breaks, and every pending file with it)."""
    lost = []
    parent = os.getpid()
    with concurrent.futures.ProcessPoolExecutor(min(workers, len(jobs)),
                                                **_pool_options(parent)) as pool:
        futures = {}
        try:
            for index, job in enumerate(jobs):
                try:
                    futures[pool.submit(_pool_task, job.kind, job.source, job.target,
                                        parent)] = job
                except concurrent.futures.process.BrokenProcessPool:
                    lost.extend(jobs[index:])  # broken already: not sent
                    break
            pending = set(futures)
            while pending:
                done, pending = concurrent.futures.wait(
                    pending, timeout=1.0, return_when=concurrent.futures.FIRST_COMPLETED)
                for future in done:
                    try:
                        counts = future.result()
                    except concurrent.futures.process.BrokenProcessPool:
                        lost.append(futures[future])
                    except Exception as error:
                        progress.failed(futures[future], error)
                    else:
                        progress.done(futures[future], counts)
                if pending and not done and _manager_gone(pool):
                    # Python 3.6's manager can die of a worker's death
                    # without failing the futures: they would wait for ever.
                    lost.extend(futures[future] for future in pending)
                    break
            if lost:
                # The pool is broken and its workers told to end; one that
                # missed it (a signal that came as it was being forked is
                # lost) would keep the shutdown waiting for ever. What they
                # wrote is removed below.
                _end_workers(pool)
                _forget_broken_manager(pool)
        except BaseException as error:
            for future in futures:  # shutdown would otherwise run them all first
                future.cancel()
            if isinstance(error, Terminated):
                _signal_workers(pool, error.signum)
            raise
    # What the dead worker was writing (the pool is down: none is running).
    convert.remove_temporaries(job.target for job in lost)
    return sorted(lost, key=lambda job: -job.size)


def _quiet_after_a_death(manage):
    """Python 3.6's pool manager, once a worker has died, wakes the others
    with a put_nowait() that can find the queue full: its thread then dies
    printing a traceback, the workers already told to end and the futures
    already failed. Nothing is lost by ending it quietly."""
    import queue

    def managed(*arguments):
        try:
            manage(*arguments)
        except queue.Full:
            pass
    managed.quiet = True
    return managed


def _end_workers(pool):
    processes = list((getattr(pool, "_processes", None) or {}).values())
    if sys.version_info < (3, 7):
        # Python 3.6's shutdown takes a lock the workers share: they leave
        # through their handler, which releases it, given the time to.
        _signal_workers(pool, signal.SIGTERM)
        deadline = time.monotonic() + 2
        while any(process.is_alive() for process in processes) and \
                time.monotonic() < deadline:
            time.sleep(0.02)
    for process in processes:
        if process.is_alive():
            try:
                os.kill(process.pid, signal.SIGKILL)
            except OSError:
                pass


def _manager_gone(pool):
    thread = getattr(pool, "_executor_manager_thread", None) or \
        getattr(pool, "_queue_management_thread", None)
    return thread is not None and not thread.is_alive()


def _forget_broken_manager(pool):
    """Python 3.6: a broken pool's manager thread has ended by itself, and
    waking it (shutdown puts into the queue of results) can wait for ever
    on a lock a dead worker held."""
    thread = getattr(pool, "_queue_management_thread", None)
    if sys.version_info >= (3, 7) or thread is None:
        return
    thread.join(10)
    if not thread.is_alive():
        pool._queue_management_thread = None


def run_processes(jobs, workers, progress):
    global _parent
    _parent = os.getpid()
    process_pool = concurrent.futures.process
    if sys.version_info < (3, 7) and \
            not getattr(process_pool._queue_management_worker, "quiet", False):
        process_pool._queue_management_worker = _quiet_after_a_death(
            process_pool._queue_management_worker)
    if sys.platform.startswith("linux"):
        try:
            import ctypes  # noqa: F401  (for the workers, before they start)
        except ImportError:
            pass
    handlers = {signal.SIGINT: _interrupt}
    for signum in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(signum) != signal.SIG_IGN:
            handlers[signum] = _stop
    previous = dict((signum, signal.signal(signum, handler))
                    for signum, handler in handlers.items())
    try:
        lost = pool_round(jobs, workers, progress) if jobs else []
        if lost:  # a worker died: retry its file and those pending with it
            lost = pool_round(lost, workers, progress)
        for job in lost:  # again: alone, to find the file whose worker dies
            for died in pool_round([job], 1, progress):
                progress.failed(died, WorkerDied("its worker process died"))
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def zendral_on_worker():
    try:
        import zendral as module
        import zendral_cli  # noqa: F401  (the tasks are its functions)
        import zendral_document  # noqa: F401  (which convert with it)
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


def local_cluster_credentials(check_only=False):
    """Private credentials for a local cluster: a certificate authority,
    key and certificate made for this run and kept in memory, which every
    connection to the cluster must present (Dask's TLS security). Without
    them any user of the machine could connect to its loopback port and run
    code as the user who started it."""
    try:
        if check_only:
            import cryptography  # noqa: F401  (what Security.temporary needs)
            return None
        from distributed.security import Security
        return Security.temporary()
    except ImportError as error:
        raise Failure("the local cluster needs the cryptography package for its private "
                      "credentials, which cannot be imported (%s): pip install cryptography, "
                      "or on Debian apt-get install python3-cryptography" % error)


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
    # And everything else distributed keeps on disk (newer versions make a
    # dask-scratch-space folder in the system's temporary folder).
    import dask
    stack.enter_context(dask.config.set({"temporary-directory": space}))
    security = local_cluster_credentials()
    # Ctrl-C reaches every process of the group. The workers must not die of
    # it, each with a traceback, while their nannies restart them: this
    # process closes the cluster. They start with SIGINT blocked, as do the
    # threads that start them; here it waits, pending, until unblocked below.
    keep_masks_alone()
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        # Every listener on loopback: the scheduler, the workers, their
        # nannies, and the dashboards, which would take all interfaces.
        with warnings.catch_warnings():
            # 8787 taken (another cluster): another port, without a word.
            warnings.filterwarnings("ignore", r"Port \d+ is already in use")
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, host=LOOPBACK,
                protocol="tls://", security=security,
                dashboard_address=LOOPBACK + ":8787", worker_dashboard_address=LOOPBACK + ":0",
                local_directory=space))
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    client = stack.enter_context(distributed.Client(cluster, security=security))
    # A file that fails is reported once, by this process, as with the pool:
    # not again by its worker with a traceback.
    client.run(quiet_task_errors)
    return client


def quiet_task_errors():
    """In the local cluster's workers: their warnings (tasks cancelled by
    Ctrl-C, say) are noise on the command's stderr, and a task's failure is
    reported by the command itself. Their other errors still show."""
    for name in ["distributed"] + list(logging.root.manager.loggerDict):
        if name == "distributed" or name.startswith("distributed."):
            logger = logging.getLogger(name)
            if logger.getEffectiveLevel() < logging.ERROR:
                logger.setLevel(logging.ERROR)
    logging.getLogger("distributed.worker").addFilter(_not_a_task_error)


def _not_a_task_error(record):
    return not str(record.msg).startswith("Compute Failed")


# What a Dask scheduler sends first: its handshake, one message whose 8-byte
# length comes before it (the frames' total size, in native byte order).
HANDSHAKE_LIMIT = 1 << 24
PROBE_SECONDS = 2.0


def probe_scheduler(address):
    """Fails at once, in one line, where distributed would wait out its
    connect timeout (a closed port) or take a banner's bytes for a frame
    length (an SSH server: "out of memory")."""
    import socket
    import struct
    scheme, _, rest = address.rpartition("://")
    if scheme not in ("", "tcp", "tls"):
        return
    host, _, port = rest.rpartition(":")
    host = host.strip("[]") or LOOPBACK
    try:
        port = int(port.split("/")[0])
    except ValueError:
        return  # distributed says what it makes of it
    try:
        connection = socket.create_connection((host, port), timeout=PROBE_SECONDS)
    except socket.timeout:
        raise Failure("cannot reach the Dask scheduler at %s: no answer in %g s"
                      % (address, PROBE_SECONDS))
    except OSError as error:
        raise Failure("cannot reach the Dask scheduler at %s: %s"
                      % (address, error.strerror or error))
    with connection:
        if scheme == "tls":
            return  # its first bytes are TLS's
        head = b""
        try:
            while len(head) < 8:
                chunk = connection.recv(8 - len(head))
                if not chunk:
                    break
                head += chunk
        except socket.timeout:
            return  # silent: distributed's own timeout decides
        except OSError:
            pass
    if len(head) < 8 or struct.unpack("Q", head)[0] > HANDSHAKE_LIMIT:
        raise Failure("%s is not a Dask scheduler" % address)


def connect(distributed, stack, scheduler):
    """A client of an existing cluster whose workers can run the tasks."""
    probe_scheduler(scheduler)
    # Security from the user's Dask configuration (distributed.comm.tls.*),
    # as distributed reads it itself.
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
                    quiet_dask()  # before the cancelling, which it would report
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
        show_progress=None, escape=False):
    """Converts input_dir into output_dir. Returns the Progress, whose
    failures list the files that failed. Raises Failure when the run cannot
    start, or when the cluster fails as a whole."""
    if engine == "cluster":
        import_distributed()  # before any output folder is made
        if not scheduler:
            local_cluster_credentials(check_only=True)
    workers = workers or os.cpu_count() or 1
    jobs = plan(input_dir, output_dir, escape)
    # Left by a run that was killed (SIGKILL, a power cut): only the
    # temporary names of these targets, of writers no longer running.
    convert.remove_temporaries(job.target for job in jobs)
    if show_progress is None:
        show_progress = is_terminal(sys.stderr)
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
