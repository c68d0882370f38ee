"""Members of an ensemble described compactly: from a function of the member's
index, over a grid of parameters, and as seeded perturbations.

Perturbations come from a counter-based generator, so that member k's starting
state depends only on (seed, k): not on how many members there are, which
worker builds them, in which order, nor on numpy's or the C library's version.
The generator is splitmix64 in 64-bit integer arithmetic; its numbers become
doubles by exact operations only, and the one multiply and one add of a
perturbation are correctly rounded binary64 operations (no libm call, no
numpy.random).
"""

import itertools
import re

import numpy as np

from ._checks import as_bodies

_MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)
_POSITION, _VELOCITY = ("x", "y", "z"), ("vx", "vy", "vz")
_BODY_FIELD = re.compile(r"(x|y|z|vx|vy|vz|mass)\[([0-9]+)\]\Z")
# Settings a grid axis may vary besides the bodies' fields.
_GRID_SETTINGS = ("dt", "steps", "interval")


def _mix(z):
    """splitmix64's output function on a uint64 array (wrapping arithmetic)."""
    z = (z ^ (z >> np.uint64(30))) * _M1
    z = (z ^ (z >> np.uint64(27))) * _M2
    return z ^ (z >> np.uint64(31))


def splitmix64(seed, first, count):
    """Outputs first, first+1, ..., first+count-1 (counted from 0) of the
    splitmix64 generator seeded with `seed`, as a uint64 array. Output j is
    mix(seed + (j+1) * 0x9E3779B97F4A7C15 mod 2^64), so any one of them is
    computed without the others."""
    start = (seed + (first + 1) * GOLDEN) & _MASK
    with np.errstate(over="ignore"):
        steps = np.arange(count, dtype=np.uint64) * np.uint64(GOLDEN)
        return _mix(steps + np.uint64(start))


def uniforms(seed, k, count):
    """`count` doubles uniform on [-1, 1) for member k of `seed`: the stream
    of member k is splitmix64 seeded with output k of splitmix64(seed). Each
    double is (top 53 bits) * 2^-52 - 1, which is exact."""
    _check_seed(seed)
    member_seed = int(splitmix64(seed, k, 1)[0])
    top = splitmix64(member_seed, 0, count) >> np.uint64(11)
    return top.astype(np.float64) * 2.0**-52 - 1.0


def _check_seed(seed):
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError("seed must be an integer, not %s" % type(seed).__name__)
    if not 0 <= seed <= _MASK:
        raise ValueError("seed must be from 0 to 2**64 - 1, got %d" % seed)


def _named(settings, k):
    """The settings of member k: a record file name may hold "{k}"."""
    record = settings.get("record")
    if isinstance(record, str):
        settings = dict(settings, record=record.format(k=k))
    return settings


def members(bodies, count, vary=None, **settings):
    """`count` members for stellix.ensemble. Member k (0 <= k < count) is a
    copy of `bodies` with the keyword arguments of stellix.simulate given in
    `settings`; a record file name may hold "{k}" ("runs/m{k}.csv").
    vary(k, bodies), if given, may change member k's copy of the bodies in
    place and return a mapping of settings of its own (or None)."""
    base = as_bodies(bodies)
    result = []
    for k in range(count):
        copy = base.copy()
        own = vary(k, copy) if vary is not None else None
        result.append(dict(_named(settings, k), bodies=copy, **(own or {})))
    return result


def _grid_setter(name):
    """A function that applies one axis value to a member: a body's field
    ("vy[3]") or one of _GRID_SETTINGS."""
    match = _BODY_FIELD.match(name)
    if match:
        field, body = match.group(1), int(match.group(2))

        def set_field(member, value):
            member["bodies"][body][field] = value

        return set_field
    if name in _GRID_SETTINGS:
        return lambda member, value: member.__setitem__(name, value)
    raise ValueError("a grid axis is a body field such as 'vy[3]' (x, y, z, vx, vy, vz or mass of "
                     "body 3) or one of %s, not %r" % (", ".join(_GRID_SETTINGS), name))


def grid(bodies, axes, **settings):
    """One member per point of the product of `axes`, a mapping from a name
    to the values it takes: a body's field ("x[1]", "vy[3]", "mass[0]") or
    dt, steps or interval. Points come in itertools.product order (the last
    axis varies fastest), so member k is point k of
    itertools.product(*axes.values()). `settings` as for members(); "{k}"
    in a record name is the member's index."""
    setters = [_grid_setter(name) for name in axes]
    base = as_bodies(bodies)
    n = len(base)
    for name in axes:
        match = _BODY_FIELD.match(name)
        if match and int(match.group(2)) >= n:
            raise ValueError("grid axis %r names body %s of %d" % (name, match.group(2), n))
    result = []
    for k, point in enumerate(itertools.product(*axes.values())):
        member = dict(_named(settings, k), bodies=base.copy())
        for setter, value in zip(setters, point):
            setter(member, value)
        result.append(member)
    return result


def perturb(bodies, seed, k, position=0.0, velocity=0.0):
    """A copy of `bodies` as member k of `seed` perturbs it: body i's x, y, z
    each moved by position * u and vx, vy, vz by velocity * u, u drawn from
    uniforms(seed, k, 6 n) in the order x, y, z, vx, vy, vz of body 0, then
    of body 1, ... Masses are not changed."""
    copy = as_bodies(bodies).copy()
    draws = uniforms(seed, k, 6 * len(copy)).reshape(-1, 6)
    for column, field in enumerate(_POSITION + _VELOCITY):
        amplitude = position if field in _POSITION else velocity
        copy[field] = copy[field] + float(amplitude) * draws[:, column]
    return copy


def perturbed(bodies, count, seed, position=0.0, velocity=0.0, start=0, **settings):
    """Members start, ..., start+count-1 of seeded perturbations of `bodies`
    (see perturb; `position` in metres, `velocity` in m/s), with `settings`
    as for members(). Member k is the same whatever `count` and `start`, so
    an ensemble can be extended later."""
    _check_seed(seed)
    return [dict(_named(settings, k), bodies=perturb(bodies, seed, k, position, velocity))
            for k in range(start, start + count)]
