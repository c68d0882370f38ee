"""Keplerian elements to Cartesian states and back, in named frames.

Elements are a (semi-major axis; negative for a hyperbola), e
(eccentricity), i (inclination), Omega (longitude of the ascending node),
omega (argument of periapsis), and M (mean anomaly) or nu (true anomaly).
The reference plane is the x-y plane, the node and periapsis angles are
measured from the x axis and the ascending node, counter-clockwise about +z
and about the orbit's angular momentum. A parabola (e == 1) is refused: it
has no semi-major axis and no mean anomaly of this kind.

Where an angle is undefined it takes a fixed value, and a state built from
the elements is still the state they came from:
  - equatorial (i == 0 or pi): Omega = 0, so omega is measured from the x axis;
  - circular (e == 0): omega = 0, so the anomaly is measured from the
    ascending node (from the x axis when the orbit is also equatorial).
State to elements treats sin i and e below 1e-13 as zero for this.

The frame of a body's elements is always named, with the masses in mu:
  - "heliocentric": relative to a primary body, mu = G (m_primary + m_body);
  - "jacobi": relative to the centre of mass of all bodies before it in array
    order, mu = G (their masses + m_body);
  - "barycentric": relative to the centre of mass of all bodies,
    mu = G (the masses of all bodies). Building a system, the origin stands
    for that centre of mass; nothing is moved to make it so.
Masses are summed in body order from 0.0, and centres of mass are the sums
of m x in body order divided by the mass, as move_to_center_of_mass forms
them.

Elements to state is written in scalar binary64 operations and the
platform's libm (sin, cos, sinh, cosh, sqrt, log, pow, asinh, atan2, remainder),
in the order the C++ program uses, so that both read a body file's element
lines to the same bits; see elements_to_state.
"""

import collections
import math

import numpy as np

from ._checks import as_bodies
from ._library import BODY, G
from . import _units

TWO_PI = 2.0 * math.pi
FRAMES = ("heliocentric", "barycentric", "jacobi")
# Below these, sin i and e count as zero when a state's elements are found.
EQUATORIAL = 1e-13
CIRCULAR = 1e-13
# From these starters Newton's method on Kepler's equation settles (on a
# fixed point, or in a cycle a few ulps wide) within 40 steps over the whole
# tested grid. The count is even, so that a two-cycle ends on the value the
# program's 30 fixed steps for the built-in solar system end on.
KEPLER_STEPS = 50
EPSILON = 2.0**-52
TINY = 2.0**-1072  # four ulps of a subnormal

Elements = collections.namedtuple("Elements", "a e i Omega omega M nu")
ELEMENTS = np.dtype([(field, np.float64) for field in Elements._fields])


def radians(degrees):
    """degrees * pi / 180, the program's conversion, rounded twice."""
    return degrees * math.pi / 180.0


def degrees(radians_):
    return radians_ * 180.0 / math.pi


def _converged(x, residual, scale):
    # A fixed point ends the iteration early. Otherwise the steps end in a
    # cycle a few ulps wide, as wide as the rounding of the residual divided
    # by the slope; the root is found when the residual is down to the
    # rounding of its terms, and anything more means the steps ran out.
    if not abs(residual) <= 4.0 * EPSILON * scale + TINY:
        raise ArithmeticError("Kepler's equation did not converge in %d steps (residual %r)"
                              % (KEPLER_STEPS, residual))
    return x


def eccentric_anomaly(M, e):
    """E with E - e sin E = M, for 0 <= e < 1 and M in [-pi, pi]: Newton's
    method from E = M (e < 0.8) or from +-pi, from which it converges for
    every e < 1. Steps stop at a fixed point or after KEPLER_STEPS; an
    even count keeps the end of a two-cycle where 30 steps would leave it.
    Raises ArithmeticError if the residual is then above rounding."""
    E = M if e < 0.8 or M == 0.0 else math.copysign(math.pi, M)
    for _ in range(KEPLER_STEPS):
        step = (E - e * math.sin(E) - M) / (1.0 - e * math.cos(E))
        if E - step == E:
            return E
        E = E - step
    sine = e * math.sin(E)
    return _converged(E, E - sine - M, abs(E) + abs(sine) + abs(M))


