"""The interactive viewer: a run as one self-contained HTML page.

The page is the template viewer.html beside this module with the run's data
put in, as JSON, in place of its one placeholder; the command-line program
fills the same template. It needs no network and no server.

The page is for looking, not for the record: positions go in as float32 in
the display's length unit, and a long run of many bodies shows every k-th
snapshot, so that 2000 bodies over 1000 snapshots stay near 10 MB. The
trajectory and run files keep the exact values.
"""

import base64
import json
import os

import numpy as np

from ._replace import replace_file

PLACEHOLDER = "__STELLIX_VIEWER_DATA__"
FORMAT_VERSION = 1
# The astronomical unit in metres, exact since the IAU's 2012 resolution B2.
AU = 149597870700.0
# 8 MB of float32, under 11 MB as base64: a browser reads it in well under
# a second.
MAX_VALUES = 2_000_000

# units -> (factor to the display unit, its name, the page's note, time unit)
_UNITS = {
    "m": (1.0 / AU, "AU", "lengths in AU (the run is in metres; 1 AU = 149597870700 m)", "s"),
    "km": (1.0, "km", "lengths in km", "s"),
    "au": (1.0, "AU", "lengths in AU", "d"),
}
_UNIT_ALIASES = {"m": "m", "si": "m", "km": "km", "au": "au"}


def _template():
    with open(os.path.join(os.path.dirname(__file__), "viewer.html"), encoding="utf-8") as f:
        return f.read()


def _units(units):
    key = _UNIT_ALIASES.get(str(units).lower())
    if key is None:
        raise ValueError("units must be 'm' (SI), 'km' or 'au', got %r" % (units,))
    return _UNITS[key]


def shown_snapshots(count, n, max_values=MAX_VALUES):
    """Indices of the snapshots the page shows out of `count` of `n` bodies:
    every k-th, k as small as keeps count/k * n * 3 values within
    `max_values`, and always the last one."""
    per_frame = 3 * max(n, 1)
    stride = max(1, -(-count * per_frame // max_values))
    shown = list(range(0, count, stride))
    if shown[-1] != count - 1:
        shown.append(count - 1)
    return shown


def _vector(values, what, length, dtype=np.float64):
    array = np.asarray(values, dtype=dtype)
    if array.shape != (length,):
        raise ValueError("%s must hold %d values, one per %s, not shape %s" % (
            what, length, "snapshot" if what != "masses" else "body", array.shape))
    return array


def _checked(positions, names, masses, steps, times, energy_error):
    positions = np.asarray(positions, dtype=np.float64)
    if positions.ndim != 3 or positions.shape[2] != 3 or 0 in positions.shape[:2]:
        raise ValueError("positions must have shape (snapshots, n, 3) with at least one "
                         "snapshot and one body, not %s" % (positions.shape,))
    count, n, _ = positions.shape
    names = [str(name) for name in names]
    if len(names) != n:
        raise ValueError("%d names for %d bodies" % (len(names), n))
    masses = _vector(masses, "masses", n)
    steps = _vector(steps, "steps", count, np.int64)
    times = _vector(times, "times", count)
    if energy_error is not None:
        energy_error = _vector(energy_error, "energy_error", count)
    return positions, names, masses, steps, times, energy_error


def _numbers(values):
    """A list for JSON, which has no NaN or infinity: those become null."""
    return [float(v) if np.isfinite(v) else None for v in values]


def data(positions, names, masses, steps, times, energy_error=None, units="m", title=None):
    """The page's data as a dict, ready for JSON (see docs/viewer.md)."""
    positions, names, masses, steps, times, energy_error = _checked(
        positions, names, masses, steps, times, energy_error)
    factor, unit, note, time_unit = _units(units)
    shown = shown_snapshots(len(positions), len(names))
    with np.errstate(over="ignore", invalid="ignore"):
        shown_positions = (positions[shown] * factor).astype("<f4")
    return {
        "format": "stellix-viewer",
        "version": FORMAT_VERSION,
        "title": title or "stellix: %d bodies, %d snapshots" % (len(names), len(positions)),
        "names": names,
        "masses": _numbers(masses),
        "snapshots": len(positions),
        "steps": [int(steps[k]) for k in shown],
        "times": _numbers(times[shown]),
        "time_unit": time_unit,
        "length_unit": unit,
        "length_note": note,
        "positions": base64.b64encode(shown_positions.tobytes()).decode("ascii"),
        "energy_steps": [int(s) for s in steps],
        "energy_error": None if energy_error is None else _numbers(energy_error),
    }


def page(positions, names, masses, steps, times, energy_error=None, units="m", title=None):
    """The viewer page as a string: the template with the run's data inline.
    Arguments as for to_html."""
    text = json.dumps(data(positions, names, masses, steps, times, energy_error, units, title),
                      separators=(",", ":"), allow_nan=False)
    # Inside a script element "</script>" or "<!--" in a name would end or
    # derail it; JSON reads "\u003c" as the same "<".
    text = text.replace("<", "\\u003c")
    template = _template()
    head, tail = template.split(PLACEHOLDER)
    return head + text + tail


def iframe(positions, names, masses, steps, times, energy_error=None, units="m", title=None,
           height=600):
    """The page inside an iframe's srcdoc, as a notebook's _repr_html_ wants
    it: the page keeps its own script and styles apart from the notebook's."""
    text = page(positions, names, masses, steps, times, energy_error, units, title)
    escaped = text.replace("&", "&amp;").replace('"', "&quot;")
    return ('<iframe srcdoc="%s" style="width: 100%%; height: %dpx; border: 0" '
            'sandbox="allow-scripts"></iframe>' % (escaped, int(height)))


def to_html(path, positions, names, masses, steps, times, energy_error=None, units="m",
            title=None):
    """Writes the run as an interactive viewer page to `path` (replacing it):
    one HTML file with its script and data inline, that a browser opens
    without network or server. Play and pause, a snapshot slider, the step
    and time, turning and zooming in 3D with axes and a scale, trails,
    names, the energy error over the run, and a close-up that follows a
    chosen body.

    positions: (snapshots, n, 3) in the run's length unit; names and masses:
    one per body (masses only size the dots and pick the bodies labelled);
    steps and times: one per snapshot; energy_error: None, or the relative
    error (E - E0) / |E0| per snapshot, NaN where not known. units: 'm'
    (SI, shown in AU), 'km' (shown in km, times in s) or 'au' (AU and days).

    Large runs are thinned for display only: positions are shown as float32
    and, beyond MAX_VALUES values, every k-th snapshot (and the last).
    Raises ValueError for arrays of the wrong shape and OSError if the file
    cannot be written; no partial file is left at `path` or beside it."""
    text = page(positions, names, masses, steps, times, energy_error, units, title)
    replace_file(path, text.encode("utf-8"))
