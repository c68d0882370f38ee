# The demo host as a command-line tool: its options, its body files, and the
# equivalence of its chunked run with one simulate call.
import os
import resource
import subprocess
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import stellix

DEMO = os.environ.get("STELLIX_DEMO")
EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")
pytestmark = pytest.mark.skipif(not DEMO, reason="STELLIX_DEMO names the demo binary")


def demo(*args, cwd, stdout=subprocess.PIPE, **options):
    return subprocess.run([DEMO, *map(str, args)], cwd=cwd, stdout=stdout, stderr=subprocess.PIPE,
                          text=True, errors="surrogateescape", timeout=60, **options)


def failed(result, status, *complaints):
    """Checks that a run failed with `status`, its message naming each complaint."""
    assert result.returncode == status, result.stderr
    for complaint in complaints:
        assert complaint in result.stderr, result.stderr
    assert "computed" not in (result.stdout or "")
    return result


def test_help_describes_the_options(tmp_path):
    result = demo("--help", cwd=tmp_path)
    assert result.returncode == 0
    for option in ("--dt", "--steps", "--interval", "--record", "--print", "--svg"):
        assert option in result.stdout
    assert not (tmp_path / "orbits.svg").exists()


@pytest.mark.parametrize("args, complaint", [
    (["--steps", "0"], "--steps"), (["--steps", "12x"], "--steps"),
    (["--steps", "2147483648"], "--steps"), (["--interval", "0"], "--interval"),
    (["--interval", "-3"], "--interval"), (["--dt", "nan"], "--dt"), (["--dt", "0"], "--dt"),
    (["--dt", "1e999"], "--dt"), (["--dt"], "--dt needs a value"), (["--frobnicate"], "unknown"),
    (["a.txt", "b.txt"], "more than one"),
])
def test_bad_options_are_refused(tmp_path, args, complaint):
    result = demo(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert complaint in result.stderr and "--help" in result.stderr
    assert not (tmp_path / "orbits.svg").exists()


@pytest.mark.parametrize("text, complaint", [
    ("1 2 3 4 5 6\n", ":1: expected 7 numbers"),
    ("# Sun\n\n0 0 0 0 0 0 1\n1 2 3 4 5 six 7\n", ":4: not a finite number: 'six'"),
    ("0 0 0 0 0 0 nan\n", ":1: not a finite number"),
    ("0 0 0 0 0 0 1,5\n", ":1: not a finite number"),
    ("0 0 0 0 0 0 -1\n", ":1: negative mass"),
    ("# nothing but a comment\n", ": no bodies"),
])
def test_malformed_body_files_are_refused(tmp_path, text, complaint):
    (tmp_path / "bodies.txt").write_text(text)
    result = demo("bodies.txt", cwd=tmp_path)
    assert result.returncode == 1
    assert "bodies.txt" + complaint in result.stderr
    assert not (tmp_path / "orbits.svg").exists()


def test_a_missing_body_file_is_named(tmp_path):
    result = demo("nowhere.txt", cwd=tmp_path)
    assert result.returncode == 1 and "nowhere.txt" in result.stderr


def read_bodies(path):
    rows = []
    for line in open(path):
        fields = line.split("#")[0].split()
        if fields:
            rows.append([float(f) for f in fields[:7]])
    return stellix.make_bodies(rows)


def polylines(path):
    return ET.parse(path).getroot().findall(".//{http://www.w3.org/2000/svg}polyline")


@pytest.mark.parametrize("steps, interval", [(50, 7), (29, 1), (3, 10)])
def test_chunked_run_writes_what_one_simulate_call_writes(tmp_path, steps, interval):
    bodies_file = os.path.join(EXAMPLES, "sun_earth_moon.txt")
    result = demo("--steps", steps, "--interval", interval, "--dt", 7200, "--record", "--print",
                  "--svg", "small.svg", bodies_file, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    recorded = (tmp_path / "output.csv").read_text()
    assert result.stdout == recorded

    reference = tmp_path / "reference"
    reference.mkdir()
    os.chdir(reference)
    try:
        stellix.simulate(read_bodies(bodies_file), 7200.0, steps, interval, record=True)
    finally:
        os.chdir(tmp_path)
    assert recorded == (reference / "output.csv").read_text()
    assert len(polylines(tmp_path / "small.svg")) == 3


def test_default_run_draws_the_sun_and_eight_planets(tmp_path):
    result = demo(cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "relative energy drift" in result.stdout
    drift = float(result.stdout.split("relative energy drift: ")[1].split()[0])
    assert abs(drift) < 1e-6
    lines = polylines(tmp_path / "orbits.svg")
    # Nine tracks in the whole view and nine more in the close-up.
    assert len(lines) == 18
    assert not (tmp_path / "output.csv").exists()
    points = [p.split(",") for p in lines[3].get("points").split()]  # the Earth
    assert len(points) > 300 and np.isfinite(np.array(points, dtype=float)).all()


def test_solar_system_file_is_the_built_in_system_to_the_bit(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    options = ("--steps", 40, "--interval", 13, "--record", "--svg", "x.svg")
    assert demo(*options, cwd=tmp_path / "a").returncode == 0
    assert demo(*options, os.path.join(EXAMPLES, "solar_system.txt"), cwd=tmp_path / "b").returncode == 0
    built_in = (tmp_path / "a" / "output.csv").read_text()
    assert built_in.count("\n") == 4 * 9
    assert built_in == (tmp_path / "b" / "output.csv").read_text()


# Body files: the system's reason when one cannot be read, and the body limit
# enforced before the rest is read.


def test_a_body_file_that_cannot_be_read_gives_the_system_reason(tmp_path):
    failed(demo("nowhere.txt", cwd=tmp_path), 1,
           "nowhere.txt: cannot open the body file: No such file or directory")
    (tmp_path / "folder").mkdir()
    failed(demo("folder", cwd=tmp_path), 1, "folder: read error: Is a directory")
    locked = tmp_path / "locked.txt"
    locked.write_text("0 0 0 0 0 0 1\n")
    locked.chmod(0)
    # Root reads anything: drop to nobody for this one.
    as_nobody = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}
    failed(demo("locked.txt", cwd=tmp_path, **as_nobody), 1,
           "locked.txt: cannot open the body file: Permission denied")
    assert not (tmp_path / "orbits.svg").exists()


def test_a_body_file_past_the_limit_is_refused_at_the_first_body_too_many(tmp_path):
    limit = 46340
    # The line after the first body too many would be refused too: the
    # message shows that reading stopped before it.
    (tmp_path / "crowd.txt").write_text("# crowd\n" + "0 0 0 0 0 0 1\n" * (limit + 1) +
                                        "not a body at all\n")
    failed(demo("crowd.txt", cwd=tmp_path), 1, f"crowd.txt:{limit + 2}: more than {limit} bodies")