def hyperbolic_anomaly(M, e):
    """H with e sinh H - H = M, for e > 1: Newton's method from the smallest
    of |M| / (e - 1), (6 |M| / e)^(1/3) (both at or past the root, where
    the function is convex and Newton's method falls monotonically) and
    log(2 |M| / e + 1.8) (near the root when |M| is large), solved for |M|
    and given the sign of M. Stops as eccentric_anomaly does."""
    m = abs(M)
    H = min(m / (e - 1.0), math.pow(6.0 * m / e, 1.0 / 3.0), math.log(2.0 * m / e + 1.8))
    for _ in range(KEPLER_STEPS):
        step = (e * math.sinh(H) - H - m) / (e * math.cosh(H) - 1.0)
        if H - step == H:
            return math.copysign(H, M)
        H = H - step
    sine = e * math.sinh(H)
    return math.copysign(_converged(H, sine - H - m, sine + H + m), M)


def _check_orbit(mu, a, e, angles):
    if not (math.isfinite(mu) and mu > 0.0):
        raise ValueError("mu must be positive and finite, got %r" % (mu,))
    if not (math.isfinite(e) and e >= 0.0) or e == 1.0:
        raise ValueError("e must be finite, >= 0 and not 1 (a parabola), got %r" % (e,))
    if not (math.isfinite(a) and (a > 0.0 if e < 1.0 else a < 0.0)):
        raise ValueError("a must be > 0 for e < 1 and < 0 for e > 1, got a = %r, e = %r" % (a, e))
    if not all(math.isfinite(x) for x in angles):
        raise ValueError("angles must be finite, got %r" % (angles,))


def _ellipse(mu, a, e, E):
    """Position and velocity in the orbital plane, x towards periapsis."""
    cE, sE = math.cos(E), math.sin(E)
    root = math.sqrt(1.0 - e * e)
    rate = math.sqrt(mu / (a * a * a)) / (1.0 - e * cE)
    return a * (cE - e), a * root * sE, -a * sE * rate, a * root * cE * rate


def _hyperbola(mu, a, e, H):
    cH, sH = math.cosh(H), math.sinh(H)
    root = math.sqrt(e * e - 1.0)
    rate = math.sqrt(mu / -(a * a * a)) / (e * cH - 1.0)
    return a * (cH - e), -a * root * sH, a * sH * rate, -a * root * cH * rate


def _anomaly_from_true(e, nu):
    """E (ellipse) or H (hyperbola) of the true anomaly nu."""
    s, c = math.sin(nu), math.cos(nu)
    if e < 1.0:
        return math.atan2(math.sqrt(1.0 - e * e) * s, e + c)
    if not 1.0 + e * c > 0.0:
        raise ValueError("true anomaly %r is beyond the asymptote of e = %r" % (nu, e))
    return math.asinh(math.sqrt(e * e - 1.0) * s / (1.0 + e * c))


def _rotate(i, Omega, omega, p):
    """The plane's (px, py, vx, vy) turned by omega, i and Omega into space."""
    px, py, vx, vy = p
    cw, sw, cO, sO = math.cos(omega), math.sin(omega), math.cos(Omega), math.sin(Omega)
    cI, sI = math.cos(i), math.sin(i)
    xx, xy = cw * cO - sw * sO * cI, -sw * cO - cw * sO * cI
    yx, yy = cw * sO + sw * cO * cI, -sw * sO + cw * cO * cI
    zx, zy = sw * sI, cw * sI
    return (xx * px + xy * py, yx * px + yy * py, zx * px + zy * py,
            xx * vx + xy * vy, yx * vx + yy * vy, zx * vx + zy * vy)


