"""C's stdio as the library writes through it: the C runtime, the streams
snapshots go to (standard output, a temporary file for a redirected
sys.stdout, a run file), and the printers built on them. A failed write is
kept as an errno and raised once the text is done."""

import contextlib
import ctypes
import errno
import locale
import os
import select
import stat
import sys

import numpy as np

from ._checks import as_bodies, body_pointer, check_count, doubles, path_bytes, INT32
from ._library import library
from ._replace import Beside

RUN_FILE = "output.csv"

_size = ctypes.c_size_t
_stream = ctypes.c_void_p

# The stdio calls made on the library's streams (names as in C).
C_SIGNATURES = {
    "fopen": (_stream, [ctypes.c_char_p, ctypes.c_char_p]),
    "fclose": (ctypes.c_int, [_stream]),
    "fflush": (ctypes.c_int, [_stream]),
    "ferror": (ctypes.c_int, [_stream]),
    "clearerr": (None, [_stream]),
    "tmpfile": (_stream, []),
    "ftell": (ctypes.c_long, [_stream]),
    "rewind": (None, [_stream]),
    "fread": (_size, [ctypes.c_void_p, _size, _size, _stream]),
    "fdopen": (_stream, [ctypes.c_int, ctypes.c_char_p]),
    "fileno": (ctypes.c_int, [_stream]),
}
# The names the Windows runtime gives the POSIX calls.
_WINDOWS_NAMES = {"fdopen": "_fdopen", "fileno": "_fileno"}

_runtime = None


def c_runtime():
    """The C runtime whose stdio the library writes through, with the calls
    of C_SIGNATURES declared. errno is kept across its calls (ctypes.get_errno)."""
    global _runtime
    if _runtime is None:
        if sys.platform == "win32":
            runtime = ctypes.CDLL("ucrtbase", use_errno=True)
        else:
            runtime = ctypes.CDLL(None, use_errno=True)
        for name, (restype, argtypes) in C_SIGNATURES.items():
            if sys.platform == "win32":
                name = _WINDOWS_NAMES.get(name, name)
            function = getattr(runtime, name)
            function.restype = restype
            function.argtypes = argtypes
            setattr(runtime, "c_" + name, function)
        _runtime = runtime
    return _runtime


def c_stdout():
    """The C runtime's current `stdout` stream."""
    runtime = c_runtime()
    if sys.platform == "win32":
        iob = runtime.__acrt_iob_func
        iob.restype = _stream
        iob.argtypes = [ctypes.c_uint]
        return iob(1)
    name = "__stdoutp" if sys.platform == "darwin" else "stdout"
    return _stream.in_dll(runtime, name).value


def _stdout_failure(fd=1):
    """Why writing to `fd` fails, found after the fact: a single library call
    gives errno back as it found it, so the reason of a write that failed
    inside it is lost, and only the descriptor's state can tell."""
    try:
        mode = os.fstat(fd).st_mode
        import fcntl  # POSIX only; Windows reports EIO below

        if fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_ACCMODE == os.O_RDONLY:
            return errno.EBADF
    except OSError as error:
        return error.errno
    except ImportError:
        return errno.EIO
    if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
        poller = select.poll()
        poller.register(fd, select.POLLOUT)
        # The write end of a pipe whose readers are gone polls as an error.
        if any(events & (select.POLLERR | select.POLLHUP) for _, events in poller.poll(0)):
            return errno.EPIPE
    elif stat.S_ISREG(mode):
        space = os.fstatvfs(fd)
        if (space.f_bfree if os.geteuid() == 0 else space.f_bavail) == 0:
            return errno.ENOSPC
    elif stat.S_ISCHR(mode) and os.fstat(fd).st_rdev == os.makedev(1, 7):
        return errno.ENOSPC  # /dev/full
    return errno.EIO


def strerror(code):
    return os.strerror(code) if code else "unknown error"


def run_file_path():
    try:
        return os.path.join(os.getcwd(), RUN_FILE)
    except OSError:
        return RUN_FILE


def stdout_is_process_stdout():
    """Whether sys.stdout writes to file descriptor 1, where C's stdout goes."""
    if sys.stdout is None:
        return True
    try:
        return sys.stdout.fileno() == 1
    except (AttributeError, OSError, ValueError):
        return False


