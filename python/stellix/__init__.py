"""stellix: bit-reproducible direct-summation Newtonian gravity.

Units are metres, seconds and 10^24 kg, in which the library's built-in
constant c^3 (``G``) is Newton's gravitational constant.

Bodies live in a numpy array of dtype ``BODY`` (seven float64 fields x, y, z,
vx, vy, vz, mass), shape (n,). A C-contiguous float64 array of shape (n, 7)
is accepted too and viewed, not copied, so ``simulate`` updates it in place.

Every argument that the C library would trust is checked here first, and a
wrong one raises TypeError or ValueError before any memory is touched. Every
failure raises: a run without scratch memory raises MemoryError, a lost run
file or lost standard output raises OSError, and Ctrl-C stops a long run
between two steps with KeyboardInterrupt (SimulationInterrupted).
"""

import ctypes
import os
import sys

import numpy as np

from . import _bodies, _library, _run
from ._library import ENV_VARIABLE, LibraryNotFoundError
from ._run import SimulationInterrupted

__all__ = [
    "BODY",
    "G",
    "MAX_BODIES",
    "LibraryNotFoundError",
    "SimulationInterrupted",
    "accelerations",
    "as_bodies",
    "center_of_mass",
    "energy",
    "gravity_factors",
    "invsqrt",
    "library",
    "make_bodies",
    "momentum",
    "move_to_center_of_mass",
    "print_bodies",
    "print_matrix",
    "print_vector",
    "read_bodies",
    "read_run",
    "record_bodies",
    "save_bodies",
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


def _plain(array, what):
    """`array` as a plain ndarray sharing its memory. Subclasses such as
    np.matrix (always 2-D, so reshape(-1) keeps a row of n) or masked arrays
    change what shape and values mean, and are refused; np.memmap is plain
    memory and is accepted."""
    if type(array) is np.ndarray:
        return array
    if isinstance(array, np.memmap):
        return array.view(np.ndarray)
    raise TypeError(
        "%s must be a plain numpy array, not %s; np.asarray(...) gives one"
        % (what, type(array).__name__)
    )


def as_bodies(bodies, writable=False):
    """A (n,) BODY view of `bodies` without copying, or an exception saying
    why that is impossible."""
    if not isinstance(bodies, np.ndarray):
        raise TypeError(
            "bodies must be a numpy array of dtype stellix.BODY or float64 of shape (n, 7), "
            "not %s; stellix.make_bodies(rows) builds one" % type(bodies).__name__
        )
    bodies = _plain(bodies, "bodies")
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
    array = _plain(array, what)
    if array.shape != shape:
        raise ValueError("%s must have shape %s, got %s" % (what, shape, array.shape))
    _check_buffer(array, what, writable)
    return array.ctypes.data_as(_library._doubles)


def _body_pointer(view):
    return view.ctypes.data_as(_library._bodies)


def _apart(first, first_name, second, second_name):
    # The library reads one while it writes the other: overlap gives garbage.
    if np.may_share_memory(first, second):
        raise ValueError("%s and %s must not share memory" % (first_name, second_name))


def _path_bytes(path):
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("the path %r contains a NUL character" % (path,))
    return encoded


def _c_print(function, *arguments):
    """Calls a library printer that writes to C's stdout, in order with
    Python's own sys.stdout, and raises OSError if the text was not written."""
    text = _run.StdoutText(library(), direct=True)
    try:
        function(*arguments)
        text.flush()
    finally:
        text.close()
    if text.error is not None:
        raise text.error


def snapshot_count(steps, interval):
    """How many snapshots a run of `steps` steps with stride `interval` emits:
    1 + (steps - 1) // |interval| for steps >= 1, else 1."""
    steps = _check_int32(steps, "steps")
    interval = _check_int32(interval, "interval")
    if interval == 0:
        raise ValueError("interval must be nonzero")
    return 1 + (steps - 1) // abs(interval) if steps >= 1 else 1


def simulate(bodies, dt, steps, interval=1, *, store=True, record=False, print=False,
             progress=False):
    """Advances `bodies` in place by velocity Verlet, max(steps, 1) steps of
    `dt` seconds, and returns the stored snapshot positions as a float64
    array of shape (S, n, 3), S = snapshot_count(steps, interval); snapshot 0
    is the initial state, snapshot k >= 1 the state after k*|interval| + 1
    steps. With store=False nothing is stored and None is returned.

    record=True also writes the snapshots to "output.csv" in the current
    directory (replacing it); print=True writes them to sys.stdout, in order
    with Python's own output. progress=True draws a progress bar on
    standard error.

    Raises MemoryError if the run's scratch memory could not be obtained
    (the bodies are then unchanged), and OSError (errno, message, file name)
    if the run file or standard output could not be written in full; the run
    has then finished, the bodies hold its final state, and the stored
    positions are the exception's `positions`. Ctrl-C stops a long run
    between two steps with SimulationInterrupted, a KeyboardInterrupt that
    says how many steps were taken (its `steps`; the bodies hold the state
    after them) and carries the positions stored so far. A run that is not
    interrupted gives the same bits as a single library call.
    """
    view = as_bodies(bodies, writable=True)
    dt = float(dt)
    count = snapshot_count(steps, interval)
    n = len(view)
    positions = np.zeros((count, n, 3), dtype=np.float64) if store else None
    run = _run.Run(library(), view, dt, int(steps), int(interval), bool(store), bool(record),
                   bool(print), positions, bool(progress))
    return run.execute()


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
    matrix_pointer = _doubles(matrix, "matrix", (n, n), True)
    _apart(view, "bodies", matrix, "matrix")
    library().getAccelerationVectorArray(
        _body_pointer(view),
        n,
        _doubles(result, "accelerations", (n, 3), True),
        matrix_pointer,
    )
    return result


def invsqrt(x):
    """1.0 / sqrt(x) as the library computes it."""
    return library().invsqrt(float(x))


def print_bodies(bodies):
    """Writes the snapshot text of `bodies` to sys.stdout (see simulate)."""
    view = as_bodies(bodies)
    text = _run.StdoutText(library())
    try:
        text.write(_body_pointer(view), len(view))
    finally:
        text.close()
    if text.error is not None:
        raise text.error


def record_bodies(path, bodies, append=True):
    """Writes the snapshot text of `bodies` to the file `path` through the
    library's recordBodies (appending unless append=False)."""
    view = as_bodies(bodies)
    stream = _run.RunFile(library(), _path_bytes(path), b"a" if append else b"w")
    stream.write(_body_pointer(view), len(view))
    stream.close()
    if stream.error:
        raise OSError(stream.error, os.strerror(stream.error), stream.path)


def print_matrix(values):
    """Prints a square (n, n) float64 matrix, each value as "%.15lf "."""
    values = np.asarray(values)
    if values.ndim != 2 or values.shape[0] != values.shape[1]:
        raise ValueError("a square matrix is needed, got shape %s" % (values.shape,))
    n = values.shape[0]
    _check_count(n)
    pointer = _doubles(values, "values", (n, n), False)
    _c_print(library().printSquareMatrix, pointer, n)


def print_vector(values):
    """Prints n float64 values, each as "%.15lf ", with no newline."""
    values = np.asarray(values)
    if values.ndim != 1:
        raise ValueError("a one-dimensional array is needed, got shape %s" % (values.shape,))
    if values.shape[0] > _INT32[1]:
        raise ValueError("too many values for one call")
    pointer = _doubles(values, "values", values.shape, False)
    _c_print(library().printVector, pointer, values.shape[0])


def read_run(path="output.csv", n=None):
    """Loads a run file (or any snapshot text) back as float64 (S, n, 7):
    snapshot, body, field (x, y, z, vx, vy, vz, mass). The file does not
    record n, so it must be given. Text after '#' and blank lines are
    skipped, and a decimal comma (as a comma locale writes it) is read as a
    decimal point."""
    if n is None:
        raise TypeError("read_run needs n, the number of bodies per snapshot")
    n = _check_int32(n, "n")
    if n < 1:
        raise ValueError("n must be at least 1, got %d" % n)
    if os.path.getsize(path) == 0:
        return np.zeros((0, n, 7))
    try:
        values = np.loadtxt(path, dtype=np.float64, ndmin=2, encoding="ascii")
    except ValueError:  # UnicodeDecodeError included
        values = None  # read again line by line, to say where and why
    if values is None or values.shape[1] != 7:
        values = np.array(_parse_run_lines(path), dtype=np.float64).reshape(-1, 7)
    if len(values) % n:
        raise ValueError(
            "%s holds %d lines, not a whole number of %d-body snapshots" % (path, len(values), n)
        )
    return values.reshape(-1, n, 7)


def _number(text):
    try:
        return float(text)
    except ValueError:
        # "1,500000": the decimal point of a comma locale.
        if text.count(",") == 1 and "." not in text:
            return float(text.replace(",", "."))
        raise


def _parse_run_lines(path):
    """The rows of a run file, read as np.loadtxt reads them (comments from
    '#' and blank lines skipped), with the place and reason of a failure."""
    rows = []
    with open(path, "rb") as raw:
        for number, data in enumerate(raw, 1):
            try:
                line = data.decode("ascii")
            except UnicodeDecodeError as error:
                raise ValueError(
                    "%s:%d: not ASCII text (byte 0x%02x at column %d)"
                    % (path, number, data[error.start], error.start + 1)
                ) from None
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            if len(fields) != 7:
                raise ValueError(
                    "%s:%d: expected 7 values, found %d" % (path, number, len(fields))
                )
            try:
                rows.append([_number(f) for f in fields])
            except ValueError:
                raise ValueError("%s:%d: not a number in %r" % (path, number, line.rstrip())) from None
    return rows


def read_bodies(path):
    """Reads a body file: returns (bodies, names), a new BODY array and a list
    of one name per body ("body k" for a line without a name, k counted from
    1). One body per line, ``x y z vx vy vz mass [name]``, the name being the
    rest of the line; '#' starts a comment and blank lines are skipped. The
    rules are the command-line program's: plain decimal numbers, finite and in
    range, masses not negative, at least one body and at most MAX_BODIES.
    Raises ValueError naming the file and line."""
    return _bodies.parse(os.fspath(path), MAX_BODIES, BODY)


def save_bodies(path, bodies, names=None):
    """Writes `bodies` (and `names`, one string per body, if given) to the body
    file `path`, replacing it, every number with 17 significant digits so that
    read_bodies gives back the same bits and names. A first comment line says
    the version and the fields. Raises ValueError for a value that is not
    finite, a negative mass, or a name that would not read back (empty,
    containing '#' or a newline, or white space at either end)."""
    _bodies.write(os.fspath(path), as_bodies(bodies), names, __version__)


def energy(bodies):
    """The total energy in 10^24 J: kinetic sum_i (m_i/2) v_i^2 plus potential
    -sum_{i<j} G m_i m_j / r_ij, summed in body order exactly as the
    command-line program sums it, so both give the same bits. Coincident
    bodies give an infinite or NaN result, as in C."""
    return _bodies.energy(as_bodies(bodies), G)


def momentum(bodies):
    """The total momentum sum_i m_i v_i as a float64 array (3,), in
    10^24 kg m/s."""
    return _bodies.momentum(as_bodies(bodies))


def center_of_mass(bodies):
    """(position, velocity) of the centre of mass: two float64 arrays (3,),
    in metres and m/s. Raises ValueError if the total mass is not positive."""
    return _bodies.center_of_mass(as_bodies(bodies))


def move_to_center_of_mass(bodies):
    """Moves `bodies` in place into their centre-of-mass frame: subtracts the
    centre of mass's position and velocity from every body, as the
    command-line program's --com does, bit for bit."""
    _bodies.move_to_center_of_mass(as_bodies(bodies, writable=True))