def elements_to_state(mu, a, e, i, Omega, omega, anomaly, true_anomaly=False):
    """(x, y, z, vx, vy vz) relative to the focus of the orbit with gravitational
    parameter mu and the given elements, angles in radians, `anomaly` the
    mean anomaly M (or the true anomaly nu with true_anomaly=True). Units
    are any consistent set (mu in length^3 / time^2). Raises ValueError for
    a parabola or elements that describe no orbit, and ArithmeticError when
    Kepler's equation has no finite answer (|M| past about 1e300 on a
    hyperbola).

    Every operation is one binary64 operation or libm call, in this order
    (C's precedence, left to right):
      M = remainder(M, 2 pi) for an ellipse; E or H from Kepler's equation;
      ellipse:   root = sqrt(1 - e*e); rate = sqrt(mu / (a*a*a)) / (1 - e*cos E)
                 px = a*(cos E - e); py = a*root*sin E
                 vx = -a*sin E*rate; vy = a*root*cos E*rate
      hyperbola: root = sqrt(e*e - 1); rate = sqrt(mu / -(a*a*a)) / (e*cosh H - 1)
                 px = a*(cosh H - e); py = -a*root*sinh H
                 vx = a*sinh H*rate; vy = -a*root*cosh H*rate
      then the rotation of _rotate, each row a dot product (xx*px + xy*py)."""
    _check_orbit(mu, a, e, (i, Omega, omega, anomaly))
    if true_anomaly:
        anomaly = _anomaly_from_true(e, anomaly)
    elif e < 1.0:
        anomaly = eccentric_anomaly(math.remainder(anomaly, TWO_PI), e)
    else:
        anomaly = hyperbolic_anomaly(anomaly, e)
    plane = _ellipse(mu, a, e, anomaly) if e < 1.0 else _hyperbola(mu, a, e, anomaly)
    return _rotate(i, Omega, omega, plane)


def _cross(p, q):
    return (p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0])


def _dot(p, q):
    return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]


def _angle(p, q, h):
    """The angle from p to q in the plane normal to h, counted about h."""
    return math.atan2(_dot(_cross(p, q), h) / math.sqrt(_dot(h, h)), _dot(p, q))


def _turn(angle):
    """An angle in [0, 2 pi)."""
    angle = angle + TWO_PI if angle < 0.0 else angle
    return 0.0 if angle >= TWO_PI else angle


def _mean_anomaly(e, nu):
    x = _anomaly_from_true(e, nu)
    if e < 1.0:
        return _turn(x - e * math.sin(x))
    return e * math.sinh(x) - x


def state_to_elements(mu, position, velocity):
    """The Elements (radians; a < 0 for a hyperbola) of the orbit with
    gravitational parameter mu through `position` and `velocity` relative to
    its focus, in any consistent units. Omega, omega, and M and nu of an
    ellipse are in [0, 2 pi); a hyperbola's nu is in (-pi, pi) and its M
    has the sign of nu. Raises ValueError for a radial or parabolic orbit."""
    r, v = tuple(map(float, position)), tuple(map(float, velocity))
    h = _cross(r, v)
    h_xy, h_norm = math.hypot(h[0], h[1]), math.sqrt(_dot(h, h))
    if not h_norm > 0.0:
        raise ValueError("a radial orbit (position parallel to velocity) has no elements")
    rn, v2, rv = math.sqrt(_dot(r, r)), _dot(v, v), _dot(r, v)
    ev = tuple(((v2 - mu / rn) * r[k] - rv * v[k]) / mu for k in range(3))
    e = math.sqrt(_dot(ev, ev))
    inverse_a = 2.0 / rn - v2 / mu
    a = 1.0 / inverse_a if inverse_a != 0.0 else math.inf
    if e == 1.0 or not math.isfinite(a) or (a > 0.0) != (e < 1.0):
        raise ValueError("the orbit is parabolic to working precision (e = %r)" % e)
    if h_xy > EQUATORIAL * h_norm:
        node, Omega = (-h[1], h[0], 0.0), _turn(math.atan2(h[0], -h[1]))
    else:
        node, Omega = (1.0, 0.0, 0.0), 0.0
    circular = e <= CIRCULAR
    omega = 0.0 if circular else _turn(_angle(node, ev, h))
    nu = _angle(node if circular else ev, r, h)
    nu = _turn(nu) if e < 1.0 else nu
    return Elements(a, e, math.atan2(h_xy, h[2]), Omega, omega, _mean_anomaly(e, nu), nu)


