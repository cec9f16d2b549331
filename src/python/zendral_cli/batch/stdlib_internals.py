"""What the engines need of the standard library beyond its documented API,
each in one function that says which Pythons need it. test_scale_out
checks every one that the running Python uses."""
import sys


def pool_processes(pool):
    """{pid: Process} of a ProcessPoolExecutor's workers. Every version:
    nothing public lets the parent signal them (passing on SIGTERM, ending
    those of a broken pool)."""
    return dict(getattr(pool, "_processes", None) or {})


def manager_gone(pool):
    """Python 3.6: whether the pool's manager thread has ended. It can die of
    a worker's death without failing the futures, which would then wait for
    ever; later versions fail them."""
    thread = pool._queue_management_thread
    return thread is not None and not thread.is_alive()


def forget_broken_manager(pool):
    """Python 3.6: a broken pool's manager thread ends by itself, and waking
    it (shutdown puts into the queue of results) can wait for ever on a lock
    a dead worker held."""
    thread = pool._queue_management_thread
    if thread is not None:
        thread.join(10)
        if not thread.is_alive():
            pool._queue_management_thread = None


def quiet_manager_after_a_death():
    """Python 3.6: the pool's manager, once a worker has died, wakes the
    others with a put_nowait() that can find the queue full: its thread
    then dies printing a traceback, the workers already told to end and the
    futures already failed. Nothing is lost by ending it quietly."""
    import concurrent.futures.process as pool_module
    import queue
    manage = pool_module._queue_management_worker
    if getattr(manage, "quiet", False):
        return

    def managed(*arguments):
        try:
            manage(*arguments)
        except queue.Full:
            pass
    managed.quiet = True
    pool_module._queue_management_worker = managed


def start_resource_tracker():
    """Python 3.8 on: starts multiprocessing's resource tracker now if it is
    not running. Started later, from a thread with SIGINT blocked, it would
    unblock SIGINT there. Earlier versions' semaphore tracker does not."""
    if sys.version_info < (3, 8):
        return
    from multiprocessing import resource_tracker
    resource_tracker.ensure_running()
