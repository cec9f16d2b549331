"""The command line as values, and the forms most runs use read without
argparse: `md|kv [-o OUT] [--raw|--escape] [--page] [--css URL] [--] FILE...`
and `--version`. Anything else, help and every mistake included, is left to
parser.py, so that each message and exit status is argparse's own."""
from .options import Options

PROGRAM = "zendral"

# The options each command takes, spelled out in full, and their fields: an
# abbreviation or an --option=value goes to argparse. A field of Options not
# listed here is left to argparse too.
FLAGS = {"md": {"--raw": "raw", "--escape": "escape", "--page": "page"},
         "kv": {"--raw": "raw", "--escape": "escape"}}
VALUED = {"md": {"-o": "output", "--output": "output", "--css": "css"},
          "kv": {"-o": "output", "--output": "output"}}


class Arguments(object):
    """What the command line asks for: command ("md", "kv", "batch" or
    "version"), options (an Options); for md and kv files and output (None
    for standard output); for batch input, output and its engine's
    settings."""

    def __init__(self, command, options=None, **fields):
        self.command = command
        self.options = options
        self.__dict__.update(fields)

    def __eq__(self, other):
        return isinstance(other, Arguments) and vars(self) == vars(other)

    def __ne__(self, other):
        return not self == other

    def __repr__(self):
        return "Arguments(%s)" % ", ".join("%s=%r" % item for item in sorted(vars(self).items()))


def read(argv):
    """Arguments for the common command lines, exactly as parser.parse gives
    them; None for any other, argparse's to read."""
    if argv == ["--version"]:
        return Arguments("version")
    if not argv or argv[0] not in FLAGS:
        return None
    command, files, given = argv[0], [], {}
    flags, valued = FLAGS[command], VALUED[command]
    closed = False  # an option came after the files: argparse takes no more
    rest = iter(argv[1:])
    for token in rest:
        if token == "--" and not files:
            files = list(rest)  # all names, even those that start with -
            if "--" in files:
                return None  # argparse versions differ on a second --
            break
        if token.startswith("-") and token != "-":
            field = valued.get(token, flags.get(token))
            if field is None or field in given:
                return None  # unknown, abbreviated, repeated: argparse says
            value = next(rest, None) if token in valued else True
            if value is None or (value is not True and value.startswith("-")):
                return None
            given[field] = value
            closed = bool(files)
        elif closed:
            return None
        else:
            files.append(token)
    if "" in files or "" in given.values() or ("raw" in given and "escape" in given):
        return None
    output = given.pop("output", None)
    arguments = Arguments(command, files=files, output=output, options=options(given))
    return None if page_problem(arguments) else arguments


def options(fields):
    """The Options of the fields read (each option's dest): --raw is escape
    off; --escape, the default, changes nothing."""
    fields = dict(fields)
    escape = not fields.pop("raw", False)
    fields.pop("escape", None)
    return Options(escape=escape, **fields)


def page_problem(arguments):
    """Why a command line that argparse accepts is still wrong, or None."""
    if arguments.command == "md" and arguments.options.page and len(arguments.files) > 1:
        return "--page makes one page: give it one input"
    return None


def version():
    """This code's version: the source tree's when run from a clone, else
    the module's, else the installed distribution's."""
    import os
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        with open(os.path.join(here, os.pardir, os.pardir, os.pardir, "CMakeLists.txt")) as text:
            import re
            found = re.search(r"project\(zendral VERSION ([0-9.]+)", text.read())
        if found:
            return found.group(1)
    except (OSError, UnicodeDecodeError):
        pass
    try:
        import zendral_document
        return zendral_document.__version__
    except (ImportError, AttributeError):
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


def print_version():
    import sys
    sys.stdout.write("%s %s\n" % (PROGRAM, version()))
    sys.stdout.flush()