# Frames: where a body's elements are measured from, and with which masses.


def _mass_sum(masses):
    total = 0.0
    for m in masses:
        total += m
    return total


class _Interior:
    """Running sums of mass and of m x over bodies 0 .. k - 1, in body order:
    the same sums as summing the prefix afresh, without its n^2 cost."""

    def __init__(self):
        self.mass, self.moments = 0.0, [0.0] * 6

    def add(self, row):
        self.mass += row[6]
        for k in range(6):
            self.moments[k] += row[6] * row[k]

    def centre(self):
        return [moment / self.mass for moment in self.moments]


def _barycentre(rows):
    interior = _Interior()
    for row in rows:
        interior.add(row)
    if not interior.mass > 0.0:
        raise ValueError("the barycentre needs a positive total mass, got %r" % interior.mass)
    return interior.centre()


def frame_origin(frame, mass, interior, primary, total_mass, barycentre):
    """(origin, mu) of the elements of a body of mass `mass`: the six values
    of the state they are measured from, and G times the frame's masses.
    `interior` holds the sums over the bodies before it, `primary` its
    primary's state (heliocentric only), `barycentre` the state taken as the
    centre of mass of all bodies."""
    if frame == "heliocentric":
        return list(primary[:6]), G * (primary[6] + mass)
    if frame == "jacobi":
        if not interior.mass > 0.0:
            raise ValueError("Jacobi elements need a positive mass before the body")
        return interior.centre(), G * (interior.mass + mass)
    if frame == "barycentric":
        return list(barycentre), G * total_mass
    raise ValueError("unknown frame %r: the frames are %s" % (frame, ", ".join(FRAMES)))


# Building a system: states and elements, placed in order.

Orbit = collections.namedtuple(
    "Orbit", "frame primary mass a e i Omega omega anomaly true_anomaly where"
)
Orbit.__doc__ = """A body given by its elements, in the library's units and
radians; `primary` a 0-based index (heliocentric only), `where` the prefix of
an error message."""


def _place(orbit, rows, interior, total_mass):
    """The state (seven values) of `orbit` given the rows before it: its
    frame's origin plus its two-body state, component by component."""
    try:
        primary = None
        if orbit.frame == "heliocentric":
            if not 0 <= orbit.primary < len(rows):
                raise ValueError("the primary must be a body before this one")
            primary = rows[orbit.primary]
        origin, mu = frame_origin(orbit.frame, orbit.mass, interior, primary, total_mass, [0.0] * 6)
        state = elements_to_state(mu, orbit.a, orbit.e, orbit.i, orbit.Omega, orbit.omega,
                                  orbit.anomaly, orbit.true_anomaly)
    except (ValueError, ArithmeticError) as error:
        raise ValueError(orbit.where + str(error)) from None
    row = [o + s for o, s in zip(origin, state)] + [orbit.mass]
    if not all(math.isfinite(x) for x in row):
        raise ValueError(orbit.where + "the state from these elements is not finite")
    return row


def resolve(records):
    """The states (lists of seven values) of `records`, each either a state
    or an Orbit, in order: an Orbit is placed from the states before it, and
    its mu may need the mass of every record."""
    total_mass = _mass_sum(r.mass if isinstance(r, Orbit) else r[6] for r in records)
    rows, interior = [], _Interior()
    for record in records:
        row = _place(record, rows, interior, total_mass) if isinstance(record, Orbit) else record
        rows.append(list(row))
        interior.add(row)
    return rows


# Body file lines: "elements FRAME a e i Omega omega M mass [name]".

