"""Converting inputs natively, block by block, and writing results
atomically: shared by the md, kv and batch commands."""
import binascii
import os
import re

import zendral_document


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


def convert_file(kind, source, target, escape=False):
    """Converts source into target ("markdown" or "key_value"; each a path or
    an open file descriptor) in blocks, with no Python object per line.
    Returns (input bytes, output lines, output bytes). An OSError names in
    its filename the source or target it concerns, as passed; a line whose
    output is not UTF-8 becomes a ConversionError that names it."""
    function = (zendral_document.md_file_to_html if kind == "markdown"
                else zendral_document.kv_file_to_json)
    try:
        return function(source, target, escape=escape)
    except UnicodeDecodeError as error:
        # The decoder's own reason for that line's output.
        raise ConversionError("line %d: output is not UTF-8 (%s)" % (error.line, error.reason))


# AtomicFile's temporary names: "." + the target's name + a random token.
TEMPORARY_NAME = re.compile(r"\.(.+)\.[0-9a-f]{12}\.tmp\Z", re.S)


def remove_temporaries(targets):
    """Removes the temporary files left beside these targets by writers that
    were stopped before they could remove their own."""
    names_in = {}
    for target in targets:
        folder, name = os.path.split(target)
        names_in.setdefault(folder, set()).add(name)
    for folder, names in names_in.items():
        try:
            entries = os.listdir(folder)
        except OSError:
            continue
        for entry in entries:
            found = TEMPORARY_NAME.match(entry)
            if found and found.group(1) in names:
                try:
                    os.unlink(os.path.join(folder, entry))
                except OSError:
                    pass


class AtomicFile(object):
    """A file written under a temporary name beside its target and renamed
    into place on success: a reader never sees half a file, and a run that
    fails or is interrupted leaves nothing behind. Either open(), then
    commit() or discard(), or use it as a context manager and commit()."""

    def __init__(self, target):
        # Only names here: nothing to clean up if interrupted now.
        self.target = target
        folder, name = os.path.split(target)
        token = binascii.hexlify(os.urandom(6)).decode()
        self.temporary = os.path.join(folder, ".%s.%s.tmp" % (name, token))
        self.file = None

    def open(self):
        """Creates the temporary file. Ctrl-C may strike just after the file
        is made, before the caller holds it: discard() removes it by name."""
        try:
            # O_EXCL: never write through a file or link that is already
            # there; 0o666 lets the umask decide, as for any file one makes.
            descriptor = os.open(self.temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except OSError:
            self.temporary = None  # not ours to remove
            raise
        self.file = os.fdopen(descriptor, "wb")

    def commit(self):
        self.file.close()
        os.replace(self.temporary, self.target)
        self.temporary = None

    def discard(self):
        if self.file is not None:
            try:
                self.file.close()
            except OSError:
                pass
        if self.temporary is not None:
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = None

    def __enter__(self):
        try:
            self.open()
        except BaseException:
            self.discard()
            raise
        return self

    def __exit__(self, *exception):
        self.discard()
