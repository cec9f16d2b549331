"""The process engine: a pool of worker processes on this machine.

Ctrl-C interrupts every process of the group: a worker converting a file
stops and removes its temporary file, while an idle one, waiting for work,
must not die printing a traceback; the parent shuts the pool down. SIGTERM
and SIGHUP stop the parent as Ctrl-C does, and it passes them on; a worker
that gets one (from the parent, with its group, or from the kernel when the
parent dies) removes its temporary file and ends."""
import concurrent.futures
import concurrent.futures.process
import contextlib
import os
import signal
import sys
import time

from ..process import STOPPING, Terminated
from . import Failure, stdlib_internals
from .planning import remove_temporaries
from .task import WorkerDied, convert_files

PR_SET_PDEATHSIG = 1  # linux/prctl.h
# Tasks handed to a pool at a time, per worker: enough that no worker waits
# for its next one, few enough that a worker's death leaves few in doubt.
IN_FLIGHT_PER_WORKER = 2
# Small files go several to a task, up to these, and in at least this many
# tasks per worker, so that the workers share them.
CHUNK_BYTES, CHUNK_FILES, TASKS_PER_WORKER = 1 << 20, 64, 4
BROKEN = concurrent.futures.process.BrokenProcessPool


def leave(signum):
    """Ends an idle worker at once."""
    if sys.version_info < (3, 7):
        # It may hold the lock of the queue of results, which Python 3.6's
        # pool shutdown takes too: an exception releases it on the way out,
        # as os._exit would not.
        raise SystemExit(128 + signum)
    # Later pools share no lock with their workers; an exit through the
    # interpreter's shutdown could wait on the queues' threads.
    os._exit(128 + signum)


class Worker(object):
    """A pool worker's own state, kept by its signal handlers: whether it
    is converting a file, and the signal that ends it."""

    def __init__(self):
        self.converting = False
        self.stopping = 0

    @classmethod
    def of_this_process(cls, parent):
        """The worker's state, made by its first call: the pool's
        initializer, or its first task on Python 3.6, which has none."""
        worker = getattr(signal.getsignal(signal.SIGTERM), "__self__", None)
        if isinstance(worker, cls):
            return worker
        worker = cls()
        try:
            worker.set_up(parent)
        except SystemExit as stop:  # stopped while starting, holding nothing yet
            os._exit(stop.code)
        return worker

    def set_up(self, parent):
        """Workers never outlive the command, even one killed with SIGKILL:
        on Linux the kernel sends them SIGTERM when it dies."""
        signal.signal(signal.SIGINT, self.interrupt)
        signal.signal(signal.SIGTERM, self.stop)  # even under nohup: this one is ours
        if signal.getsignal(signal.SIGHUP) != signal.SIG_IGN:
            signal.signal(signal.SIGHUP, self.stop)
        if sys.platform.startswith("linux"):
            try:
                import ctypes  # already loaded by the parent
                ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM,
                                                        0, 0, 0)
            except (OSError, AttributeError):
                pass
        if os.getppid() != parent:  # it died before that
            os._exit(128 + signal.SIGTERM)

    def interrupt(self, signum, frame):
        if self.converting:
            raise KeyboardInterrupt

    def stop(self, signum, frame):
        if self.stopping:
            return
        self.stopping = signum
        if self.converting:
            raise Terminated(signum)
        leave(signum)

    def convert(self, jobs, options):
        self.converting = True
        try:
            return convert_files(jobs, options)
        finally:
            self.converting = False
            if self.stopping:
                os._exit(128 + self.stopping)


def _set_up(parent):
    Worker.of_this_process(parent)


def _task(jobs, options, parent):
    return Worker.of_this_process(parent).convert(jobs, options)


class Signals(object):
    """The parent's handlers while a pool runs. A worker inherits them and
    keeps them until it sets up its own: it is idle until then."""

    def __init__(self):
        self.parent = os.getpid()

    def interrupt(self, signum, frame):
        if os.getpid() == self.parent:
            raise KeyboardInterrupt

    def stop(self, signum, frame):
        if os.getpid() == self.parent:
            raise Terminated(signum)
        leave(signum)

    @contextlib.contextmanager
    def installed(self):
        handlers = {signal.SIGINT: self.interrupt}
        for signum in STOPPING:
            if signal.getsignal(signum) != signal.SIG_IGN:
                handlers[signum] = self.stop
        previous = dict((signum, signal.signal(signum, handler))
                        for signum, handler in handlers.items())
        try:
            yield
        finally:
            for signum, handler in previous.items():
                signal.signal(signum, handler)


def pool_options(parent):
    options = {}
    if sys.version_info >= (3, 7):
        import multiprocessing
        options["initializer"], options["initargs"] = _set_up, (parent,)
        # fork, for the handlers above (and not a server process that
        # starts the workers, as Python 3.14 would, which would outlive us).
        if "fork" in multiprocessing.get_all_start_methods():
            options["mp_context"] = multiprocessing.get_context("fork")
    return options


