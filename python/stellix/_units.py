"""Named unit presets for what goes into and comes out of the library.

The library's own units are metres, seconds and 10^24 kg, in which its
constant G = c^3 = 66699999999906.078125 (6.67e-11 m^3 kg^-1 s^-2) is the
gravitational constant. A preset names one factor per quantity: a value in
the preset's unit times its factor is the value in the library's unit. A
value goes in with one multiplication by its factor and comes out with one
division by the same factor, each a single correctly rounded binary64
operation, so every platform converts to the same bits.

  preset        length (m)      time (s)  velocity (m/s)        mass (10^24 kg)
  si            1               1         1                     1
  au-day-msun   149597870700    86400     1731456.8368055555    1989691.7541257404
  km-s-kg       1000            1         1000                  1e-24

Every factor is the binary64 value of its decimal here. The metre, second,
astronomical unit, day and kilometre factors are exact. The velocity factor of
au-day-msun is AU / day rounded once to binary64. The solar mass is the IAU
2015 nominal GM_sun, 1.3271244e20 m^3 s^-2 (exact in binary64), divided once
by the library's G: with it, G times one solar mass is GM_sun, so orbits
about the Sun have the right periods. Dynamics depend on G M alone, and the
library's G is not CODATA's 6.6743e-11, so this solar mass differs from the
nominal 1.98841e30 kg by the same 0.06 %. A kilogram is 1e-24 rounded to
binary64, not exact.
"""

import collections
import math

from ._library import G

AU = 149597870700.0
DAY = 86400.0
GM_SUN = 1.3271244e20

Units = collections.namedtuple("Units", "name length time velocity mass")
Units.__doc__ = """A unit preset: the library's value of one unit of length,
time, velocity and mass (metres, seconds, m/s and 10^24 kg)."""

PRESETS = {
    "si": Units("si", 1.0, 1.0, 1.0, 1.0),
    "au-day-msun": Units("au-day-msun", AU, DAY, AU / DAY, GM_SUN / G),
    "km-s-kg": Units("km-s-kg", 1000.0, 1.0, 1000.0, 1e-24),
}
SI = PRESETS["si"]

_STATE_FIELDS = ("length",) * 3 + ("velocity",) * 3 + ("mass",)


def preset(units):
    """The Units of a preset name (or a Units, given back as it is)."""
    if isinstance(units, Units):
        return units
    try:
        return PRESETS[units]
    except (KeyError, TypeError):
        raise ValueError(
            "unknown units %r: the presets are %s" % (units, ", ".join(PRESETS))
        ) from None


def state_factors(units):
    """The seven factors of x y z vx vy vz mass."""
    units = preset(units)
    return tuple(getattr(units, field) for field in _STATE_FIELDS)


def to_library(values, units, where=""):
    """The seven state values x y z vx vy vz mass given in `units`, in the
    library's units: one multiplication each. Raises ValueError (its message
    after `where`) when one overflows or rounds a nonzero value to zero."""
    out = [float(v) * f for v, f in zip(values, state_factors(units))]
    for before, after in zip(values, out):
        if not math.isfinite(after) or (after == 0.0 and before != 0.0):
            raise ValueError(where + "%r is out of range in the library's units" % (before,))
    return out


def from_library(rows, units):
    """A float64 (n, 7) array of states in the library's units, in `units`:
    one division each, into a new array."""
    return rows / state_factors(units)


def gravitational_constant(units):
    """G in the preset's units, length^3 / (mass time^2): derived from the
    factors with a few roundings, for display and checks, not exact."""
    units = preset(units)
    return G * units.mass * (units.time * units.time) / (units.length**3)


def is_units_line(text):
    """Whether a body file line (comment and outer blanks removed) is a units
    line."""
    return text == "units" or text.startswith(("units ", "units\t"))


def parse_units_line(where, text, bodies_before, units_before):
    """The Units a body file's units line names: ``units NAME``. It must come
    before the first body and only once, so that every number in the file has
    one unit whatever order a reader takes the lines in."""
    fields = text.split()
    if len(fields) != 2:
        raise ValueError(where + "expected 'units NAME' (%s)" % ", ".join(PRESETS))
    if bodies_before or units_before is not None:
        raise ValueError(where + "one units line, before the first body")
    try:
        return preset(fields[1])
    except ValueError as error:
        raise ValueError(where + str(error)) from None