LINE_FIELDS = "a e i Omega omega M mass"


def is_elements_line(text):
    """Whether a body file line (comment and outer blanks removed) gives a
    body by its elements."""
    return text == "elements" or text.startswith(("elements ", "elements\t"))


def _primary_index(where, token, names):
    """The 0-based index of the primary written as `token`: a body number
    counted from 1, or the name of exactly one body before this one."""
    if token.isdigit() and token.isascii():
        number = int(token)
        if not 1 <= number <= len(names):
            raise ValueError(where + "primary %s is not a body before this one" % token)
        return number - 1
    found = [k for k, name in enumerate(names) if name == token]
    if len(found) != 1:
        raise ValueError(where + "primary %r must name exactly one body before this one, "
                         "found %d" % (token, len(found)))
    return found[0]


def _frame(where, token, names):
    frame, colon, primary = token.partition(":")
    if frame not in FRAMES or bool(colon) != (frame == "heliocentric") or (colon and not primary):
        raise ValueError(where + "expected a frame, heliocentric:PRIMARY, barycentric or jacobi, "
                         "found %r" % token)
    return frame, _primary_index(where, primary, names) if colon else None


def _split(text):
    """The first field of `text` and the rest, split at a space or tab."""
    end = min((i for i in (text.find(" "), text.find("\t")) if i >= 0), default=len(text))
    return text[:end], text[end:].strip(" \t\r")


def parse_elements_line(where, text, units, names):
    """The Orbit and name ("" if none) of an elements line, its numbers read
    as the body line's numbers are, then a and mass times the units'
    factors, and the angles (degrees) in radians. `names` holds the names of
    the bodies before it, for its primary."""
    from ._files import _body_number  # the reader's own rules for a number

    _, rest = _split(text)
    token, rest = _split(rest)
    frame, primary = _frame(where, token, names)
    values = []
    for k, field_name in enumerate(LINE_FIELDS.split()):
        field, rest = _split(rest)
        if not field:
            raise ValueError(where + "expected %s after the frame, found %d numbers"
                             % (LINE_FIELDS, k))
        value = _body_number(field)
        if value is None:
            raise ValueError(where + "not a finite number for %s: %r" % (field_name, field))
        values.append(value)
    a, e, i, Omega, omega, M, mass = values
    if mass < 0:
        raise ValueError(where + "negative mass")
    orbit = Orbit(frame, primary, mass * units.mass, a * units.length, e, radians(i),
                  radians(Omega), radians(omega), radians(M), False, where)
    if not math.isfinite(orbit.mass) or (orbit.mass == 0.0 and mass != 0.0):
        raise ValueError(where + "the mass %r is out of range in the library's units" % mass)
    return orbit, rest


# The Python front: a builder, and the elements of a body array.


