"""Where results go, so that nothing a file already holds is lost.

Write permission on the file decides whether it may be written, as for `cp`
and `sort -o`. A regular file is written whole under a temporary name beside
it and renamed into place (its mode, owner and user.* attributes kept); one
that a rename cannot serve (other hard links, which must see the result; a
folder this user may not write; an owner this user cannot give the new file)
is rewritten in place once the result is complete, with signals held for
that copy, so that no interruption leaves it half old, half new. A symbolic
link's target is what gets written; a device, a FIFO or an open descriptor
(/dev/stdout, /dev/fd/N) is written through. An output that is also an input
is refused."""
import errno
import os
import stat

# Paths whose folder resolves into /proc name an open descriptor (/dev/stdout,
# /dev/fd/1): written through, since renaming a file there is meaningless.
PROC = os.sep + "proc"
SYMLINK_LIMIT = 40  # as the kernel's own limit on links followed
TOKEN_HEX = 12      # pid (8 hex digits) + random (4)
SUFFIX = ".tmp"


class OutputIsInput(OSError):
    def __init__(self, path):
        OSError.__init__(self, errno.EINVAL, "it is also an input", path)


def name_max(folder):
    try:
        return os.pathconf(folder or os.curdir, "PC_NAME_MAX")
    except (OSError, ValueError):
        return 255


def temporary_prefix(folder, name):
    """The start of the temporary names for a target: "." + name + "." when
    that leaves room for the token and suffix within the file system's name
    limit, else the name cut short and followed by a hash of it, so that a
    name of any length the file system takes still has a temporary name,
    and one that only this target uses."""
    encoded = os.fsencode(name)
    limit = name_max(folder)
    extra = 2 + TOKEN_HEX + len(SUFFIX)
    if len(encoded) + extra <= limit:
        return "." + name + "."
    import hashlib  # only here: loading OpenSSL costs every run a few ms
    digest = hashlib.sha1(encoded).hexdigest()[:16].encode()
    keep = max(limit - extra - 1 - len(digest), 1)
    return os.fsdecode(b"." + encoded[:keep] + b"~" + digest + b".")


def _token():
    # The writer's pid first: a later run removes only the files of writers
    # that are gone.
    return "%08x%s" % (os.getpid() & 0xFFFFFFFF, os.urandom(2).hex())


def alive(pid):
    if pid <= 0 or pid == os.getpid():
        return pid > 0
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process
        return True
    try:  # a zombie, not yet reaped by its parent, writes nothing
        with open("/proc/%d/stat" % pid, "rb") as status:
            return status.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except (OSError, IndexError):
        return True


def _is_token(text):
    return len(text) == TOKEN_HEX and all(c in "0123456789abcdef" for c in text)


def remove_temporaries(targets):
    """Removes the temporary files left beside these targets by writers that
    were stopped before they could remove their own: only names of this
    module's own pattern for these very targets, and only those of writers
    (by pid, on this machine) no longer running."""
    names_in = {}
    for target in targets:
        try:
            path, through = resolve(target)
        except OSError:
            continue
        if not through:
            folder, name = os.path.split(path)
            names_in.setdefault(folder, set()).add(name)
    for folder, names in names_in.items():
        prefixes = set(temporary_prefix(folder, name) for name in names)
        try:
            entries = os.listdir(folder or os.curdir)
        except OSError:
            continue
        cut = TOKEN_HEX + len(SUFFIX)
        for entry in entries:
            if not entry.endswith(SUFFIX) or entry[:-cut] not in prefixes:
                continue
            token = entry[-cut:-len(SUFFIX)]
            if _is_token(token) and not alive(int(token[:8], 16)):
                try:
                    os.unlink(os.path.join(folder, entry))
                except OSError:
                    pass


def resolve(path):
    """(the path to write, written through?): symbolic links followed to the
    file they name (which may not exist yet); a path into /proc is an open
    descriptor, written through."""
    for _ in range(SYMLINK_LIMIT):
        folder, name = os.path.split(path)
        real = os.path.realpath(folder or os.curdir)
        if real == PROC or real.startswith(PROC + os.sep):
            return path, True
        if name in ("", os.curdir, os.pardir):
            return path, False  # a folder: opening it says so
        path = os.path.join(real, name)
        try:
            link = os.readlink(path)
        except OSError:  # not a link, or missing
            return path, False
        path = os.path.join(real, link)
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)


def input_ids(names):
    """(device, inode) of the regular files among the inputs; '-' is
    standard input."""
    ids = set()
    for name in names:
        try:
            found = os.fstat(0) if name == "-" else os.stat(name)
        except OSError:
            continue  # reported when it is read
        if stat.S_ISREG(found.st_mode):
            ids.add((found.st_dev, found.st_ino))
    return ids


