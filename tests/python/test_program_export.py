# The program's side of setting up and exporting a run: body files in other
# units and by orbital elements, read to the bits Python reads; exact HDF5
# trajectories that Python reads back to the bit; and the viewer page.
import base64
import json
import os
import re
import subprocess

import numpy as np
import pytest

import stellix
from systems import same_bits

PROGRAM = os.environ.get("STELLIX_PROGRAM")
EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")
SUN_EARTH_MOON = os.path.abspath(os.path.join(EXAMPLES, "sun_earth_moon.txt"))
pytestmark = pytest.mark.skipif(not PROGRAM, reason="STELLIX_PROGRAM names the stellix program")

ELEMENTS_FILE = """\
units au-day-msun
0 0 0 0 0 0 1 Sun
elements heliocentric:Sun 1.00000261 0.01671123 -1.531e-05 0 102.93768193 -2.47311027 3.0034e-06 Earth
elements heliocentric:Earth 0.00257 0.0549 5.145 125.08 318.15 135.27 3.69e-08 Moon
elements jacobi 5.2 0.048 1.3 100.5 273.8 20 0.000954 Jupiter
elements barycentric 40 0.25 17 110 113 14 0 Pluto
elements heliocentric:1 -3 1.5 30 20 10 2 0 Comet
0.5 0.25 0 0 0.01 0.001 0 Probe
"""


def program(*args, cwd):
    return subprocess.run([PROGRAM, *map(str, args)], cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=120)


def test_elements_and_units_read_to_pythons_bits(tmp_path):
    # Every frame, a hyperbola and a state line, in AU, days and solar masses.
    (tmp_path / "system.txt").write_text(ELEMENTS_FILE)
    result = program("--steps", 1, "--dt", 1, "--units", "au-day-msun", "--save", "after.txt",
                     "--trajectory", "run.h5", "system.txt", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    bodies, names = stellix.read_bodies(tmp_path / "system.txt")
    assert names[-1] == "Probe" and names[2] == "Moon"
    start = stellix.read_trajectory(tmp_path / "run.h5").state(0)
    assert same_bits(start.view(np.float64), bodies.view(np.float64))
    # --dt in days, one multiplication; --save in the preset, one division.
    stellix.simulate(bodies, 1 * 86400.0, 1, 1, store=False)
    saved, _ = stellix.read_bodies(tmp_path / "after.txt")
    assert (tmp_path / "after.txt").read_text().splitlines()[1] == "units au-day-msun"
    ulps = np.abs(saved.view(np.float64).view(np.int64) - bodies.view(np.float64).view(np.int64))
    assert ulps.max() <= 1


@pytest.mark.parametrize("line, complaint", [
    ("elements heliocentric:Mars 1 0 0 0 0 0 1", "must name exactly one body before"),
    ("elements heliocentric:1 1 1 0 0 0 0 1", "parabola"),
    ("elements orbiting 1 0.1 0 0 0 0 1", "expected a frame"),
    ("units si", "one units line, before the first body"),
])
def test_elements_that_describe_no_body_are_refused_with_the_line(tmp_path, line, complaint):
    (tmp_path / "bad.txt").write_text("0 0 0 0 0 0 1 Sun\n" + line + "\n")
    result = program("--steps", 1, "bad.txt", cwd=tmp_path)
    assert result.returncode == 1 and "bad.txt:2: " in result.stderr
    assert complaint in result.stderr


def test_units_that_no_preset_names_are_refused(tmp_path):
    (tmp_path / "bad.txt").write_text("units parsecs\n0 0 0 0 0 0 1 Sun\n")
    result = program("--steps", 1, "bad.txt", cwd=tmp_path)
    assert result.returncode == 1 and "bad.txt:1: unknown units 'parsecs'" in result.stderr
    result = program("--units", "parsecs", "bad.txt", cwd=tmp_path)
    assert result.returncode == 2 and "--units needs one of si, au-day-msun, km-s-kg" in result.stderr


def test_the_programs_trajectory_is_the_runs_every_bit(tmp_path):
    result = program("--steps", 200, "--interval", 15, "--trajectory", "run.h5",
                     "--fingerprint", SUN_EARTH_MOON, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    got = stellix.read_trajectory(tmp_path / "run.h5")
    bodies, names = stellix.read_bodies(SUN_EARTH_MOON)
    want = stellix.record_trajectory(bodies, 3600.0, 200, 15, names)
    assert list(got.steps) == list(want.steps) and got.names == names
    for field in ("positions", "velocities", "masses", "times"):
        assert same_bits(getattr(got, field), getattr(want, field)), field
    assert got.fingerprint == want.fingerprint == stellix.fingerprint(bodies)
    assert "  fingerprint %s\n" % got.fingerprint in result.stdout
    assert (got.dt, got.interval, got.total_steps) == (3600.0, 15, 200)


def test_a_trajectory_on_a_full_disk_fails_and_keeps_the_older_file(tmp_path, small_disk):
    (small_disk / "run.h5").write_bytes(b"older")
    result = program("--steps", 400, "--interval", 1, "--trajectory", small_disk / "run.h5",
                     SUN_EARTH_MOON, cwd=tmp_path)
    assert result.returncode == 1 and "run.h5: No space left on device" in result.stderr
    assert (small_disk / "run.h5").read_bytes() == b"older"
    assert os.listdir(small_disk) == ["run.h5"]


def test_the_viewer_page_holds_the_run(tmp_path):
    result = program("--steps", 240, "--interval", 24, "--html", "run.html", SUN_EARTH_MOON,
                     cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    page = (tmp_path / "run.html").read_text()
    data = json.loads(re.search(r'<script id="stellix-data" type="application/json">(.*?)</script>',
                                page, re.S).group(1))
    assert data["names"] == ["Sun", "Earth", "Moon"] and data["snapshots"] == 10
    assert data["steps"] == [0] + [24 * k + 1 for k in range(1, 10)]
    assert data["energy_error"][0] == 0.0 and abs(data["energy_error"][-1]) < 1e-9
    positions = np.frombuffer(base64.b64decode(data["positions"]), dtype="<f4").reshape(10, 3, 3)
    bodies, _ = stellix.read_bodies(SUN_EARTH_MOON)
    stored = stellix.simulate(bodies, 3600.0, 240, 24)
    assert np.allclose(positions, stored / 149597870700.0, rtol=1e-6, atol=1e-9)


def test_names_that_are_not_utf8_or_would_end_the_script_stay_harmless(tmp_path):
    (tmp_path / "odd.txt").write_bytes(b"0 0 0 0 0 0 1 Caf\xe9 </script><!--\n"
                                       b"1e9 0 0 0 30000 0 1e-3 \xed\xa0\x80 \"quoted\" \\\n")
    result = program("--steps", 10, "--interval", 5, "--html", "run.html", "--trajectory",
                     "run.h5", "odd.txt", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    page = (tmp_path / "run.html").read_text(encoding="utf-8")
    script = re.search(r'<script id="stellix-data" type="application/json">(.*?)</script>',
                       page, re.S).group(1)
    names = ["Caf\ufffd </script><!--", "\ufffd\ufffd\ufffd \"quoted\" \\"]
    assert json.loads(script)["names"] == names
    assert stellix.read_trajectory(tmp_path / "run.h5").names == names