class StdoutText:
    """Snapshot text for sys.stdout. When sys.stdout is the process's standard
    output the library prints it there itself; otherwise (a notebook, a
    redirected sys.stdout, a capturing test runner) the same text is rendered
    by recordBodies into a temporary C stream and handed to sys.stdout.
    The first write error is kept in `error` and later snapshots are skipped."""

    def __init__(self, lib, direct=None):
        self._lib = lib
        self._c = c_runtime()
        self.direct = stdout_is_process_stdout() if direct is None else direct
        self.error = None
        self._tmp = None
        self._buffer = None
        if self.direct:
            if sys.stdout is not None:
                sys.stdout.flush()
            self._c.clearerr(c_stdout())

    def write(self, pointer, n):
        if self.error is not None:
            return
        if self.direct:
            if sys.stdout is not None:
                sys.stdout.flush()
            ctypes.set_errno(0)
            self._lib.printBodies(pointer, n)
            self.flush()
        else:
            self._render(pointer, n)

    def flush(self):
        """Flushes C's stdout and keeps its first write error."""
        if not self.direct or self.error is not None:
            return
        stream = c_stdout()
        earlier = ctypes.get_errno()
        ctypes.set_errno(0)
        failed = self._c.fflush(stream) != 0
        code = ctypes.get_errno() if failed else 0
        if failed or self._c.ferror(stream):
            # A write that failed inside printBodies left its errno behind.
            code = code or earlier or _stdout_failure(1)
            self._c.clearerr(stream)
            self.error = OSError(code, "cannot write to standard output: " + strerror(code))

    def _render(self, pointer, n):
        c = self._c
        if self._tmp is None:
            ctypes.set_errno(0)
            self._tmp = c.tmpfile()
            if not self._tmp:
                code = ctypes.get_errno() or errno.EIO
                self.error = OSError(code, "cannot create a temporary file to render the text "
                                     "for sys.stdout: " + strerror(code))
                return
        ctypes.set_errno(0)
        self._lib.recordBodies(self._tmp, pointer, n)
        size = c.ftell(self._tmp)
        c.rewind(self._tmp)
        if size > 0:
            if self._buffer is None or len(self._buffer) < size:
                self._buffer = ctypes.create_string_buffer(size)
            got = c.fread(self._buffer, 1, size, self._tmp)
        else:
            got = size
        if c.ferror(self._tmp) or size < 0 or got != size:
            code = ctypes.get_errno() or errno.EIO
            self.error = OSError(code, "cannot render the text for sys.stdout in a temporary "
                                 "file: " + strerror(code))
            return
        c.rewind(self._tmp)
        if size == 0:
            return
        text = self._buffer.raw[:size].decode(locale.getpreferredencoding(False),
                                              "surrogateescape")
        try:
            sys.stdout.write(text)
        except Exception as error:  # reported after the run, like any lost output
            self.error = error

    def close(self):
        self.flush()
        if self._tmp is not None:
            self._c.fclose(self._tmp)
            self._tmp = None


class RunFile:
    """A C stream that snapshots are recorded to, the first failure of open,
    write or close kept as an errno. Given `name`, the file is opened as the
    library opens output.csv (fopen with `mode`) and written in place; given
    `output` (a _replace.Beside, or the path of a new one), it is written
    beside its target, and ``commit`` renames it into place."""

    def __init__(self, lib, name=RUN_FILE.encode(), mode=b"w", output=None):
        self._lib = lib
        self._c = c_runtime()
        self.output = None
        self._stream = None
        if output is None:
            self.path = run_file_path() if name == RUN_FILE.encode() else os.fsdecode(name)
            ctypes.set_errno(0)
            self._stream = self._c.fopen(name, mode)
            self.error = 0 if self._stream else (ctypes.get_errno() or errno.EIO)
        else:
            self._open_beside(output, mode)

    def _open_beside(self, output, mode):
        self.path = output.target if isinstance(output, Beside) else os.path.abspath(output)
        try:
            self.output = output if isinstance(output, Beside) else Beside(output)
        except OSError as error:
            self.error = error.errno or errno.EIO
            return
        fd = self.output.release()
        ctypes.set_errno(0)
        self._stream = self._c.c_fdopen(fd, mode)
        self.error = 0
        if not self._stream:
            self.error = ctypes.get_errno() or errno.EIO
            os.close(fd)

    def write(self, pointer, n):
        if self._stream and not self.error:
            ctypes.set_errno(0)
            self._lib.recordBodies(self._stream, pointer, n)
            if self._c.ferror(self._stream):
                self.error = ctypes.get_errno() or errno.EIO

    def sync(self):
        """Flushes the text written so far to the disk and returns its length
        in bytes, or None once anything has failed."""
        if not self._stream or self.error:
            return None
        ctypes.set_errno(0)
        if self._c.fflush(self._stream) != 0 or self._c.ferror(self._stream):
            self.error = ctypes.get_errno() or errno.EIO
            return None
        fd = self._c.c_fileno(self._stream)
        try:
            if self.output is not None:
                self.output.sync(fd)
            return os.lseek(fd, 0, os.SEEK_CUR)
        except OSError as error:
            self.error = error.errno or errno.EIO
            return None

    def close(self):
        if self._stream:
            if self.output is not None:
                self.sync()
            ctypes.set_errno(0)
            failed = self._c.fclose(self._stream) != 0
            self._stream = None
            if failed and not self.error:
                self.error = ctypes.get_errno() or errno.EIO

    def discard(self):
        """Closes the file and removes it, leaving the target as it was."""
        self.close()
        if self.output is not None:
            self.output.discard()

    def commit(self):
        """Closes the file and, if nothing failed, puts it in place; else
        removes it, leaving the target as it was."""
        self.close()
        if self.output is None:
            return
        if self.error:
            self.output.discard()
            return
        try:
            self.output.commit()
        except OSError as error:
            self.error = error.errno or errno.EIO


