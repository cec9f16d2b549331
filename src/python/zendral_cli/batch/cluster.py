"""The cluster engine: Dask distributed, on a local cluster made for the run
or on an existing one (--scheduler). Loaded only for a cluster; the local
cluster's workers load it too, as they start (dask_setup, below)."""
import contextlib
import logging
import os
import re
import shutil
import signal
import stat
import tempfile
import warnings

from .. import convert, outputs
from . import Failure, scheduler as addresses, stdlib_internals
from .planning import remove_temporaries
from .task import convert_file

LOOPBACK = "127.0.0.1"
# The local cluster's scratch folder, named for the process that made it.
SCRATCH = re.compile(r"zendral-batch-([0-9]+)-")
# Whose logs a cluster run keeps off stderr.
NOISY = ("distributed", "asyncio", "tornado")
QUIET_SETTING = "DASK_LOGGING__DISTRIBUTED"


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


def check(scheduler):
    """What a cluster run needs, checked before any output folder is made."""
    import_distributed()
    if scheduler:
        addresses.check(scheduler)
    else:
        local_cluster_credentials(check_only=True)


def silence():
    """Keeps distributed, asyncio and tornado off stderr, returning
    {logger: level before}. The command reports what fails, once, in one
    line; their logs would repeat it, or tell of a stopped run or of a
    stranger's probe of a port ("TLS handshake failed", "Task was destroyed
    but it is pending!")."""
    names = [name for name in logging.root.manager.loggerDict
             if name.split(".")[0] in NOISY]
    levels = {}
    for logger in map(logging.getLogger, sorted(set(names) | set(NOISY))):
        levels[logger] = logger.level
        logger.setLevel(logging.CRITICAL + 1)
    return levels


@contextlib.contextmanager
def silenced():
    levels = silence()
    try:
        yield
    finally:
        for logger, level in levels.items():
            logger.setLevel(level)


def dask_setup(worker):
    """Run by each local worker as it starts (Dask's preload): the workers
    are the command's own, and what goes wrong in them comes back to it as
    a failed or lost task."""
    silence()


def remove_stale_scratch():
    """Removes the scratch folders that local clusters of this user left
    when their command was killed (SIGKILL, a power cut): those of a
    process no longer running."""
    folder = tempfile.gettempdir()
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        found = SCRATCH.match(name)
        try:
            status = os.lstat(os.path.join(folder, name)) if found else None
        except OSError:
            continue
        if status is not None and stat.S_ISDIR(status.st_mode) and \
                status.st_uid == os.getuid() and not outputs.alive(int(found.group(1))):
            shutil.rmtree(os.path.join(folder, name), ignore_errors=True)


def scratch_folder(stack):
    """The workers' scratch space, and everything else distributed keeps on
    disk, removed with the cluster or, after a SIGKILL, by the next run."""
    remove_stale_scratch()
    space = tempfile.mkdtemp(prefix="zendral-batch-%d-" % os.getpid())
    stack.callback(shutil.rmtree, space, True)
    import dask
    stack.enter_context(dask.config.set({"temporary-directory": space}))
    return space


@contextlib.contextmanager
def quiet_from_the_start():
    """distributed's own logs off in the workers from their first import,
    before their preload can silence the rest (Dask reads DASK_* settings
    from the environment, and the workers inherit it)."""
    previous = os.environ.get(QUIET_SETTING)
    os.environ[QUIET_SETTING] = str(logging.CRITICAL + 1)
    try:
        yield
    finally:
        if previous is None:
            os.environ.pop(QUIET_SETTING, None)
        else:
            os.environ[QUIET_SETTING] = previous


def start_local_cluster(distributed, stack, workers):
    """A LocalCluster on this machine, closed with the stack, and its client."""
    space = scratch_folder(stack)
    stack.enter_context(quiet_from_the_start())
    security = local_cluster_credentials()
    # Ctrl-C reaches every process of the group. The workers must not die of
    # it, each with a traceback, while their nannies restart them: this
    # process closes the cluster. They start with SIGINT blocked, as do the
    # threads that start them; here it waits, pending, until unblocked below.
    stdlib_internals.start_resource_tracker()
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        # Every listener on loopback: the scheduler, the workers, their
        # nannies, and the dashboards, which would take all interfaces.
        with warnings.catch_warnings():
            # 8787 taken (another cluster): another port, without a word.
            warnings.filterwarnings("ignore", r"Port \d+ is already in use")
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, host=LOOPBACK,
                protocol="tls://", security=security, preload=[__name__],
                dashboard_address=LOOPBACK + ":8787", worker_dashboard_address=LOOPBACK + ":0",
                local_directory=space))
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    return stack.enter_context(distributed.Client(cluster, security=security))


def zendral_on_worker():
    try:
        import zendral as module
        import zendral_cli  # noqa: F401  (the tasks are its functions)
        import zendral_document  # noqa: F401  (which convert with it)
    except ImportError as error:
        return "cannot import %s" % error
    return None if hasattr(module, "csv_file_to_json") else "zendral has no csv_file_to_json"


def connect(distributed, stack, scheduler):
    """A client of an existing cluster whose workers can run the tasks."""
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


def convert_all(distributed, client, jobs, progress, options):
    # pure=False: a task writes a file, so two equal calls are not one.
    futures = client.map(convert_file, jobs, options=options, pure=False)
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


def run(jobs, workers, scheduler, progress, options):
    distributed = import_distributed()
    try:
        with contextlib.ExitStack() as stack:
            stack.enter_context(silenced())
            if scheduler:
                client = connect(distributed, stack, scheduler)
            else:
                client = start_local_cluster(distributed, stack, workers)
            progress.note("%d workers at %s" % (len(client.scheduler_info()["workers"]),
                                                client.scheduler.address))
            progress.start()
            convert_all(distributed, client, jobs, progress, options)
    except BaseException as error:
        # Workers closed or lost in the middle of a task may have left
        # temporary files.
        remove_temporaries(jobs)
        if isinstance(error, Exception) and not isinstance(error, Failure):
            # A scheduler out of reach, a lost connection: one line, as for
            # any other error.
            raise Failure("the Dask cluster failed: %s" % convert.describe(error))
        raise
