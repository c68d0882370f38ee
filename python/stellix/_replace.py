"""Files written beside their target and renamed into place when complete: a
reader never sees half a file, and a failure (a full disk, an exception, an
interrupt) leaves the previous file as it was.

The temporary file sits in the target's own directory, so the rename stays
on one file system and is atomic. It takes the target's permission bits (a
new file gets the umask's, as open() would give it). A hard link to the
target is broken by the rename: the other name keeps the old content. A
symbolic link is followed, and the file it names is replaced. Devices, FIFOs
and sockets have nothing to rename over and are written directly.
"""

import os
import secrets
import stat

_TEMP_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
_DIRECT_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0)


def _is_stream(path):
    """Whether `path` names something other than a regular file or a
    directory: such a target is written in place."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False  # a new file, or a failure that creating the temporary file reports
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def temporary_name(target):
    """A fresh hidden name beside `target`, recognisably the package's."""
    directory, base = os.path.split(target)
    return os.path.join(directory, ".%s.stellix-%s" % (base, secrets.token_hex(4)))


def create_beside(target):
    """Opens a new temporary file beside `target` with the target's
    permission bits: (descriptor, name)."""
    while True:
        name = temporary_name(target)
        try:
            fd = os.open(name, _TEMP_FLAGS, 0o666)
        except FileExistsError:
            continue
        break
    try:
        os.fchmod(fd, stat.S_IMODE(os.stat(target).st_mode))
    except FileNotFoundError:
        pass
    except BaseException:
        os.close(fd)
        os.unlink(name)
        raise
    return fd, name


def _about_target(error, target):
    """`error` under the target's name: the temporary name means nothing to
    the caller."""
    return OSError(error.errno, error.strerror, target)


class Beside:
    """One output on its way to `path`: `fd` is written, then `commit` puts
    the file in place, or `discard` removes every trace of it."""

    def __init__(self, path):
        self.name = os.path.abspath(os.fspath(path))
        self.target = os.path.realpath(self.name)
        self.temp = self.fd = None
        try:
            if _is_stream(self.target):
                self.fd = os.open(self.target, _DIRECT_FLAGS, 0o666)
            else:
                self.fd, self.temp = create_beside(self.target)
        except OSError as error:
            raise _about_target(error, self.name) from None

    @classmethod
    def reopen(cls, target, temp, length):
        """The temporary file `temp` of an earlier process, cut back to its
        first `length` bytes and open for appending: what a checkpoint vouches
        for is kept, and whatever was written after it goes."""
        self = cls.__new__(cls)
        self.name, self.target, self.temp = target, target, None
        fd = os.open(temp, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0))
        try:
            if os.fstat(fd).st_size < length:
                raise ValueError("%s holds fewer bytes than its checkpoint vouches for (%d)"
                                 % (temp, length))
            os.ftruncate(fd, length)
            os.lseek(fd, length, os.SEEK_SET)
        except BaseException:
            os.close(fd)
            raise
        self.fd, self.temp = fd, temp
        return self

    def publish_copy(self):
        """Puts a copy of what was written so far in place, keeping this file
        open: an interrupted run shows its work while it can still go on."""
        with open(self.temp, "rb") as source:
            replace_file(self.target, iter(lambda: source.read(1 << 20), b""))

    def release(self):
        """Hands the descriptor over to whoever closes it (a C stream)."""
        fd, self.fd = self.fd, None
        return fd

    def write(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.fd, view):]

    def sync(self, fd=None):
        """Makes what was written durable, so that a rename or a checkpoint
        never refers to data that a crash of the machine could lose."""
        if self.temp is not None:
            os.fsync(self.fd if fd is None else fd)

    def commit(self):
        """Closes the file and renames it over the target; on failure the
        temporary file is removed and the target is untouched."""
        try:
            if self.fd is not None:
                self.sync()
                fd, self.fd = self.fd, None
                os.close(fd)
            if self.temp is not None:
                os.replace(self.temp, self.target)
                self.temp = None
        except OSError as error:
            raise _about_target(error, self.name) from None
        finally:
            self.discard()

    def discard(self):
        if self.fd is not None:
            fd, self.fd = self.fd, None
            os.close(fd)
        if self.temp is not None:
            temp, self.temp = self.temp, None
            try:
                os.unlink(temp)
            except FileNotFoundError:
                pass


def replace_file(path, data):
    """Writes the bytes `data` (or each of an iterable of bytes) to `path`,
    whole or not at all."""
    output = Beside(path)
    try:
        for piece in [data] if isinstance(data, (bytes, bytearray, memoryview)) else data:
            output.write(piece)
    except OSError as error:
        output.discard()
        raise _about_target(error, output.name) from None
    except BaseException:
        output.discard()
        raise
    output.commit()
