"""The `zendral` command: converts Markdown and key=value files with the
zendral module, from the shell. `python -m zendral_cli` runs it too."""
import argparse
import errno
import os
import re
import signal
import sys

__all__ = ["main"]

PROGRAM = "zendral"

# Exit statuses, as other Unix tools use them (argparse exits with 2 for
# wrong arguments).
OK, FAILED, INTERRUPTED = 0, 1, 128 + signal.SIGINT

# The modules that need the extension (convert, batch) are imported when a
# command runs, so that --help and --version work without it.


def version():
    """This code's version: the source tree's when run from a clone, else the
    installed distribution's."""
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        with open(os.path.join(here, os.pardir, os.pardir, os.pardir, "CMakeLists.txt")) as text:
            found = re.search(r"project\(zendral VERSION ([0-9.]+)", text.read())
        if found:
            return found.group(1)
    except (OSError, UnicodeDecodeError):
        pass
    try:
        try:
            from importlib.metadata import version as installed  # Python 3.8+
            return installed("zendral")
        except ImportError:
            import pkg_resources
            return pkg_resources.get_distribution("zendral").version
    except Exception:  # not installed, or no metadata
        return "unknown"


class Errors(object):
    """Reports failures on stderr, one line each, and remembers that one
    happened."""

    def __init__(self):
        self.count = 0

    def report(self, name, text):
        from .process import tell
        self.count += 1
        tell("%s: %s: %s\n" % (PROGRAM, name, text))


class StdoutClosed(Exception):
    """The reader of standard output has gone away."""


class Output(object):
    """Where the result lines go: standard output, or a file that appears
    only once the whole run has succeeded."""

    def __init__(self, path, inputs=()):
        from . import outputs
        self.path = path
        self.inputs = inputs
        self.atomic = outputs.AtomicFile(path) if path is not None else None
        self.stream = None

    def open(self):
        if self.atomic is not None:
            from . import outputs
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
        if self.atomic is None:
            if error.errno == errno.EPIPE:
                raise StdoutClosed()
            silence_stdout()
        raise OutputError(self.path or "standard output", error.strerror or str(error))


class OutputError(Exception):
    pass


def silence_stdout():
    """Points standard output at /dev/null, so that the interpreter's final
    flush of what is left in its buffer cannot fail again."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)
    except (OSError, ValueError):
        pass


def convert_input(kind, name, output, escape):
    """Converts FILE or '-' (standard input) into the output, natively and
    in blocks: a pipe's key=value lines are written as they come."""
    from . import convert
    if name == "-":
        if sys.stdin is None:  # started with stdin closed
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        source = sys.stdin.fileno()
    else:
        source = name
    # The converter writes to the descriptor itself, after what is buffered.
    try:
        output.stream.flush()
        target = output.stream.fileno()
    except OSError as error:
        output.failed(error)
    try:
        convert.convert_file(kind, source, target, escape)
    except OSError as error:
        if error.filename is target:
            output.failed(error)
        raise


def convert_markdown(name, output, escape=False):
    convert_input("markdown", name, output, escape)


def convert_key_values(name, output, escape=False):
    convert_input("key_value", name, output, escape)


def run_convert(arguments, convert_one):
    from . import convert
    errors = Errors()
    output = Output(arguments.output, arguments.files or ["-"])
    try:
        try:
            output.open()
        except OSError as error:
            errors.report(arguments.output or "standard output",
                          "cannot write: %s" % convert.describe(error))
            return FAILED
        for name in arguments.files or ["-"]:
            try:
                convert_one(name, output, arguments.escape)
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
    from .options import Options
    from .process import tell
    try:
        progress = batch.run(arguments.input, arguments.output, engine=arguments.engine,
                             workers=arguments.workers, scheduler=arguments.scheduler,
                             show_progress=True if arguments.progress else None,
                             options=Options(escape=arguments.escape))
    except batch.Failure as failure:
        tell("%s: %s\n" % (PROGRAM, failure))
        return failure.status
    except OSError as error:  # an output folder that cannot be made, say
        tell("%s: %s: %s\n" % (PROGRAM, error.filename or arguments.output,
                               error.strerror or error))
        return FAILED
    return FAILED if progress.failures else OK


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    pass


