"""Body files and the quantities every N-body user checks: energy, momentum,
centre of mass.

A body file holds one body per line: ``x y z vx vy vz mass`` and optionally a
name (the rest of the line, spaces allowed). Blank lines are skipped and '#'
starts a comment. The command-line program reads and writes the same format,
and both write every number with 17 significant digits (C's "%.17g"), which
reads back to the same bits.

The quantities are computed in the order and grouping the command-line
program uses, sum by sum in body order (numpy's own sums are pairwise and
would differ in the last bits), so that Python and the program print the same
numbers for the same system.
"""

import re

import numpy as np

# Everything std::from_chars accepts in its general format, the C locale's
# decimal numbers; "+1", "1_0", "0x1", "inf" and "nan" are not numbers here.
_NUMBER = re.compile(r"-?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
_MANTISSA_NONZERO = re.compile(r"[^eE]*[1-9]")
_BLANK = " \t\r"
_SEPARATORS = " \t"
FIELDS = "x y z vx vy vz mass"


def header(version):
    """The first line both writers put in a body file."""
    return "# stellix %s bodies: %s name\n" % (version, FIELDS)


def _number(field):
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


def _lines(path):
    """(number, text) of every line, split at '\\n' only as the command-line
    reader splits them; bytes that are not UTF-8 are kept as they are."""
    with open(path, "rb") as raw:
        data = raw.read()
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    for number, line in enumerate(lines, 1):
        yield number, line.decode("utf-8", "surrogateescape")


def parse(path, max_bodies, body_dtype):
    rows, names = [], []
    for number, line in _lines(path):
        where = "%s:%d: " % (path, number)
        rest = line.split("#", 1)[0].strip(_BLANK)
        if not rest:
            continue
        if len(rows) == max_bodies:
            raise ValueError(where + "more than %d bodies" % max_bodies)
        values = []
        for k in range(7):
            if not rest:
                raise ValueError(where + "expected 7 numbers (%s), found %d" % (FIELDS, k))
            end = min((i for i in (rest.find(" "), rest.find("\t")) if i >= 0), default=-1)
            field = rest if end < 0 else rest[:end]
            value = _number(field)
            if value is None:
                raise ValueError(where + "not a finite number: %r" % field)
            values.append(value)
            rest = "" if end < 0 else rest[end:].strip(_BLANK)
        if values[6] < 0:
            raise ValueError(where + "negative mass")
        rows.append(values)
        names.append(rest if rest else "body %d" % len(rows))
    if not rows:
        raise ValueError("%s: no bodies in the file" % path)
    bodies = np.array(rows, dtype=np.float64).view(body_dtype).reshape(-1)
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
    return None


def write(path, view, names, version):
    """Writes the bodies of the BODY array `view` (already checked) to `path`."""
    n = len(view)
    if names is not None:
        names = list(names)
        if len(names) != n:
            raise ValueError("%d names for %d bodies" % (len(names), n))
        for k, name in enumerate(names):
            problem = _name_problem(name)
            if problem is not None:
                raise ValueError("the name of body %d (%r) %s: it would not read back"
                                 % (k + 1, name, problem))
    rows = view.view(np.float64).reshape(n, 7)
    if not np.isfinite(rows).all():
        k = int(np.argwhere(~np.isfinite(rows))[0][0])
        raise ValueError("body %d has a value that is not finite" % (k + 1))
    if (rows[:, 6] < 0).any():
        k = int(np.argwhere(rows[:, 6] < 0)[0][0])
        raise ValueError("body %d has a negative mass" % (k + 1))
    text = [header(version)]
    for k in range(n):
        # Python's ".17g" gives the same digits as C's "%.17g": both round the
        # exact binary value to 17 significant digits.
        line = " ".join(format(float(v), ".17g") for v in rows[k])
        text.append(line + (" " + names[k] if names is not None else "") + "\n")
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as out:
        out.write("".join(text))


def _sum(terms, start=0.0):
    """start + terms[0] + terms[1] + ..., left to right like a C loop."""
    return float(np.add.accumulate(np.concatenate(([start], terms)))[-1])


def _columns(view):
    rows = view.view(np.float64).reshape(len(view), 7)
    return rows[:, 0:3], rows[:, 3:6], rows[:, 6]


def energy(view, G):
    n = len(view)
    position, velocity, mass = _columns(view)
    vx, vy, vz = velocity.T
    kinetic = _sum((0.5 * mass) * ((vx * vx + vy * vy) + vz * vz))
    potential = 0.0
    x, y, z = position.T
    with np.errstate(divide="ignore", invalid="ignore"):
        for i in range(n - 1):
            dx, dy, dz = x[i] - x[i + 1:], y[i] - y[i + 1:], z[i] - z[i + 1:]
            r = np.sqrt((dx * dx + dy * dy) + dz * dz)
            terms = ((G * mass[i]) * mass[i + 1:]) / r
            potential = float(np.subtract.accumulate(np.concatenate(([potential], terms)))[-1])
    return kinetic + potential


def momentum(view):
    _, velocity, mass = _columns(view)
    return np.array([_sum(mass * velocity[:, k]) for k in range(3)])


def _moments(view):
    position, velocity, mass = _columns(view)
    total = _sum(mass)
    if not total > 0:
        raise ValueError("the centre of mass needs a positive total mass, got %r" % total)
    r = np.array([_sum(mass * position[:, k]) for k in range(3)])
    p = np.array([_sum(mass * velocity[:, k]) for k in range(3)])
    return r, p, total


def center_of_mass(view):
    r, p, total = _moments(view)
    return r / total, p / total


def move_to_center_of_mass(view):
    position, velocity = center_of_mass(view)
    rows = view.view(np.float64).reshape(len(view), 7)
    rows[:, 0:3] -= position
    rows[:, 3:6] -= velocity
