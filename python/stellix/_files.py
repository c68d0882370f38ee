"""Body files, read and written, and run files read back.

A body file holds one body per line: ``x y z vx vy vz mass`` and optionally a
name (the rest of the line, spaces allowed). Blank lines are skipped and '#'
starts a comment. The command-line program reads and writes the same format,
and both write every number with 17 significant digits (C's "%.17g"), which
reads back to the same bits.

A run file holds the snapshot text the library writes, seven fixed-point
numbers per body and line, one snapshot after another.
"""

import os
import re
import stat

import numpy as np

from . import _elements, _units
from ._checks import as_bodies, check_int32
from ._library import BODY, MAX_BODIES, VERSION
from ._replace import replace_file

# Everything std::from_chars accepts in its general format, the C locale's
# decimal numbers; "+1", "1_0", "0x1", "inf" and "nan" are not numbers here.
_NUMBER = re.compile(r"-?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
_MANTISSA_NONZERO = re.compile(r"[^eE]*[1-9]")
_BLANK = " \t\r"
# The longest line either reader takes, in bytes: far more than seven numbers
# and a name need, and a bound on what a stream without newlines can cost.
MAX_LINE = 65536
FIELDS = "x y z vx vy vz mass"


def header(version):
    """The first line both writers put in a body file."""
    return "# stellix %s bodies: %s name\n" % (version, FIELDS)


def _body_number(field):
    """The value of one field, or None where the command-line reader refuses it:
    not a number, not finite, or out of range (overflow, or a nonzero number
    that rounds to zero)."""
    if not _NUMBER.match(field):
        return None
    value = float(field)
    if value != value or value in (float("inf"), float("-inf")):
        return None
    if value == 0.0 and _MANTISSA_NONZERO.match(field):
        return None
    return value


def _raw_lines(raw, path):
    """(number, bytes) of every line of the open binary stream `raw`, split at
    '\\n' only, without it. A line longer than MAX_LINE bytes is refused as
    soon as it is seen, so that a file without newlines (/dev/zero) is never
    read whole."""
    number = 0
    while True:
        data = raw.readline(MAX_LINE + 1)
        if not data:
            return
        number += 1
        if data.endswith(b"\n"):
            data = data[:-1]
        elif len(data) > MAX_LINE:
            raise ValueError("%s:%d: line longer than %d bytes" % (path, number, MAX_LINE))
        yield number, data


def _lines(path):
    """(number, text) of every line, split at '\\n' only as the command-line
    reader splits them; bytes that are not UTF-8 are kept as they are."""
    with open(path, "rb") as raw:
        for number, line in _raw_lines(raw, path):
            yield number, line.decode("utf-8", "surrogateescape")


def _body_line(where, rest):
    """The seven values of a body line without its comment, and the rest of
    the line (its name, or "")."""
    values = []
    for k in range(7):
        if not rest:
            raise ValueError(where + "expected 7 numbers (%s), found %d" % (FIELDS, k))
        end = min((i for i in (rest.find(" "), rest.find("\t")) if i >= 0), default=-1)
        field = rest if end < 0 else rest[:end]
        value = _body_number(field)
        if value is None:
            raise ValueError(where + "not a finite number: %r" % field)
        values.append(value)
        rest = "" if end < 0 else rest[end:].strip(_BLANK)
    if values[6] < 0:
        raise ValueError(where + "negative mass")
    return values, rest


def read_bodies(path):
    """Reads a body file: returns (bodies, names), a new BODY array and a list
    of one name per body ("body k" for a line without a name, k counted from
    1). One body per line, ``x y z vx vy vz mass [name]``, the name being the
    rest of the line; '#' starts a comment and blank lines are skipped. The
    rules are the command-line program's: plain decimal numbers, finite and in
    range, masses not negative, at least one body and at most MAX_BODIES.
    A line ``units NAME`` before the first body names the unit preset of the
    numbers, and a line ``elements FRAME a e i Omega omega M mass [name]``
    gives a body by its elements (see stellix._elements).
    Raises ValueError naming the file and line."""
    path = os.fspath(path)
    rows, names, units = [], [], None
    for number, line in _lines(path):
        where = "%s:%d: " % (path, number)
        rest = line.split("#", 1)[0].strip(_BLANK)
        if not rest:
            continue
        if _units.is_units_line(rest):
            units = _units.parse_units_line(where, rest, len(rows), units)
            continue
        if len(rows) == MAX_BODIES:
            raise ValueError(where + "more than %d bodies" % MAX_BODIES)
        if _elements.is_elements_line(rest):
            values, name = _elements.parse_elements_line(where, rest, units or _units.SI, names)
        else:
            values, name = _body_line(where, rest)
            values = _units.to_library(values, units or _units.SI, where)
        rows.append(values)
        names.append(name if name else "body %d" % len(rows))
    if not rows:
        raise ValueError("%s: no bodies in the file" % path)
    bodies = np.array(_elements.resolve(rows), dtype=np.float64).view(BODY).reshape(-1)
    return bodies, names


def _name_problem(name):
    if not isinstance(name, str):
        return "is not a string"
    if not name:
        return "is empty"
    if "#" in name or "\n" in name:
        return "contains '#' or a newline"
    if name.strip(_BLANK) != name:
        return "begins or ends with white space"
    try:
        name.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return "cannot be written as UTF-8 (a lone surrogate)"
    return None


def _checked_names(names, n):
    if names is None:
        return None
    names = list(names)
    if len(names) != n:
        raise ValueError("%d names for %d bodies" % (len(names), n))
    for k, name in enumerate(names):
        problem = _name_problem(name)
        if problem is not None:
            raise ValueError("the name of body %d (%r) %s: it would not read back"
                             % (k + 1, name, problem))
    return names


def _check_writable_values(rows):
    if not np.isfinite(rows).all():
        k = int(np.argwhere(~np.isfinite(rows))[0][0])
        raise ValueError("body %d has a value that is not finite" % (k + 1))
    if (rows[:, 6] < 0).any():
        k = int(np.argwhere(rows[:, 6] < 0)[0][0])
        raise ValueError("body %d has a negative mass" % (k + 1))


def save_bodies(path, bodies, names=None, units="si"):
    """Writes `bodies` (and `names`, one string per body, if given) to the body
    file `path`, replacing it, every number with 17 significant digits so that
    read_bodies gives back the same bits and names. A first comment line says
    the version and the fields. Raises ValueError for a value that is not
    finite, a negative mass, or a name that would not read back (empty,
    containing '#' or a newline, white space at either end, or a lone
    surrogate). With another unit preset than "si", a units line follows the
    first line and every value is divided by its factor (the file then reads
    back within an ulp). The file is written beside `path` and renamed over
    it when complete: on any failure the previous file is left as it was
    (see python/README.md for links, devices and permission bits)."""
    path = os.fspath(path)
    view = as_bodies(bodies)
    n = len(view)
    names = _checked_names(names, n)
    units = _units.preset(units)
    rows = _units.from_library(view.view(np.float64).reshape(n, 7), units)
    _check_writable_values(rows)
    text = [header(VERSION)] + ([] if units is _units.SI else ["units %s\n" % units.name])
    for k in range(n):
        # Python's ".17g" gives the same digits as C's "%.17g": both round the
        # exact binary value to 17 significant digits.
        line = " ".join(format(float(v), ".17g") for v in rows[k])
        text.append(line + (" " + names[k] if names is not None else "") + "\n")
    replace_file(path, "".join(text).encode("utf-8", "surrogateescape"))


# Run files.


def read_run(path="output.csv", n=None):
    """Loads a run file (or any snapshot text) back as float64 (S, n, 7):
    snapshot, body, field (x, y, z, vx, vy, vz, mass). The file does not
    record n, so it must be given. Text after '#' and blank lines are
    skipped, and a decimal comma (as a comma locale writes it) is read as a
    decimal point."""
    if n is None:
        raise TypeError("read_run needs n, the number of bodies per snapshot")
    n = check_int32(n, "n")
    if n < 1:
        raise ValueError("n must be at least 1, got %d" % n)
    if not stat.S_ISREG(os.stat(path).st_mode):
        # A FIFO, pipe or device has no size to go by, and may never end a
        # line: it is read once, line by line, within MAX_LINE.
        values = np.array(_parse_run_lines(path), dtype=np.float64).reshape(-1, 7)
        return _snapshots(values, path, n)
    if os.path.getsize(path) == 0:
        return np.zeros((0, n, 7))
    try:
        values = np.loadtxt(path, dtype=np.float64, ndmin=2, encoding="ascii")
    except ValueError:  # UnicodeDecodeError included
        values = None  # read again line by line, to say where and why
    if values is None or values.shape[1] != 7:
        values = np.array(_parse_run_lines(path), dtype=np.float64).reshape(-1, 7)
    return _snapshots(values, path, n)


def _snapshots(values, path, n):
    if len(values) % n:
        raise ValueError(
            "%s holds %d lines, not a whole number of %d-body snapshots" % (path, len(values), n)
        )
    return values.reshape(-1, n, 7)


def _run_number(text):
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
        for number, data in _raw_lines(raw, path):
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
                rows.append([_run_number(f) for f in fields])
            except ValueError:
                raise ValueError(
                    "%s:%d: not a number in %r" % (path, number, line.rstrip())
                ) from None
    return rows