DESCRIPTION = """\
Converts Markdown to HTML lines, or key=value lines to JSON object lines,
with the zendral module: byte for byte what its functions return, each
result line followed by LF."""

EPILOG = """\
examples:
  zendral md README.md > README.html
  zendral kv -o app.jsonl app.log
  tail -f app.log | zendral kv
  zendral batch docs/ html/

Run `zendral COMMAND --help` for a command's options and examples.

exit status: 0 success, 1 an input or output failed, 2 wrong arguments,
130 interrupted (Ctrl-C), 143 and 129 ended by SIGTERM and SIGHUP. When the
reader of the output stops early (| head), the command ends quietly, killed
by SIGPIPE as cat is (141 in the shell)."""

# What the default output does not escape, for each command's help.
NOT_ESCAPED = {
    "md": """\
By default nothing is escaped: raw HTML in the input (<script>, <img
onerror=...>) passes into the output unchanged, so never serve the result of
untrusted input as it is. --escape writes &, <, > and " of the text as
entities, so that every tag in the output is one the converter made.""",
    "kv": """\
By default keys and values are copied as they are: a double quote, backslash
or control byte in them is not escaped, so such a line is invalid JSON or
reads as other values (C:\\new reads as C:, newline, ew). --escape writes
them as JSON strings: every line is then valid JSON holding exactly the
input's keys and values, in order, duplicates kept.""",
}


def convert_epilog(name, example, output, suffix):
    examples = [
        ("zendral %s %s" % (name, example), "print the result"),
        ("zendral %s -o %s %s" % (name, output, example), "write it to " + output),
        ("cat %s | zendral %s" % (example, name), "read standard input"),
        ("zendral %s a%s - b%s" % (name, suffix, suffix), "a file, standard input, another"),
    ]
    width = max(len(command) for command, _ in examples) + 2
    return """\
Input is split into lines at LF only, as csv_file_to_json reads a file: a CR
stays in its line, and a final LF ends the last line. Several files are
converted one after another, each as a document of its own, their results
concatenated.

examples:
%s

With -o, the output file appears only when every input has converted; until
then it is a hidden temporary file beside it, removed on failure, Ctrl-C,
SIGTERM or SIGHUP. An existing OUT keeps its mode and owner; a symbolic link's
target is written, a file with other hard links is rewritten in place (every
link sees the result), and a device or FIFO (/dev/null, /dev/stdout) is
written through. An OUT that is also an input is refused.
%s

%s""" % ("\n".join("  " + command.ljust(width) + what for command, what in examples),
         "Lines from a pipe are converted and written as they arrive."
         if name == "kv" else "Input is converted and written in blocks, as it is read.",
         NOT_ESCAPED[name])


BATCH_EPILOG = """\
Every file under INPUT (subfolders too) becomes one file at the same place
under OUTPUT: NAME.md becomes NAME.html, any other file NAME becomes
NAME.jsonl, each exactly what `zendral md` or `zendral kv` gives for it.
Each output is written under a temporary name and renamed, so a reader never
sees half a file. A file that fails is reported on stderr and has no output;
the others go on, and the exit status is then 1. A worker that dies costs
only its own file; workers end with the command, even when it is killed.
OUTPUT may be inside INPUT (it is skipped) but not hold it. Progress (files
done, MB/s) goes to stderr when it is a terminal, or with --progress.

examples:
  zendral batch logs/ out/                     a process per core
  zendral batch logs/ out/ --workers 4 --progress
  zendral batch logs/ out/ --engine cluster --workers 2
      a local Dask cluster, every listener on 127.0.0.1, open only to this
      run (TLS with credentials made for it)
  zendral batch logs/ out/ --scheduler tls://10.0.0.5:8786
      an existing Dask cluster, with the TLS settings of your Dask
      configuration; its workers need zendral installed and must see INPUT
      and OUTPUT at the same paths

The cluster engine needs Dask's distributed package, and the local cluster
the cryptography package (pip install distributed cryptography; Debian:
apt-get install python3-distributed python3-cryptography)."""


