"""Reading inputs the way csv_file_to_json reads files, converting them, and
writing results atomically: shared by the md, kv and batch commands."""
import os
import stat

import zendral

from .outputs import AtomicFile, remove_temporaries  # noqa: F401  (the writers' names)

# Lines handed to the module per call when a whole input is not needed at
# once: large enough that the call overhead vanishes, small enough to stream.
STREAM_CHUNK = 1 << 20
# Lines encoded and written per write() call.
WRITE_BATCH = 8192
# Lines per call when looking for the line whose output is not UTF-8.
SEARCH_BLOCK = 1024


class ConversionError(Exception):
    """A failure of one input, its text ready to print after the file name.
    A plain message, so it crosses process boundaries intact."""


def split_lines(data):
    """Splits bytes at LF only, as csv_file_to_json splits a file: a CR stays
    in its line, and a final LF ends the last line instead of starting an
    empty one (so an empty input has no lines)."""
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    return lines


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


def not_utf8(convert, lines, first_number, error):
    """The ConversionError for a UnicodeDecodeError that convert(lines) raised:
    names the first input line whose own output is not UTF-8. Only runs on
    that error path, so the extra calls cost nothing otherwise. Converting a
    block of lines gives each line's own output (Markdown only adds ASCII
    list tags around items), so a block fails exactly when one of its lines
    does."""
    for start in range(0, len(lines), SEARCH_BLOCK):
        block = lines[start:start + SEARCH_BLOCK]
        try:
            convert(block)
        except UnicodeDecodeError:
            for offset, line in enumerate(block):
                try:
                    convert([line])
                except UnicodeDecodeError as found:
                    return ConversionError("line %d: output is not UTF-8 (%s)" % (
                        first_number + start + offset, found.reason))
    return ConversionError("output is not UTF-8 (%s)" % error.reason)


def convert_lines(convert, lines, first_number=1):
    try:
        return convert(lines)
    except UnicodeDecodeError as error:
        raise not_utf8(convert, lines, first_number, error)


def markdown_file(path):
    """(input bytes, HTML lines) of a Markdown file or other readable path."""
    with open(path, "rb") as source:
        data = source.read()
    return len(data), convert_lines(zendral.md_to_html, split_lines(data))


def key_value_file(path):
    """The JSON lines of a key=value file: csv_file_to_json's own result."""
    try:
        return zendral.csv_file_to_json(os.fsencode(path))
    except UnicodeDecodeError as error:
        with open(path, "rb") as source:
            raise not_utf8(zendral.csv_lines_to_json, split_lines(source.read()), 1, error)
    except RuntimeError:
        # "Could not open/read file": open() tells why, in the system's words.
        with open(path, "rb") as source:
            source.read(1)
        raise


def key_value_chunks(source):
    """Converts key=value lines read from a binary stream (a pipe, a
    terminal) as they come, yielding lists of JSON lines. Lines split as
    csv_file_to_json splits a file; each is converted once it is complete."""
    number = 1
    parts = []  # the start of a line not yet ended by LF
    while True:
        chunk = source.read(STREAM_CHUNK)
        if not chunk:
            break
        cut = chunk.rfind(b"\n")
        if cut < 0:
            parts.append(chunk)
            continue
        parts.append(chunk[:cut])
        lines = b"".join(parts).split(b"\n")
        parts = [chunk[cut + 1:]]
        yield convert_lines(zendral.csv_lines_to_json, lines, number)
        number += len(lines)
    tail = b"".join(parts)
    if tail:
        yield convert_lines(zendral.csv_lines_to_json, [tail], number)


def write_lines(out, lines):
    """Writes each item as UTF-8 plus LF. Returns the number of bytes."""
    written = 0
    for start in range(0, len(lines), WRITE_BATCH):
        data = "\n".join(lines[start:start + WRITE_BATCH]).encode("utf-8") + b"\n"
        written += len(data)
        out.write(data)
    return written


def is_regular(path):
    return stat.S_ISREG(os.stat(path).st_mode)

