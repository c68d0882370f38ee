"""Body arrays, and every argument the C library would trust, checked before
any call: a wrong one raises TypeError or ValueError before any memory is
touched."""

import math
import os

import numpy as np

from ._library import BODY, MAX_BODIES, BodyPointer, DoublePointer

INT32 = (-(2**31), 2**31 - 1)


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
    # The snapshots simulate returns are plain memory with two attributes.
    if isinstance(array, np.memmap) or type(array).__name__ == "Snapshots":
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
    check_count(len(view))
    return view


# The library reads and writes doubles, so every array it gets must start on
# a double's boundary. numpy's own `aligned` flag cannot say so for BODY: a
# structured dtype without align=True has an alignment of one byte, so an
# array of it counts as aligned at any address.
_DOUBLE_ALIGNMENT = np.dtype(np.float64).alignment


def _check_buffer(array, what, writable):
    if not array.flags.c_contiguous:
        raise ValueError("%s must be C-contiguous (use np.ascontiguousarray)" % what)
    if array.size and array.ctypes.data % _DOUBLE_ALIGNMENT:
        raise ValueError("%s must start on an %d-byte boundary, as every double does; "
                         "a copy (array.copy()) is aligned" % (what, _DOUBLE_ALIGNMENT))
    if writable and not array.flags.writeable:
        raise ValueError("%s must be writable" % what)


def check_count(n):
    if n > MAX_BODIES:
        raise ValueError("at most %d bodies are supported, got %d" % (MAX_BODIES, n))


def check_int32(value, what):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError("%s must be an integer, not %s" % (what, type(value).__name__))
    if not INT32[0] <= value <= INT32[1]:
        raise ValueError("%s must fit a signed 32-bit integer, got %d" % (what, value))
    return int(value)


def doubles(array, what, shape, writable):
    if not isinstance(array, np.ndarray) or array.dtype != np.float64:
        raise TypeError("%s must be a float64 numpy array" % what)
    array = _plain(array, what)
    if array.shape != shape:
        raise ValueError("%s must have shape %s, got %s" % (what, shape, array.shape))
    _check_buffer(array, what, writable)
    return array.ctypes.data_as(DoublePointer)


def body_pointer(view):
    return view.ctypes.data_as(BodyPointer)


def apart(first, first_name, second, second_name):
    # The library reads one while it writes the other: overlap gives garbage.
    if np.may_share_memory(first, second):
        raise ValueError("%s and %s must not share memory" % (first_name, second_name))


def check_time_step(dt):
    """`dt` as a float, refused unless it is a finite real number: the
    library would integrate nan or inf silently, and float("5") would let a
    string through."""
    if isinstance(dt, (bool, np.bool_)) or not isinstance(dt, (int, float, np.integer,
                                                                np.floating)):
        raise TypeError("dt must be a number of seconds, not %s" % type(dt).__name__)
    try:
        value = float(dt)
    except OverflowError:
        value = math.inf
    if not math.isfinite(value):
        raise ValueError("dt must be a finite number of seconds, not %r" % value)
    return value


def path_bytes(path):
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("the path %r contains a NUL character" % (path,))
    return encoded