# More worker processes than this is a mistyped number, not a machine.
MOST_WORKERS = 4096


def positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError("takes a whole number from 1, not %r" % text)
    if value > MOST_WORKERS:
        raise argparse.ArgumentTypeError("takes at most %d, not %r" % (MOST_WORKERS, text))
    return value


def parser():
    top = argparse.ArgumentParser(prog=PROGRAM, description=DESCRIPTION, epilog=EPILOG,
                                  formatter_class=HelpFormatter)
    top.add_argument("--version", action="version", version="%s %s" % (PROGRAM, version()))
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True  # Python 3.6 takes no required= argument

    for name, summary, example, suffix, output in (
            ("md", "Convert Markdown to HTML lines.", "README.md", ".md", "README.html"),
            ("kv", "Convert key=value lines to JSON object lines.", "app.log", ".log",
             "app.jsonl")):
        command = commands.add_parser(
            name, help=summary, description=summary, formatter_class=HelpFormatter,
            epilog=convert_epilog(name, example, output, suffix))
        command.add_argument("files", nargs="*", metavar="FILE",
                             help="files to convert; none, or -, reads standard input")
        command.add_argument("-o", "--output", metavar="OUT",
                             help="write the result to OUT instead of standard output")
        command.add_argument("--escape", action="store_true",
                             help="escape the output for other programs (see below)")
        command.set_defaults(run=lambda arguments, one=(
            convert_markdown if name == "md" else convert_key_values): run_convert(arguments, one))

    command = commands.add_parser(
        "batch", help="Convert every file of a folder into another folder.",
        description="Convert every file under INPUT into OUTPUT, in parallel.",
        formatter_class=HelpFormatter, epilog=BATCH_EPILOG)
    command.add_argument("input", metavar="INPUT", help="the folder to convert")
    command.add_argument("output", metavar="OUTPUT",
                         help="the folder for the results (made if missing)")
    command.add_argument("--engine", choices=("processes", "cluster", "serial"),
                         help="processes (the default): a process pool on this machine; "
                              "cluster: a Dask cluster; serial: one file after another "
                              "in this process")
    command.add_argument("--workers", type=positive, metavar="N",
                         help="worker processes (default: one per core)")
    command.add_argument("--scheduler", metavar="ADDRESS",
                         help="the address of an existing Dask scheduler to use "
                              "(implies --engine cluster)")
    command.add_argument("--progress", action="store_true",
                         help="show progress on stderr even when it is not a terminal")
    command.add_argument("--escape", action="store_true",
                         help="escape as `zendral md --escape` and `zendral kv --escape` do")
    command.set_defaults(run=run_batch, usage_error=command.error)
    return top


def main(argv=None):
    """Runs the command; returns its exit status."""
    from .process import Terminated, stopped_by_signals, tell
    status = OK
    try:
        with stopped_by_signals():
            status = run_command(argv)
    except ImportError as error:  # the extension itself, most likely
        tell("%s: cannot import %s: %s\n" % (PROGRAM, error.name or "a module", error))
        status = FAILED
    except KeyboardInterrupt as interrupt:
        # Output files were discarded on the way out; no traceback. SIGTERM
        # and SIGHUP end with their own statuses, as a shell reports them.
        status = 128 + interrupt.signum if isinstance(interrupt, Terminated) else INTERRUPTED
    except StdoutClosed:
        # End as cat or grep do when their reader has gone: killed by
        # SIGPIPE, silently (status 141 in the shell).
        silence_stdout()
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    return status


def run_command(argv):
    top = parser()
    arguments = top.parse_args(argv)
    if getattr(arguments, "scheduler", None):
        if arguments.engine not in (None, "cluster"):
            arguments.usage_error("--scheduler goes with --engine cluster")
        arguments.engine = "cluster"
    if arguments.command == "batch":
        arguments.engine = arguments.engine or "processes"
    return arguments.run(arguments)
