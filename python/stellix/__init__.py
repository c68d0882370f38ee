"""stellix: bit-reproducible direct-summation Newtonian gravity.

Units are metres, seconds and 10^24 kg, in which the library's built-in
constant c^3 (``G``) is Newton's gravitational constant.

Bodies live in a numpy array of dtype ``BODY`` (seven float64 fields x, y, z,
vx, vy, vz, mass), shape (n,). A C-contiguous float64 array of shape (n, 7)
is accepted too and viewed, not copied, so ``simulate`` updates it in place.

Every argument that the C library would trust is checked here first, and a
wrong one raises TypeError or ValueError before any memory is touched.
"""

import ctypes
import os
import sys

import numpy as np

from . import _library
from ._library import ENV_VARIABLE, LibraryNotFoundError

__all__ = [
    "BODY",
    "G",
    "MAX_BODIES",
    "LibraryNotFoundError",
    "accelerations",
    "as_bodies",
    "gravity_factors",
    "invsqrt",
    "library",
    "make_bodies",
    "print_bodies",
    "print_matrix",
    "print_vector",
    "read_run",
    "record_bodies",
    "simulate",
    "snapshot_count",
]

__version__ = "1.0.0"

BODY = np.dtype([(name, np.float64) for name in ("x", "y", "z", "vx", "vy", "vz", "mass")])
MAX_BODIES = 46340
# (c*c)*c with c = 40554.77018, exactly as the library forms it.
G = 66699999999906.078125
_INT32 = (-(2**31), 2**31 - 1)

_loaded = None


def library():
    """The loaded shared library (loaded on first use; see ``_library.load``)."""
    global _loaded
    if _loaded is None:
        _loaded = _library.load()
    return _loaded


def make_bodies(rows):
    """A new BODY array from an iterable of (x, y, z, vx, vy, vz, mass)."""
    data = np.array(rows, dtype=np.float64, ndmin=2)
    if data.size == 0:
        return np.zeros(0, dtype=BODY)
    if data.ndim != 2 or data.shape[1] != 7:
        raise ValueError("each body needs 7 values (x, y, z, vx, vy, vz, mass)")
    return np.ascontiguousarray(data).view(BODY).reshape(-1)


def as_bodies(bodies, writable=False):
    """A (n,) BODY view of `bodies` without copying, or an exception saying
    why that is impossible."""
    if not isinstance(bodies, np.ndarray):
        raise TypeError(
            "bodies must be a numpy array of dtype stellix.BODY or float64 of shape (n, 7), "
            "not %s; stellix.make_bodies(rows) builds one" % type(bodies).__name__
        )
    if bodies.dtype == BODY:
        if bodies.ndim != 1:
            raise ValueError("a BODY array must have shape (n,), not %s" % (bodies.shape,))
        view = bodies
    elif bodies.dtype == np.float64 and bodies.ndim == 2 and bodies.shape[1] == 7:
        if not bodies.flags.c_contiguous:
            raise ValueError("a (n, 7) float64 body array must be C-contiguous")
        view = bodies.view(BODY).reshape(-1)
    else:
        raise TypeError(
            "bodies must have dtype stellix.BODY with shape (n,) or float64 with shape (n, 7); "
            "got dtype %s, shape %s" % (bodies.dtype, bodies.shape)
        )
    _check_buffer(view, "bodies", writable)
    _check_count(len(view))
    return view


def _check_buffer(array, what, writable):
    if not array.flags.c_contiguous:
        raise ValueError("%s must be C-contiguous (use np.ascontiguousarray)" % what)
    if not array.flags.aligned:
        raise ValueError("%s must be aligned" % what)
    if writable and not array.flags.writeable:
        raise ValueError("%s must be writable" % what)


def _check_count(n):
    if n > MAX_BODIES:
        raise ValueError("at most %d bodies are supported, got %d" % (MAX_BODIES, n))


def _check_int32(value, what):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError("%s must be an integer, not %s" % (what, type(value).__name__))
    if not _INT32[0] <= value <= _INT32[1]:
        raise ValueError("%s must fit a signed 32-bit integer, got %d" % (what, value))
    return int(value)


def _doubles(array, what, shape, writable):
    if not isinstance(array, np.ndarray) or array.dtype != np.float64:
        raise TypeError("%s must be a float64 numpy array" % what)
    if array.shape != shape:
        raise ValueError("%s must have shape %s, got %s" % (what, shape, array.shape))
    _check_buffer(array, what, writable)
    return array.ctypes.data_as(_library._doubles)


def _body_pointer(view):
    return view.ctypes.data_as(_library._bodies)


def _flush_c_stdout():
    # The library writes through C stdio, buffered apart from Python's own
    # sys.stdout; flush both so that text appears in the order it was made.
    _library.c_runtime().fflush(None)


def snapshot_count(steps, interval):
    """How many snapshots a run of `steps` steps with stride `interval` emits:
    1 + (steps - 1) // |interval| for steps >= 1, else 1."""
    steps = _check_int32(steps, "steps")
    interval = _check_int32(interval, "interval")
    if interval == 0:
        raise ValueError("interval must be nonzero")
    return 1 + (steps - 1) // abs(interval) if steps >= 1 else 1


