"""The command line as argparse reads it, with every help text of the
command: what runs when the common forms (command_line.read) do not apply,
that is for help, --version, usage errors and the rarer spellings. Imported
only then: argparse costs a run about a tenth of its start."""
import argparse

from .command_line import PROGRAM, Arguments, options, page_problem, print_version
from .options import Options

DESCRIPTION = """\
Converts Markdown to HTML, or key=value lines to JSON Lines, with the zendral
module. The output is safe to hand to other programs: HTML with &, <, > and "
of the text escaped, JSON that any parser reads. --raw gives instead the
zendral module's exact bytes, each result line followed by LF."""

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

# What each command's output is, escaped or raw.
ESCAPING = {
    "md": """\
&, <, > and " of the text are written as entities, so that every tag in the
output is one the converter made: raw HTML in the input (<script>, <img
onerror=...>) shows as text. --raw copies the text as it is, byte for byte
what zendral.md_to_html gives: never serve that output of untrusted input.
--escape, the default, is accepted too.

--page writes a whole HTML5 document (doctype, <meta charset="utf-8">, a
<title> from the first heading, else the file name) around the result, for
one input; --css URL adds a stylesheet link to that page.""",
    "kv": """\
Keys and values are written as JSON strings, a double quote, backslash or
control byte escaped: every line is valid JSON holding exactly the input's
keys and values, in order, duplicates kept (JSON Lines, for jq or any JSON
parser). --raw copies them as they are, byte for byte what
zendral.csv_file_to_json gives: such a line can be invalid JSON, or read as
other values (C:\\new reads as C:, newline, ew). --escape, the default, is
accepted too.""",
}

OUTPUT_FILE = """\
With -o, the output file appears only when every input has converted; until
then it is a hidden temporary file beside it, removed on failure, Ctrl-C,
SIGTERM or SIGHUP. -o writes where cp would: an OUT this user may not write
is refused, whatever the folder allows. An existing OUT keeps its mode,
owner and user.* extended attributes; a symbolic link's target is written; a
file with other hard links, one in a folder this user may not write, or one
owned by another user is rewritten in place once the result is complete
(every link sees it), with signals held until that copy is done; a device or
FIFO (/dev/null, /dev/stdout) is written through. An OUT that is also an
input is refused, and so is an input that is standard output's file."""

