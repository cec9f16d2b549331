"""Running a command line: each input converted into standard output or an
output file, failures reported one line each, the exit status. The modules
that need the extension (convert, batch) are imported only once a command
runs, so that --help and --version work without it."""
import errno
import os
import stat  # os has loaded it already
import sys

from .command_line import PROGRAM

# Exit statuses, as other Unix tools use them (argparse exits with 2 for
# wrong arguments). 130 is 128 + SIGINT.
OK, FAILED, INTERRUPTED = 0, 1, 130


class Errors(object):
    """Reports failures on stderr, one line each, and remembers that one
    happened."""

    def __init__(self):
        self.count = 0

    def report(self, name, text):
        from .process import tell
        self.count += 1
        tell("%s: %s: %s\n" % (PROGRAM, name, text))


class ReaderGone(Exception):
    """The reader of a pipe the output goes to has gone away."""


class OutputError(Exception):
    pass


class Output(object):
    """Where the result lines go: standard output, or a file that appears
    only once the whole run has succeeded."""

    def __init__(self, path, inputs=()):
        self.path = path
        self.inputs = inputs
        self.atomic = None
        self.stream = None
        self.regular = None  # (device, inode) of standard output's regular file

    def open(self):
        if self.path is not None:
            from . import outputs
            self.atomic = outputs.AtomicFile(self.path)
            # Refused before anything is read: an output that is an input.
            self.atomic.inputs = outputs.input_ids(self.inputs)
            # Left by a run that was killed (SIGKILL, a power cut).
            outputs.remove_temporaries([self.path])
            self.atomic.open()
            self.stream = self.atomic.file
        elif sys.stdout is None:  # started with stdout closed
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        else:
            self.stream = sys.stdout.buffer
            self.regular = regular_file(os.fstat(self.stream.fileno()))

    def finish(self, keep):
        try:
            if self.atomic is None:
                self.stream.flush()
            elif keep:
                self.atomic.commit()
        except OSError as error:
            self.failed(error)
        finally:
            self.discard()

    def discard(self):
        if self.atomic is not None:
            self.atomic.discard()

    def failed(self, error):
        """A write failed: the run ends. A pipe whose reader has gone ends it
        quietly, as SIGPIPE ends cat, whatever name led to the pipe."""
        if error.errno == errno.EPIPE:
            raise ReaderGone()
        if self.atomic is None:
            silence_stdout()
        raise OutputError(self.path or "standard output", error.strerror or str(error))


def regular_file(found):
    return (found.st_dev, found.st_ino) if stat.S_ISREG(found.st_mode) else None


def silence_stdout():
    """Points standard output at /dev/null, so that the interpreter's final
    flush of what is left in its buffer cannot fail again."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass


def convert_input(kind, name, output, options):
    """Converts FILE or '-' (standard input) into the output, natively and
    in blocks: a pipe's key=value lines are written as they come."""
    from . import convert
    if name == "-":
        if sys.stdin is None:  # started with stdin closed
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        source = sys.stdin.fileno()
    else:
        source = name
    if output.regular is not None and output.regular == source_file(source):
        # Appending a file to itself would never end, or lose what it held.
        raise convert.ConversionError("input file is output file")
    # The converter writes to the descriptor itself, after what is buffered.
    try:
        output.stream.flush()
        target = output.stream.fileno()
    except OSError as error:
        output.failed(error)
    title = None if name == "-" else os.path.basename(name)
    try:
        convert.convert_file(kind, source, target, options, title)
    except OSError as error:
        if error.filename is not None and error.filename == target:
            output.failed(error)
        raise


def source_file(source):
    try:
        return regular_file(os.fstat(source) if isinstance(source, int) else os.stat(source))
    except OSError:
        return None  # reported when it is read


# Threads for one file: a second core halves the converting; more would wait
# on the reads and writes, which go one at a time.
MOST_THREADS = 2


def conversion_threads():
    try:
        return max(1, min(MOST_THREADS, len(os.sched_getaffinity(0))))
    except (AttributeError, OSError):
        return 1


def run_convert(arguments):
    from . import convert
    kind = "markdown" if arguments.command == "md" else "key_value"
    arguments.options.threads = conversion_threads()
    names = arguments.files or ["-"]
    errors = Errors()
    output = Output(arguments.output, names)
    try:
        try:
            output.open()
        except OSError as error:
            errors.report(arguments.output or "standard output",
                          "cannot write: %s" % convert.describe(error))
            return FAILED
        for name in names:
            try:
                convert_input(kind, name, output, arguments.options)
            except (OSError, RuntimeError, MemoryError, convert.ConversionError) as error:
                errors.report("standard input" if name == "-" else name,
                              convert.describe(error))
        output.finish(keep=not errors.count)
    except OutputError as error:
        errors.report(error.args[0], "cannot write: %s" % error.args[1])
    finally:
        output.discard()
    return FAILED if errors.count else OK


def run_batch(arguments):
    from . import batch
    from .process import tell
    try:
        progress = batch.run(
            arguments.input, arguments.output, engine=arguments.engine,
            workers=arguments.workers, scheduler=arguments.scheduler,
            show_progress=True if arguments.progress else None, options=arguments.options,
            md_globs=arguments.md_globs, kv_globs=arguments.kv_globs)
    except batch.Failure as failure:
        tell("%s: %s\n" % (PROGRAM, failure))
        return failure.status
    except OSError as error:  # an output folder that cannot be made, say
        tell("%s: %s: %s\n" % (PROGRAM, error.filename or arguments.output,
                               error.strerror or error))
        return FAILED
    return FAILED if progress.failures else OK


def run_command(argv):
    from . import command_line
    arguments = command_line.read(argv)
    if arguments is None:
        from . import parser
        arguments = parser.parse(argv)
    if arguments.command == "version":
        command_line.print_version()
        return OK
    return run_batch(arguments) if arguments.command == "batch" else run_convert(arguments)


def main(argv=None):
    """Runs the command; returns its exit status."""
    from .process import Terminated, stopped_by_signals, tell
    status = OK
    try:
        with stopped_by_signals():
            status = run_command(sys.argv[1:] if argv is None else argv)
    except ImportError as error:  # the extension itself, most likely
        tell("%s: cannot import %s: %s\n" % (PROGRAM, error.name or "a module", error))
        status = FAILED
    except KeyboardInterrupt as interrupt:
        # Output files were discarded on the way out; no traceback. SIGTERM
        # and SIGHUP end with their own statuses, as a shell reports them.
        status = 128 + interrupt.signum if isinstance(interrupt, Terminated) else INTERRUPTED
    except ReaderGone:
        # End as cat or grep do when their reader has gone: killed by
        # SIGPIPE, silently (status 141 in the shell).
        import signal
        silence_stdout()
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    return status