def signal_workers(pool, signum):
    for pid in stdlib_internals.pool_processes(pool):
        try:
            os.kill(pid, signum)
        except OSError:
            pass


def end_workers(pool):
    """Ends a broken pool's workers; one that missed being told (a signal
    that came as it was being forked is lost) would keep the shutdown
    waiting for ever."""
    processes = list(stdlib_internals.pool_processes(pool).values())
    if sys.version_info < (3, 7):
        # Python 3.6's shutdown takes a lock the workers share: they leave
        # through their handler, which releases it, given the time to.
        signal_workers(pool, signal.SIGTERM)
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
    if sys.version_info < (3, 7):
        stdlib_internals.forget_broken_manager(pool)


def tasks(jobs, workers, together):
    """The jobs (largest first) as the lists that tasks take: small files
    together if together, else one a task."""
    if not together:
        return [[job] for job in jobs]
    most = max(1, min(CHUNK_FILES, len(jobs) // (TASKS_PER_WORKER * workers)))
    found, task, size = [], [], 0
    for job in jobs:
        if task and (size + job.size > CHUNK_BYTES or len(task) == most):
            found.append(task)
            task, size = [], 0
        task.append(job)
        size += job.size
    return found + [task] if task else found


class Round(object):
    """Jobs converted in a pool of their own until they are done or a worker
    dies: then .waiting holds the tasks never handed to the pool, and .lost
    the jobs of those it held, whose worker may have died of them."""

    def __init__(self, jobs, workers, progress, options, together):
        # Taken from the end: the largest first.
        self.waiting = tasks(jobs, workers, together)[::-1]
        self.in_flight, self.lost, self.broken = {}, [], False
        self.workers, self.progress, self.options = min(workers, len(jobs)), progress, options

    def run(self):
        parent = os.getpid()
        with concurrent.futures.ProcessPoolExecutor(self.workers,
                                                    **pool_options(parent)) as pool:
            try:
                while self.in_flight or self.waiting and not self.broken:
                    self.hand_out(pool, parent)
                    self.collect(pool)
                if self.broken:
                    end_workers(pool)
            except BaseException as error:
                for future in self.in_flight:  # shutdown would otherwise run them first
                    future.cancel()
                if isinstance(error, Terminated):
                    signal_workers(pool, error.signum)
                raise
        # What a dead worker was writing (the pool is down: none is running).
        remove_temporaries(self.lost)
        return self

    def waiting_jobs(self):
        return [job for task in reversed(self.waiting) for job in task]

    def hand_out(self, pool, parent):
        while self.waiting and not self.broken and \
                len(self.in_flight) < IN_FLIGHT_PER_WORKER * self.workers:
            jobs = self.waiting[-1]
            try:
                self.in_flight[pool.submit(_task, jobs, self.options, parent)] = jobs
            except BROKEN:
                self.broken = True
            else:
                self.waiting.pop()

    def collect(self, pool):
        done, _ = concurrent.futures.wait(self.in_flight, timeout=1.0,
                                          return_when=concurrent.futures.FIRST_COMPLETED)
        for future in done:
            jobs = self.in_flight.pop(future)
            try:
                results = future.result()
            except BROKEN:
                self.lost.extend(jobs)
                self.broken = True
                continue
            except Exception as error:  # the task's, not a file's: a pickling error, say
                results = [error] * len(jobs)
            for job, result in zip(jobs, results):
                if isinstance(result, Exception):
                    self.progress.failed(job, result)
                else:
                    self.progress.done(job, result)
        if self.in_flight and not done and sys.version_info < (3, 7) and \
                stdlib_internals.manager_gone(pool):
            self.lost.extend(job for jobs in self.in_flight.values() for job in jobs)
            self.in_flight.clear()
            self.broken = True


def in_pools(jobs, workers, progress, options, together):
    """Converts jobs in a pool, and in a new one after each death; returns
    the jobs the pools held when their workers died."""
    waiting, lost = jobs, []
    while waiting:
        done = Round(waiting, workers, progress, options, together).run()
        if len(done.waiting_jobs()) == len(waiting):
            raise Failure("the process pool broke before it took a file")
        waiting, lost = done.waiting_jobs(), lost + done.lost
    return lost


def run(jobs, workers, progress, options):
    """Converts jobs on a pool of workers. A worker's death costs only its
    own file: the files the pool held then are tried again one a task, and
    those held at a death again each alone, where the one whose worker dies
    again fails."""
    if sys.version_info < (3, 7):
        stdlib_internals.quiet_manager_after_a_death()
    if sys.platform.startswith("linux"):
        try:
            import ctypes  # noqa: F401  (for the workers, before they start)
        except ImportError:
            pass
    with Signals().installed():
        suspects = in_pools(jobs, workers, progress, options, together=True)
        suspects = in_pools(sorted(suspects, key=lambda job: -job.size), workers, progress,
                            options, together=False)
        for job in sorted(suspects, key=lambda job: -job.size):
            for died in Round([job], 1, progress, options, False).run().lost:
                progress.failed(died, WorkerDied("its worker process died"))