class AtomicFile(object):
    """A file written so that a reader never sees half of it and a run that
    fails or is interrupted leaves the target as it was: written under a
    temporary name beside the target and renamed into place on success.
    Either open(), then commit() or discard(), or use it as a context manager
    and commit(). .file is the binary file object to write to.

    inputs: (device, inode) pairs the target must not be (input_ids)."""

    def __init__(self, target, inputs=()):
        # Only names here: nothing to clean up if interrupted now.
        self.target = target
        self.inputs = inputs
        self.temporary = None
        self.file = None
        self.path = None        # the file that commit() writes
        self.in_place = False   # copied into the file at commit, not renamed
        self.through = False    # a device, FIFO or descriptor: written directly

    def open(self):
        """Creates the temporary file, or opens a special file. Ctrl-C may
        strike just after the file is made, before the caller holds it:
        discard() removes it by name."""
        path, through = resolve(self.target)
        try:
            found = os.stat(path)
        except FileNotFoundError:
            found = None
        if found is not None:
            if stat.S_ISDIR(found.st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.target)
            if stat.S_ISREG(found.st_mode) and (found.st_dev, found.st_ino) in self.inputs:
                raise OutputIsInput(self.target)
            through = through or not stat.S_ISREG(found.st_mode)
            if not through:
                may_write(path)
        self.path = path
        if through:
            self.open_through(found)
            return
        self.in_place = found is not None and found.st_nlink > 1
        folder, name = os.path.split(path)
        prefix = os.path.join(folder, temporary_prefix(folder, name))
        for _ in range(10):
            self.temporary = prefix + _token() + SUFFIX
            try:
                # O_EXCL: never write through a file or link that is already
                # there; 0o666 lets the umask decide, as for any file one
                # makes; an existing file's mode is set once it is ours.
                descriptor = os.open(self.temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL,
                                     0o666 if found is None else 0o600)
                break
            except FileExistsError:
                continue
            except OSError as error:
                self.temporary = None  # not ours to remove
                if found is None or error.errno not in (errno.EACCES, errno.EPERM):
                    raise
                # A file this user may write in a folder it may not: the
                # result waits in an unnamed file, then is copied in (as cp
                # or sort -o would write it).
                import tempfile
                self.file = tempfile.TemporaryFile()
                self.in_place = True
                return
        else:
            self.temporary = None
            raise OSError(errno.EEXIST, os.strerror(errno.EEXIST), prefix)
        self.file = os.fdopen(descriptor, "w+b")
        if found is not None and not self.in_place:
            # An owner the new file cannot be given (in a sticky folder, the
            # rename would be refused too): the old file keeps it, written
            # in place, as cp writes it.
            self.in_place = not keep_mode_and_owner(descriptor, found)
            if not self.in_place:
                keep_user_attributes(path, descriptor)

    def open_through(self, found):
        # As cp and sort -o do: a FIFO's reader or a device gets the bytes;
        # only a regular file (behind /dev/stdout) is truncated.
        flags = os.O_WRONLY | os.O_NOCTTY
        if found is not None and stat.S_ISREG(found.st_mode):
            flags |= os.O_TRUNC
        self.through = True
        self.file = os.fdopen(os.open(self.path, flags), "wb")

    def commit(self):
        if self.through:
            self.file.close()
            return
        if self.in_place:
            self.file.flush()
            copy_into(self.file.fileno(), self.path)
            self.file.close()
            if self.temporary is not None:
                os.unlink(self.temporary)
        else:
            self.file.close()
            os.replace(self.temporary, self.path)
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


def may_write(path):
    """Raises what opening the file for writing raises (PermissionError, say),
    as cp would meet it: neither the folder's permission nor root's rename
    decides whether a file this user may not write is replaced."""
    os.close(os.open(path, os.O_WRONLY | os.O_NOCTTY | getattr(os, "O_CLOEXEC", 0)))


def keep_mode_and_owner(descriptor, found):
    """Gives the new file the mode, owner and group of the one it replaces;
    False when this user may not (only root gives a file away)."""
    mine = os.fstat(descriptor)
    if (mine.st_uid, mine.st_gid) != (found.st_uid, found.st_gid):
        try:
            os.fchown(descriptor, found.st_uid, found.st_gid)
        except OSError:
            return False
    os.fchmod(descriptor, stat.S_IMODE(found.st_mode))  # after fchown, which drops set-id bits
    return True


def keep_user_attributes(path, descriptor):
    """Copies the user.* extended attributes of path onto the new file."""
    try:
        names = [name for name in os.listxattr(path) if name.startswith("user.")]
    except OSError:  # a file system without them
        return
    for name in names:
        os.setxattr(descriptor, name, os.getxattr(path, name))


# The signals that end a run, or that a person or a supervisor sends to end
# one: held while a file is rewritten in place. They take effect once it is
# whole.
HELD = ("SIGHUP", "SIGINT", "SIGQUIT", "SIGTERM", "SIGUSR1", "SIGUSR2", "SIGALRM")


def copy_into(source, path):
    """Copies the whole of descriptor source over the file at path, in place
    (a file with several links, say), with signals held: only SIGKILL or a
    power cut can stop it halfway. Space is reserved first, so that a full
    disk stops it before the old content is touched. The copy is of a local,
    complete file: it takes as long as writing that many bytes."""
    import signal
    held = [getattr(signal, name) for name in HELD]
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        size = os.fstat(source).st_size
        target = os.open(path, os.O_WRONLY | os.O_NOCTTY)
        try:
            reserve(target, size)
            offset = 0
            while offset < size:
                chunk = os.pread(source, min(1 << 20, size - offset), offset)
                if not chunk:
                    break
                view = memoryview(chunk)
                while view:
                    written = os.write(target, view)
                    view = view[written:]
                offset += len(chunk)
            os.ftruncate(target, size)
        finally:
            os.close(target)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def reserve(descriptor, size):
    if size:
        try:
            os.posix_fallocate(descriptor, 0, size)
        except OSError as error:
            if error.errno not in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
                raise