def simulate(bodies, dt, steps, interval=1, *, store=True, record=False, print=False):
    """Advances `bodies` in place by velocity Verlet, max(steps, 1) steps of
    `dt` seconds, and returns the stored snapshot positions as a float64
    array of shape (S, n, 3), S = snapshot_count(steps, interval); snapshot 0
    is the initial state, snapshot k >= 1 the state after k*|interval| + 1
    steps. With store=False nothing is stored and None is returned.

    record=True also writes the snapshots to "output.csv" in the current
    directory (replacing it); print=True writes them to standard output.
    """
    view = as_bodies(bodies, writable=True)
    dt = float(dt)
    count = snapshot_count(steps, interval)
    n = len(view)
    positions = np.zeros((count, n, 3), dtype=np.float64) if store else None
    pointer = positions.ctypes.data_as(_library._doubles) if store else None
    if print:
        sys.stdout.flush()
    library().simulate(
        _body_pointer(view), n, dt, int(steps), int(interval), int(record), int(store),
        int(print), pointer,
    )
    if print:
        _flush_c_stdout()
    return positions


def gravity_factors(bodies):
    """The (n, n) gravity factor matrix (c / r_ij)^3, +0.0 on the diagonal."""
    view = as_bodies(bodies)
    n = len(view)
    matrix = np.empty((n, n), dtype=np.float64)
    library().getInverseDistanceCubedMatrix(
        _body_pointer(view), n, _doubles(matrix, "matrix", (n, n), True)
    )
    return matrix


def accelerations(bodies, matrix=None):
    """The (n, 3) accelerations (m/s^2) of all bodies. `matrix`, if given, is
    an (n, n) float64 scratch array that receives the gravity factor matrix."""
    view = as_bodies(bodies)
    n = len(view)
    if matrix is None:
        matrix = np.empty((n, n), dtype=np.float64)
    result = np.empty((n, 3), dtype=np.float64)
    library().getAccelerationVectorArray(
        _body_pointer(view),
        n,
        _doubles(result, "accelerations", (n, 3), True),
        _doubles(matrix, "matrix", (n, n), True),
    )
    return result


def invsqrt(x):
    """1.0 / sqrt(x) as the library computes it."""
    return library().invsqrt(float(x))


def print_bodies(bodies):
    """Writes the snapshot text of `bodies` to standard output."""
    view = as_bodies(bodies)
    sys.stdout.flush()
    library().printBodies(_body_pointer(view), len(view))
    _flush_c_stdout()


def record_bodies(path, bodies, append=True):
    """Writes the snapshot text of `bodies` to the file `path` through the
    library's recordBodies (appending unless append=False)."""
    view = as_bodies(bodies)
    runtime = _library.c_runtime()
    runtime.fopen.restype = ctypes.c_void_p
    runtime.fopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    runtime.fclose.argtypes = [ctypes.c_void_p]
    stream = runtime.fopen(os.fsencode(path), b"a" if append else b"w")
    if not stream:
        raise OSError("cannot open %s for writing" % path)
    try:
        library().recordBodies(stream, _body_pointer(view), len(view))
    finally:
        runtime.fclose(stream)


def print_matrix(values):
    """Prints a square (n, n) float64 matrix, each value as "%.15lf "."""
    values = np.asarray(values)
    if values.ndim != 2 or values.shape[0] != values.shape[1]:
        raise ValueError("a square matrix is needed, got shape %s" % (values.shape,))
    n = values.shape[0]
    _check_count(n)
    pointer = _doubles(values, "values", (n, n), False)
    sys.stdout.flush()
    library().printSquareMatrix(pointer, n)
    _flush_c_stdout()


def print_vector(values):
    """Prints n float64 values, each as "%.15lf ", with no newline."""
    values = np.asarray(values)
    if values.ndim != 1:
        raise ValueError("a one-dimensional array is needed, got shape %s" % (values.shape,))
    if values.shape[0] > _INT32[1]:
        raise ValueError("too many values for one call")
    pointer = _doubles(values, "values", values.shape, False)
    sys.stdout.flush()
    library().printVector(pointer, values.shape[0])
    _flush_c_stdout()


def read_run(path="output.csv", n=None):
    """Loads a run file (or any snapshot text) back as float64 (S, n, 7):
    snapshot, body, field (x, y, z, vx, vy, vz, mass). The file does not
    record n, so it must be given."""
    if n is None:
        raise TypeError("read_run needs n, the number of bodies per snapshot")
    n = _check_int32(n, "n")
    if n < 1:
        raise ValueError("n must be at least 1, got %d" % n)
    if os.path.getsize(path) == 0:
        return np.zeros((0, n, 7))
    try:
        values = np.loadtxt(path, dtype=np.float64, ndmin=2, encoding="ascii")
    except ValueError:
        values = None  # read again line by line, to say where and why
    if values is None or values.shape[1] != 7:
        values = np.array(_parse_run_lines(path), dtype=np.float64)
    if len(values) % n:
        raise ValueError(
            "%s holds %d lines, not a whole number of %d-body snapshots" % (path, len(values), n)
        )
    return values.reshape(-1, n, 7)


def _parse_run_lines(path):
    rows = []
    with open(path, "r", encoding="ascii") as text:
        for number, line in enumerate(text, 1):
            fields = line.split()
            if len(fields) != 7:
                raise ValueError(
                    "%s:%d: expected 7 values, found %d" % (path, number, len(fields))
                )
            try:
                rows.append([float(f) for f in fields])
            except ValueError:
                raise ValueError("%s:%d: not a number in %r" % (path, number, line.rstrip())) from None
    return rows