def _raise_lost(text):
    if text.error is not None:
        raise text.error


def _fixed(values):
    """The text of the library's "%.15lf " for each of `values`: the exact
    binary value rounded to 15 decimals, "nan" for every NaN, and the C
    locale's decimal point, as the library writes them."""
    point = locale.localeconv()["decimal_point"]
    return "".join(format(v, ".15f").replace(".", point) + " " for v in values.tolist())


def _c_print(function, *arguments):
    """Calls a library printer that writes to C's stdout, in order with
    Python's own sys.stdout, and raises OSError if the text was not written."""
    text = StdoutText(library(), direct=True)
    try:
        function(*arguments)
        text.flush()
    finally:
        text.close()
    _raise_lost(text)


def print_bodies(bodies):
    """Writes the snapshot text of `bodies` to sys.stdout (see simulate)."""
    view = as_bodies(bodies)
    text = StdoutText(library())
    try:
        text.write(body_pointer(view), len(view))
    finally:
        text.close()
    _raise_lost(text)


def record_bodies(path, bodies, append=True):
    """Writes the snapshot text of `bodies` to the file `path` through the
    library's recordBodies, appending unless append=False. A failure leaves
    the file as it was: an append that failed is cut off again, and a new
    file is written beside `path` and renamed over it."""
    view = as_bodies(bodies)
    name = path_bytes(path)
    if not append:
        stream = RunFile(library(), output=os.fsdecode(name))
        stream.write(body_pointer(view), len(view))
        stream.commit()
    else:
        before = _regular_size(name)
        stream = RunFile(library(), name, b"a")
        stream.write(body_pointer(view), len(view))
        stream.close()
        if stream.error and before is not None:
            with contextlib.suppress(OSError):
                os.truncate(name, before)
    if stream.error:
        raise OSError(stream.error, os.strerror(stream.error), stream.path)


def _regular_size(name):
    try:
        status = os.stat(name)
    except OSError:
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def print_matrix(values):
    """Prints a square (n, n) float64 matrix, each value as "%.15lf "."""
    values = np.asarray(values)
    if values.ndim != 2 or values.shape[0] != values.shape[1]:
        raise ValueError("a square matrix is needed, got shape %s" % (values.shape,))
    n = values.shape[0]
    check_count(n)
    pointer = doubles(values, "values", (n, n), False)
    if stdout_is_process_stdout():
        _c_print(library().printSquareMatrix, pointer, n)
    else:
        # The library prints the matrix to C's stdout only; a redirected
        # sys.stdout gets the same text made here.
        sys.stdout.write("".join(_fixed(row) + "\n" for row in values))


def print_vector(values):
    """Prints n float64 values, each as "%.15lf ", with no newline."""
    values = np.asarray(values)
    if values.ndim != 1:
        raise ValueError("a one-dimensional array is needed, got shape %s" % (values.shape,))
    if values.shape[0] > INT32[1]:
        raise ValueError("too many values for one call")
    pointer = doubles(values, "values", values.shape, False)
    if stdout_is_process_stdout():
        _c_print(library().printVector, pointer, values.shape[0])
    else:
        sys.stdout.write(_fixed(values))
