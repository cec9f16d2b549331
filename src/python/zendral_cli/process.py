"""The command as a process: the signals that end it as Ctrl-C does, and a
standard error that may be closed or failing."""
import os
import sys

# The signal module's C core, which every CPython from 3.5 on has: signal.py
# only adds enums over it, and importing enum (with functools and
# collections) costs a third of the command's own start (pip's script
# wrapper imports re, and with it enum, anyway). Elsewhere, the module.
try:
    import _signal as signal
except ImportError:
    import signal

# SIGTERM (kill, timeout, a service manager) and SIGHUP (a closed terminal)
# end a run as Ctrl-C does: temporary files removed, status 128 + the signal.
STOPPING = (signal.SIGTERM, signal.SIGHUP)


class Terminated(KeyboardInterrupt):
    """Raised by SIGTERM or SIGHUP: a KeyboardInterrupt, so that every path
    that cleans up after Ctrl-C cleans up after it too."""

    def __init__(self, signum):
        KeyboardInterrupt.__init__(self, signum)
        self.signum = signum


def _terminate(signum, frame):
    raise Terminated(signum)


class stopped_by_signals(object):
    """Within it, SIGTERM and SIGHUP raise Terminated, unless they were
    ignored when the command started (nohup). A class rather than
    contextlib's decorator, which a run would import for this alone."""

    def __enter__(self):
        self.previous = {}
        for signum in STOPPING:
            try:
                if signal.getsignal(signum) != signal.SIG_IGN:
                    self.previous[signum] = signal.signal(signum, _terminate)
            except ValueError:  # not the main thread: leave them alone
                pass
        return self

    def __exit__(self, *exception):
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)


def tell(text, stream=None):
    """Writes text to stderr (or stream) if it can. A closed stderr (2>&-),
    a full one (2>/dev/full) or one whose reader has gone must never stop the
    work: after a failure the stream's descriptor points at /dev/null, so
    that later writes and the interpreter's last flush pass quietly."""
    stream = sys.stderr if stream is None else stream
    if stream is None:
        return False
    try:
        stream.write(text)
        stream.flush()
        return True
    except (OSError, ValueError):
        mute(stream)
        return False


def mute(stream):
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, stream.fileno())
        finally:
            os.close(null)
        stream.flush()  # what is left in its buffer goes to /dev/null
    except (OSError, ValueError, AttributeError):
        pass


def is_terminal(stream):
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError, AttributeError):
        return False