class System:
    """Builds a body array body by body, each from its state or from its
    elements in a named frame, in one unit preset (see stellix.UNITS) and
    with angles in radians, or in degrees with degrees=True. A body file's
    lines with the same numbers give the same bits (degrees=True)."""

    def __init__(self, units="si", degrees=False):
        self.units = _units.preset(units)
        self.degrees = bool(degrees)
        self._records, self.names = [], []

    def _name(self, name):
        return "body %d" % (len(self.names) + 1) if name is None else str(name)

    def add(self, mass, position=(0.0, 0.0, 0.0), velocity=(0.0, 0.0, 0.0), name=None):
        """Adds a body by its state; returns its index."""
        values = [float(x) for x in position] + [float(x) for x in velocity] + [float(mass)]
        if len(values) != 7:
            raise ValueError("position and velocity need three values each")
        if not mass >= 0.0:
            raise ValueError("the mass must not be negative, got %r" % (mass,))
        self._records.append(_units.to_library(values, self.units))
        self.names.append(self._name(name))
        return len(self.names) - 1

    def _primary(self, frame, primary):
        if frame != "heliocentric":
            if primary is not None:
                raise ValueError("only heliocentric elements have a primary")
            return None
        if isinstance(primary, str):
            return _primary_index("", primary, self.names)
        if not isinstance(primary, int) or not 0 <= primary < len(self.names):
            raise ValueError("heliocentric elements need the index or name of an earlier body "
                             "as primary, got %r" % (primary,))
        return primary

    def add_elements(self, mass, a, e, i, Omega, omega, M=None, nu=None, *, frame,
                     primary=None, name=None):
        """Adds a body by its elements, with its mean anomaly M or its true
        anomaly nu, in `frame` ("heliocentric" with `primary`, an earlier
        body's index or name; "barycentric"; "jacobi"); returns its index.
        `a` is in the preset's length, `mass` in its mass."""
        if (M is None) == (nu is None):
            raise TypeError("give exactly one of M (mean anomaly) and nu (true anomaly)")
        if frame not in FRAMES:
            raise ValueError("unknown frame %r: the frames are %s" % (frame, ", ".join(FRAMES)))
        if not mass >= 0.0:
            raise ValueError("the mass must not be negative, got %r" % (mass,))
        angle = radians if self.degrees else float
        orbit = Orbit(frame, self._primary(frame, primary), float(mass) * self.units.mass,
                      float(a) * self.units.length, float(e), angle(i), angle(Omega),
                      angle(omega), angle(M if nu is None else nu), nu is not None,
                      "body %d: " % (len(self.names) + 1))
        self._records.append(orbit)
        self.names.append(self._name(name))
        return len(self.names) - 1

    def build(self):
        """(bodies, names): a new BODY array in the library's units, and the
        names, bodies without one named "body k" (counted from 1)."""
        if not self._records:
            raise ValueError("the system has no bodies")
        rows = resolve(self._records)
        return np.array(rows, dtype=np.float64).view(BODY).reshape(-1), list(self.names)


def _check_primary(frame, primary, n):
    if frame == "heliocentric" and not (
        isinstance(primary, (int, np.integer)) and 0 <= primary < n
    ):
        raise ValueError("primary must be a body index from 0 to %d, got %r" % (n - 1, primary))


def _output(elements, units, in_degrees):
    turn = degrees if in_degrees else float
    a, e, i, Omega, omega, M, nu = elements
    return (a / units.length, e, turn(i), turn(Omega), turn(omega), turn(M), turn(nu))


def to_elements(bodies, frame, primary=0, units="si", degrees=False):
    """The elements of every body in `frame` ("heliocentric" about body
    `primary`, "barycentric" or "jacobi"; mu as the module says), as a
    structured array of dtype ELEMENTS (a e i Omega omega M nu), a in the
    preset's length and angles in radians (degrees with degrees=True). Rows
    where the frame gives none (the primary; the first body in Jacobi's)
    are NaN. Raises ValueError for a radial or parabolic orbit."""
    if frame not in FRAMES:
        raise ValueError("unknown frame %r: the frames are %s" % (frame, ", ".join(FRAMES)))
    units = _units.preset(units)
    view = as_bodies(bodies)
    rows = view.view(np.float64).reshape(len(view), 7).tolist()
    _check_primary(frame, primary, len(rows))
    total = _mass_sum(row[6] for row in rows)
    barycentre = _barycentre(rows) if frame == "barycentric" else None
    out = np.full(len(rows), np.nan, dtype=ELEMENTS)
    interior = _Interior()
    for k, row in enumerate(rows):
        if not ((frame == "heliocentric" and k == primary) or (frame == "jacobi" and k == 0)):
            origin, mu = frame_origin(frame, row[6], interior,
                                      rows[primary] if frame == "heliocentric" else None,
                                      total, barycentre)
            relative = [row[j] - origin[j] for j in range(6)]
            try:
                elements = state_to_elements(mu, relative[:3], relative[3:])
            except ValueError as error:
                raise ValueError("body %d: %s" % (k, error)) from None
            out[k] = _output(elements, units, degrees)
        interior.add(row)
    return out
