"""Converting inputs natively, block by block, and writing results
atomically: shared by the md, kv and batch commands."""
import zendral_document

from .options import Options
from .outputs import AtomicFile, remove_temporaries  # noqa: F401  (the writers' names)


class ConversionError(Exception):
    """A failure of one input, its text ready to print after the file name.
    A plain message, so it crosses process boundaries intact."""


def describe(error):
    """The cause of a failure, as one line."""
    if isinstance(error, ConversionError):
        return str(error)
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    if isinstance(error, MemoryError):
        return "out of memory"
    text = str(error)
    return "%s: %s" % (type(error).__name__, text) if text else type(error).__name__


def convert_file(kind, source, target, options=None, title=None):
    """Converts source into target ("markdown" or "key_value"; each a path or
    an open file descriptor) in blocks, with no Python object per line, as
    options (an Options; default Options()) ask; title names a page that has
    no heading. Returns (input bytes, output lines, output bytes). An OSError
    names in its filename the source or target it concerns, as passed; a line
    whose output is not UTF-8 becomes a ConversionError that names it."""
    if options is None:
        options = Options()
    function = (zendral_document.md_file_to_html if kind == "markdown"
                else zendral_document.kv_file_to_json)
    try:
        return function(source, target, **options.keywords(kind, title))
    except UnicodeDecodeError as error:
        # The decoder's own reason for that line's output.
        raise ConversionError("line %d: output is not UTF-8 (%s)" % (error.line, error.reason))