BATCH_EPILOG = """\
Files under INPUT (subfolders too) named *.md or *.markdown, in any case,
become NAME.html at the same place under OUTPUT; files named *.log or *.kv
become NAME.jsonl (app.log gives app.log.jsonl); each is exactly what
`zendral md` or `zendral kv` gives for it, with the same options. --md and
--kv replace those lists of patterns (repeat them for several). Other files
are skipped and counted by extension in the summary line, never converted.
Each output is written as -o writes OUT (see `zendral md --help`): a new one
appears whole, under its name, only once converted. A file that fails is
reported on stderr and has no output; the others go on, and the exit status is
then 1. A worker that dies costs only its own file; workers end with the
command, even when it is killed. OUTPUT may be inside INPUT (it is skipped)
but not hold it. Progress (files done, MB/s) goes to stderr when it is a
terminal, or with --progress.

examples:
  zendral batch logs/ out/                     a process per core
  zendral batch notes/ site/ --page --css style.css
  zendral batch logs/ out/ --kv '*.txt' --kv '*.out'
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


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    pass


class VersionAction(argparse.Action):
    """--version, with the version looked up only when asked for: finding
    it costs more than the rest of a run's start."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                 help="show the program's version number and exit"):
        argparse.Action.__init__(self, option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        print_version()
        parser.exit()


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


def name(text):
    # An unset variable in a script ("$OUT") must not mean the current folder.
    if not text:
        raise argparse.ArgumentTypeError("an empty name")
    return text


def add_output_options(command, page):
    """The options of what is written: escaped or raw, and for Markdown a
    whole page."""
    escaping = command.add_mutually_exclusive_group()
    escaping.add_argument("--raw", action="store_true",
                          help="the zendral module's exact bytes, unescaped (see below)")
    escaping.add_argument("--escape", action="store_true",
                          help="escape the output for other programs: the default")
    if page:
        command.add_argument("--page", action="store_true",
                             help="a whole HTML5 document per input (Markdown)")
        command.add_argument("--css", metavar="URL",
                             help="with --page, a link to this stylesheet")


def add_convert(commands, command, summary, example, suffix, output):
    parser = commands.add_parser(command, help=summary, description=summary,
                                 formatter_class=HelpFormatter,
                                 epilog=convert_epilog(command, example, output, suffix))
    parser.add_argument("files", nargs="*", metavar="FILE", type=name,
                        help="files to convert; none, or -, reads standard input")
    parser.add_argument("-o", "--output", metavar="OUT", type=name,
                        help="write the result to OUT instead of standard output")
    add_output_options(parser, page=command == "md")
    parser.set_defaults(usage_error=parser.error)


def convert_epilog(command, example, output, suffix):
    examples = [
        ("zendral %s %s" % (command, example), "print the result"),
        ("zendral %s -o %s %s" % (command, output, example), "write it to " + output),
        ("cat %s | zendral %s" % (example, command), "read standard input"),
        ("zendral %s a%s - b%s" % (command, suffix, suffix), "a file, standard input, another"),
    ]
    if command == "md":
        examples.append(("zendral md --page -o %s %s" % (output, example), "a whole page"))
    width = max(len(line) for line, _ in examples) + 2
    return """\
Input is split into lines at LF only, as csv_file_to_json reads a file: a CR
stays in its line, and a final LF ends the last line. Several files are
converted one after another, each as a document of its own, their results
concatenated. %s

%s

examples:
%s

%s""" % ("Lines from a pipe are converted and written as they arrive."
         if command == "kv" else "Input is converted and written in blocks, as it is read.",
         ESCAPING[command],
         "\n".join("  " + line.ljust(width) + what for line, what in examples),
         OUTPUT_FILE)


def add_batch(commands):
    parser = commands.add_parser(
        "batch", help="Convert the Markdown and key=value files of a folder into another.",
        description="Convert the Markdown and key=value files under INPUT into OUTPUT, "
                    "in parallel.",
        formatter_class=HelpFormatter, epilog=BATCH_EPILOG)
    parser.add_argument("input", metavar="INPUT", type=name, help="the folder to convert")
    parser.add_argument("output", metavar="OUTPUT", type=name,
                        help="the folder for the results (made if missing)")
    parser.add_argument("--md", action="append", metavar="GLOB", dest="md_globs",
                        help="convert files whose names match GLOB as Markdown, instead of "
                             "*.md and *.markdown (repeatable)")
    parser.add_argument("--kv", action="append", metavar="GLOB", dest="kv_globs",
                        help="convert files whose names match GLOB as key=value lines, "
                             "instead of *.log and *.kv (repeatable)")
    add_output_options(parser, page=True)
    parser.add_argument("--engine", choices=("processes", "cluster", "serial"),
                        help="processes (the default): a process pool on this machine; "
                             "cluster: a Dask cluster; serial: one file after another "
                             "in this process")
    parser.add_argument("--workers", type=positive, metavar="N",
                        help="worker processes (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="the address of an existing Dask scheduler to use "
                             "(implies --engine cluster)")
    parser.add_argument("--progress", action="store_true",
                        help="show progress on stderr even when it is not a terminal")
    parser.set_defaults(usage_error=parser.error)


def build():
    top = argparse.ArgumentParser(prog=PROGRAM, description=DESCRIPTION, epilog=EPILOG,
                                  formatter_class=HelpFormatter)
    top.add_argument("--version", action=VersionAction)
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True  # Python 3.6 takes no required= argument
    add_convert(commands, "md", "Convert Markdown to HTML.", "README.md", ".md", "README.html")
    add_convert(commands, "kv", "Convert key=value lines to JSON Lines.", "app.log", ".log",
                "app.jsonl")
    add_batch(commands)
    return top


def parse(argv):
    """The command line as Arguments; exits as argparse does (status 2, a
    usage line and one error line) when it is wrong, and after --help."""
    namespace = build().parse_args(argv)
    fields = vars(namespace)
    usage_error = fields.pop("usage_error")
    chosen = {name: fields.pop(name) for name in ("raw",) + Options.__slots__ if name in fields}
    arguments = Arguments(options=options(chosen), **fields)
    problem = page_problem(arguments)
    if arguments.command == "batch":
        if arguments.scheduler and arguments.engine not in (None, "cluster"):
            problem = "--scheduler goes with --engine cluster"
        arguments.engine = arguments.engine or ("cluster" if arguments.scheduler else "processes")
    if problem:
        usage_error(problem)
    return arguments
