# The stellix command-line program: its options, its body files, and the
# equivalence of its chunked run with one simulate call.
import os
import resource
import shutil
import subprocess
import time
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import stellix
from support import sanitized

PROGRAM = os.environ.get("STELLIX_PROGRAM")
EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")
pytestmark = pytest.mark.skipif(not PROGRAM, reason="STELLIX_PROGRAM names the stellix program")


def program(*args, cwd, stdout=subprocess.PIPE, **options):
    return subprocess.run([PROGRAM, *map(str, args)], cwd=cwd, stdout=stdout,
                          stderr=subprocess.PIPE, text=True, errors="surrogateescape", timeout=60,
                          **options)


def failed(result, status, *complaints):
    """Checks that a run failed with `status`, its message naming each complaint."""
    assert result.returncode == status, result.stderr
    for complaint in complaints:
        assert complaint in result.stderr, result.stderr
    assert "computed" not in (result.stdout or "")
    return result


def test_help_describes_the_options(tmp_path):
    result = program("--help", cwd=tmp_path)
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
    result = program(*args, cwd=tmp_path)
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
    result = program("bodies.txt", cwd=tmp_path)
    assert result.returncode == 1
    assert "bodies.txt" + complaint in result.stderr
    assert not (tmp_path / "orbits.svg").exists()


def test_a_missing_body_file_is_named(tmp_path):
    result = program("nowhere.txt", cwd=tmp_path)
    assert result.returncode == 1 and "nowhere.txt" in result.stderr



def read_bodies(path):
    """The bodies of a body file, through the package's reader."""
    return stellix.read_bodies(path)[0]


def polylines(path):
    return ET.parse(path).getroot().findall(".//{http://www.w3.org/2000/svg}polyline")


@pytest.mark.parametrize("steps, interval", [(50, 7), (29, 1), (3, 10)])
def test_chunked_run_writes_what_one_simulate_call_writes(tmp_path, steps, interval):
    bodies_file = os.path.join(EXAMPLES, "sun_earth_moon.txt")
    result = program("--steps", steps, "--interval", interval, "--dt", 7200, "--record", "--print",
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


def test_default_run_draws_the_sun_and_eight_planets_when_asked(tmp_path):
    # Nothing is drawn unasked: a plain run writes no file at all.
    plain = program(cwd=tmp_path)
    assert plain.returncode == 0, plain.stderr
    assert os.listdir(tmp_path) == [] and "orbits drawn" not in plain.stdout
    result = program("--svg", "orbits.svg", cwd=tmp_path)
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
    assert program(*options, cwd=tmp_path / "a").returncode == 0
    solar_system = os.path.join(EXAMPLES, "solar_system.txt")
    assert program(*options, solar_system, cwd=tmp_path / "b").returncode == 0
    built_in = (tmp_path / "a" / "output.csv").read_text()
    assert built_in.count("\n") == 4 * 9
    assert built_in == (tmp_path / "b" / "output.csv").read_text()


# Body files: the system's reason when one cannot be read, control bytes
# echoed harmlessly, and the body limit enforced before the rest is read.


def test_a_body_file_that_cannot_be_read_gives_the_system_reason(tmp_path):
    failed(program("nowhere.txt", cwd=tmp_path), 1,
           "nowhere.txt: cannot open the body file: No such file or directory")
    (tmp_path / "folder").mkdir()
    failed(program("folder", cwd=tmp_path), 1, "folder: read error: Is a directory")
    locked = tmp_path / "locked.txt"
    locked.write_text("0 0 0 0 0 0 1\n")
    locked.chmod(0)
    # Root reads anything: drop to nobody for this one.
    as_nobody = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}
    failed(program("locked.txt", cwd=tmp_path, **as_nobody), 1,
           "locked.txt: cannot open the body file: Permission denied")
    assert not (tmp_path / "orbits.svg").exists()


def test_control_bytes_from_the_input_are_escaped(tmp_path):
    name = "bad\x1b]0;title\x07\nname.txt"
    (tmp_path / name).write_text("1 2 3 4 5 6 \x1b[2J\n")
    for result, status, echo in [
        (program(name, cwd=tmp_path), 1,
         "bad\\x1b]0;title\\x07\\x0aname.txt:1: not a finite number: '\\x1b[2J'"),
        (program("--steps", "1\x7f\r", cwd=tmp_path), 2, "not '1\\x7f\\x0d'"),
    ]:
        failed(result, status, echo)
        assert not any(c in result.stderr for c in "\x1b\x07\x7f\r"), result.stderr


def test_a_body_file_past_the_limit_is_refused_at_the_first_body_too_many(tmp_path):
    limit = 46340
    # The line after the first body too many would be refused too: the
    # message shows that reading stopped before it.
    (tmp_path / "crowd.txt").write_text("# crowd\n" + "0 0 0 0 0 0 1\n" * (limit + 1) +
                                        "not a body at all\n")
    failed(program("crowd.txt", cwd=tmp_path), 1,
           f"crowd.txt:{limit + 2}: more than {limit} bodies")


def test_a_file_name_with_control_bytes_is_escaped_in_the_summary_and_the_picture(tmp_path):
    name = "two\x1b[1m\nstars.txt"
    (tmp_path / name).write_text("0 0 0 0 0 0 1 A\x07\n1e9 0 0 0 1e3 0 1 B\n")
    result = program("--steps", 5, "--svg", "orbits.svg", name, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "stellix: two\\x1b[1m\\x0astars.txt\n" in result.stdout
    svg = (tmp_path / "orbits.svg").read_text()
    assert "\x1b" not in svg and "\x07" not in svg and "A\\x07" in svg
    ET.parse(tmp_path / "orbits.svg")  # control bytes would make it unreadable XML


# Output: what cannot be written fails the run with the reason, and is found
# before the run when it can be.


def close_standard_output():
    os.close(1)


@pytest.mark.parametrize("args", [[], ["--print", "--interval", 1], ["--help"]])
def test_standard_output_that_cannot_be_written_fails(tmp_path, args):
    with open("/dev/full", "w") as full:
        failed(program("--steps", 300, *args, cwd=tmp_path, stdout=full), 1,
               "cannot write standard output: No space left on device")
    # Closed, it would be the descriptor of the first file opened: refused at once.
    (tmp_path / "closed").mkdir()
    failed(program("--record", *args, cwd=tmp_path / "closed", stdout=None,
                   preexec_fn=close_standard_output), 1, "standard output is closed")
    assert os.listdir(tmp_path / "closed") == []


@pytest.mark.parametrize("steps", [3, 300])  # one buffer of the run file, and many
def test_a_run_file_on_a_full_device_fails(tmp_path, steps):
    (tmp_path / "output.csv").symlink_to("/dev/full")
    failed(program("--record", "--interval", 1, "--steps", steps, cwd=tmp_path), 1,
           "cannot write output.csv: No space left on device")
    assert not (tmp_path / "orbits.svg").exists()


def test_an_output_path_that_cannot_be_created_costs_neither_the_run_nor_older_files(tmp_path):
    (tmp_path / "output.csv").write_text("an older run\n")
    failed(program("--record", "--svg", "missing/orbits.svg", cwd=tmp_path), 1,
           "cannot create missing/orbits.svg: No such file or directory")
    assert (tmp_path / "output.csv").read_text() == "an older run\n"

    (tmp_path / "output.csv").unlink()
    (tmp_path / "output.csv").mkdir()
    (tmp_path / "older.svg").write_text("an older picture\n")
    failed(program("--record", "--svg", "older.svg", cwd=tmp_path), 1,
           "cannot create output.csv: Is a directory")
    failed(program("--record", cwd=tmp_path), 1, "cannot create output.csv: Is a directory")
    assert (tmp_path / "older.svg").read_text() == "an older picture\n"
    assert sorted(os.listdir(tmp_path)) == ["older.svg", "output.csv"]


@pytest.mark.parametrize("args, complaint", [
    ([""], "the body file needs a file name"), (["--svg", ""], "--svg needs a file name"),
])
def test_an_empty_path_is_a_usage_error(tmp_path, args, complaint):
    failed(program(*args, cwd=tmp_path), 2, complaint, "--help")
    assert os.listdir(tmp_path) == []


def body_file(path, rows):
    path.write_text("".join(" ".join(repr(float(v)) for v in row) + "\n" for row in rows))
    return path.name


def first_non_finite_step(rows, dt, steps):
    bodies = stellix.make_bodies(rows)
    for step in range(1, steps + 1):
        stellix.simulate(bodies, dt, 1, store=False)
        if not np.isfinite(bodies.view(np.float64).reshape(-1, 7)[:, :6]).all():
            return step
    return None


@pytest.mark.parametrize("rows, dt, steps, step, snapshot", [
    # Coincident bodies: NaN accelerations from the start.
    ([[0, 0, 0, 0, 0, 0, 1], [0, 0, 0, 0, 0, 0, 1], [5, 0, 0, 0, 0, 0, 1]], 3600, 50, 1, 1),
    # A position that overflows after 18 steps, inside a chunk of 5 steps.
    ([[0, 0, 0, 1e305, 0, 0, 1]], 100, 3000, 18, 2),
])
def test_a_state_that_is_not_finite_is_reported_at_its_first_step(tmp_path, rows, dt, steps,
                                                                    step, snapshot):
    assert first_non_finite_step(rows, dt, steps) == step
    result = program("--dt", dt, "--steps", steps, "--interval", 10, "--record",
                     body_file(tmp_path / "bodies.txt", rows), cwd=tmp_path)
    # Exit status 3, and still every output and the summary.
    assert result.returncode == 3, result.stderr
    assert (tmp_path / "output.csv").read_text().count("\n") == len(rows) * (1 + (steps - 1) // 10)
    assert f"not finite (NaN or infinite) from step {step} of {steps} on" in result.stderr
    assert f"first snapshot to show it is snapshot {snapshot} (after {10 * snapshot + 1} steps)" \
        in result.stderr
    assert "relative energy drift: n/a" in result.stdout and "-nan" not in result.stdout


@pytest.mark.parametrize("rows, why", [
    ([[1, 2, 3, 0, 0, 0, 5]], "one body"), ([[1, 2, 3, 4, 5, 6, 5]], "one body"),
    ([[0, 0, 0, 0, 0, 0, 0], [1, 0, 0, 0, 0, 0, 0]], "the initial energy is zero"),
])
def test_a_drift_without_meaning_reads_n_a(tmp_path, rows, why):
    result = program("--steps", 10, "--svg", "orbits.svg",
                     body_file(tmp_path / "bodies.txt", rows), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert f"  relative energy drift: n/a ({why})\n" in result.stdout
    assert "nan" not in result.stdout and "nan" not in result.stderr
    assert "Relative energy drift n/a" in (tmp_path / "orbits.svg").read_text()


@pytest.mark.skipif(not PROGRAM or sanitized(PROGRAM) or sanitized(os.environ["STELLIX_LIBRARY"]),
                    reason="a sanitizer's allocator reserves more address space than any limit")
def test_a_run_without_scratch_memory_fails_and_replaces_nothing(tmp_path):
    # The address space limit is raised from far too low until the program gets
    # past reading the bodies; the first limit that lets it do so is below
    # what the run's scratch needs on top (over 2 MiB for 20000 bodies).
    (tmp_path / "bodies.txt").write_text("".join(f"{i} 0 0 0 0 0 1\n" for i in range(20000)))

    def attempt(limit):
        (tmp_path / "output.csv").write_text("an older run\n")
        cap = lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        return program("--record", "--steps", 1, "bodies.txt", cwd=tmp_path, preexec_fn=cap)

    for limit in range(1 << 20, 512 << 20, 1 << 20):
        result = attempt(limit)
        # Failing before the run: the dynamic loader, the reading of the bodies,
        # or (-6) a C++ runtime left without memory even for its exceptions.
        if result.returncode in (1, 127, -6) and "nothing was computed" not in result.stderr and (
                tmp_path / "output.csv").read_text() == "an older run\n":
            continue
        failed(result, 1, "no memory for the run of 20000 bodies; nothing was computed: "
               "Cannot allocate memory")
        assert result.stdout == ""
        assert (tmp_path / "output.csv").read_text() == "an older run\n"
        assert sorted(os.listdir(tmp_path)) == ["bodies.txt", "output.csv"]
        return
    pytest.fail("no address space limit let the program read its bodies")


# The command-line program's own features: version, exact continuation through
# --save, the run file anywhere, the centre-of-mass frame, the default stride,
# the caller's directory, and a readable picture of many bodies.

SUN_EARTH_MOON = os.path.join(EXAMPLES, "sun_earth_moon.txt")
REPO = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir)


def header_version():
    parts = {}
    for line in open(os.path.join(REPO, "include", "stellix", "stellix.h")):
        fields = line.split()
        if len(fields) == 3 and fields[1].startswith("STELLIX_VERSION_"):
            parts[fields[1]] = fields[2]
    return ".".join(parts["STELLIX_VERSION_" + p] for p in ("MAJOR", "MINOR", "PATCH"))


def test_version_is_the_headers(tmp_path):
    result = program("--version", cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout == f"stellix {header_version()}\n"
    assert os.listdir(tmp_path) == []


def saved_rows(path):
    lines = path.read_text().splitlines()
    assert lines[0] == f"# stellix {header_version()} bodies: x y z vx vy vz mass name"
    return [line.split() for line in lines[1:]]


@pytest.mark.parametrize("first, then", [(7, 5), (1, 1), (30, 41)])
def test_a_saved_state_continues_the_run_to_the_bit(tmp_path, first, then):
    options = ("--dt", 7200, "--svg", "x.svg")
    assert program(*options, "--steps", first + then, "--save", "whole.txt", SUN_EARTH_MOON,
                   cwd=tmp_path).returncode == 0
    assert program(*options, "--steps", first, "--save", "first.txt", SUN_EARTH_MOON,
                   cwd=tmp_path).returncode == 0
    result = program(*options, "--steps", then, "--save", "second.txt", "first.txt", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "final state saved in second.txt" in result.stdout
    whole = (tmp_path / "whole.txt").read_bytes()
    assert (tmp_path / "second.txt").read_bytes() == whole
    rows = saved_rows(tmp_path / "whole.txt")
    # Names kept, numbers as %.17g writes them.
    assert [row[7:] for row in rows] == [["Sun"], ["Earth"], ["Moon"]]
    assert all(field == "%.17g" % float(field) for row in rows for field in row[:7])

    # The same state as the binding's one call, bit for bit.
    bodies = read_bodies(SUN_EARTH_MOON)
    stellix.simulate(bodies, 7200.0, first + then, store=False)
    expected = bodies.view(np.float64).reshape(-1, 7)
    assert np.array_equal(np.array([row[:7] for row in rows], dtype=float).view(np.int64),
                          expected.view(np.int64))


def test_every_number_the_save_writes_is_read_back(tmp_path):
    # Masses are only read by a run, so they come back as they went in:
    # signed zero, subnormals, the smallest normal, tiny and huge values.
    masses = ["%.17g" % m for m in (-0.0, 5e-324, 2.2250738585072014e-308 / 3, 1e-300,
                                    np.nextafter(1e-300, 1), 1.7976931348623157e300)]
    assert masses[:2] == ["-0", "4.9406564584124654e-324"]
    (tmp_path / "odd.txt").write_text("".join(
        f"{i}e15 -0 0 1e-300 -4.9406564584124654e-324 0 {m}\n" for i, m in enumerate(masses)))
    result = program("--steps", 1, "--dt", 1e-300, "--save", "again.txt", "odd.txt", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    rows = saved_rows(tmp_path / "again.txt")
    assert [row[6] for row in rows] == masses and all(len(row) == 7 for row in rows)
    again = program("--steps", 1, "--dt", 1e-300, "--save", "third.txt", "again.txt", cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert [row[6] for row in saved_rows(tmp_path / "third.txt")] == masses


def test_a_state_that_is_not_finite_is_not_saved(tmp_path):
    body_file(tmp_path / "bodies.txt", [[0, 0, 0, 0, 0, 0, 1], [0, 0, 0, 0, 0, 0, 1]])
    (tmp_path / "state.txt").write_text("an older state\n")
    # Exit status 3 with --save as without it; the older file stays.
    result = program("--steps", 3, "--save", "state.txt", "bodies.txt", cwd=tmp_path)
    assert result.returncode == 3, result.stderr
    assert "the final state is not finite: not saved to state.txt" in result.stderr
    assert "final state saved" not in result.stdout and "computed" in result.stdout
    assert (tmp_path / "state.txt").read_text() == "an older state\n"


def test_the_run_file_goes_where_asked_as_simulate_writes_it(tmp_path):
    (tmp_path / "runs").mkdir()
    result = program("--steps", 40, "--interval", 6, "--dt", 7200, "--record=runs/moon.csv",
                     SUN_EARTH_MOON, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "runs/moon.csv: 7 snapshots of 3 lines (every 6 steps)" in result.stdout
    assert not (tmp_path / "output.csv").exists()
    reference = tmp_path / "reference"
    reference.mkdir()
    os.chdir(reference)
    try:
        stellix.simulate(read_bodies(SUN_EARTH_MOON), 7200.0, 40, 6, record=True, store=False)
    finally:
        os.chdir(tmp_path)
    assert (tmp_path / "runs" / "moon.csv").read_bytes() == (reference / "output.csv").read_bytes()


@pytest.mark.parametrize("args, complaint", [
    (["--record="], "--record needs a file name"), (["--print=yes"], "--print takes no value"),
    (["--com=1"], "--com takes no value"), (["--save"], "--save needs a value"),
])
def test_option_values_are_checked(tmp_path, args, complaint):
    failed(program(*args, cwd=tmp_path), 2, complaint, "--help")
    assert os.listdir(tmp_path) == []


def centred(rows):
    """The centre-of-mass frame as the program computes it: sums in body order."""
    rows = [list(map(float, row)) for row in rows]
    m, r, p = 0.0, [0.0] * 3, [0.0] * 3
    for row in rows:
        m += row[6]
        for k in range(3):
            r[k] += row[6] * row[k]
            p[k] += row[6] * row[3 + k]
    return [[row[k] - r[k] / m for k in range(3)] + [row[3 + k] - p[k] / m for k in range(3)] +
            [row[6]] for row in rows]


def test_the_centre_of_mass_frame(tmp_path):
    rows = [[1.5e11, 2e10, -3e9, 100.0, 3e4, -7.0, 5.97], [1.5e11 + 3.84e8, 2e10, 1e7, 100.0,
            3e4 + 1022.0, 50.0, 0.0734], [-4e9, 1e9, 2e8, 2.0, -10.0, 0.5, 1.9885e6]]
    body_file(tmp_path / "drifting.txt", rows)
    body_file(tmp_path / "centred.txt", centred(rows))
    for name, args in [("by_program.txt", ["--com", "drifting.txt"]),
                       ("by_formula.txt", ["centred.txt"])]:
        result = program("--steps", 3, "--save", name, *args, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
    assert "(centre-of-mass frame)" in program("--steps", 1, "--com", "drifting.txt",
                                               cwd=tmp_path).stdout
    assert (tmp_path / "by_program.txt").read_bytes() == (tmp_path / "by_formula.txt").read_bytes()

    state = np.array([row[:7] for row in saved_rows(tmp_path / "by_program.txt")], dtype=float)
    mass = state[:, 6]
    momentum = (mass[:, None] * state[:, 3:6]).sum(axis=0)
    centre = (mass[:, None] * state[:, 0:3]).sum(axis=0) / mass.sum()
    # Rounding only: against momenta of 1e10 and positions of 1e11 m.
    assert np.abs(momentum).max() < 1e-3 and np.abs(centre).max() < 1e-2
    original = np.array(rows)
    assert np.abs((original[:, 6:7] * original[:, 3:6]).sum(axis=0)).max() > 1e7


@pytest.mark.parametrize("steps, stride, snapshots", [
    (1, 1, 1), (2, 1, 2), (1000, 1, 1000), (1001, 2, 501), (2500, 3, 834), (8766, 9, 974),
])
def test_the_default_stride_keeps_snapshots_near_a_thousand(tmp_path, steps, stride, snapshots):
    result = program("--steps", steps, "--dt", 60, "--record", SUN_EARTH_MOON, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    every = "every step" if stride == 1 else f"every {stride} steps"
    noun = "snapshot" if snapshots == 1 else "snapshots"
    assert f"output.csv: {snapshots} {noun} of 3 lines ({every})" in result.stdout
    assert (tmp_path / "output.csv").read_text().count("\n") == 3 * snapshots
    assert (f"3 bodies, {steps} step of" if steps == 1 else f"3 bodies, {steps} steps of") \
        in result.stdout


def test_one_body_reads_in_the_singular(tmp_path):
    result = program("--steps", 1, "--record",
                     body_file(tmp_path / "one.txt", [[0, 0, 0, 1, 0, 0, 2]]), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "  1 body, 1 step of" in result.stdout
    assert "output.csv: 1 snapshot of 1 line (every step)" in result.stdout


def test_paths_are_the_callers(tmp_path):
    (tmp_path / "inputs").mkdir()
    (tmp_path / "here" / "out").mkdir(parents=True)
    body_file(tmp_path / "inputs" / "bodies.txt", read_rows(SUN_EARTH_MOON))
    result = program("--steps", 5, "--record=out/run.csv", "--svg", "out/o.svg", "--save",
                     "../state.txt", "../inputs/bodies.txt", cwd=tmp_path / "here")
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(tmp_path / "here" / "out")) == ["o.svg", "run.csv"]
    assert (tmp_path / "state.txt").exists()
    assert f"orbits drawn in {tmp_path / 'here' / 'out' / 'o.svg'}\n" in result.stdout


def read_rows(path):
    return read_bodies(path).view(np.float64).reshape(-1, 7).tolist()


# What scripts/demo builds from: the library, the program and the build files.
DEMO_SOURCES = ["CMakeLists.txt", "CMakePresets.json", "LICENSE", "cmake", "include", "src",
                "tools", "scripts", os.path.join("python", "stellix", "viewer.html")]


def demo_checkout(root):
    """A copy of the sources the script builds, whose install-deps only notes
    how it was called: the test neither installs packages nor touches the
    build trees of this checkout, which ctest may be running."""
    root.mkdir()
    for name in DEMO_SOURCES:
        source = os.path.join(REPO, name)
        if os.path.isdir(source):
            shutil.copytree(source, root / name, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            (root / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(source, root / name)
    (root / "scripts" / "install-deps").write_text(
        '#!/usr/bin/env bash\necho "$@" >> "$(dirname "$0")/install-deps.calls"\n')
    return root


def run_demo(checkout, cwd, *args):
    environment = {k: v for k, v in os.environ.items() if k != "STELLIX_BUILD_DIR"}
    with open(cwd / "snapshots.txt", "w") as snapshots:
        return subprocess.run(["bash", str(checkout / "scripts" / "demo"), *args], cwd=cwd,
                              stdout=snapshots, stderr=subprocess.PIPE, text=True, timeout=900,
                              env=environment)


@pytest.mark.skipif(not all(shutil.which(tool) for tool in ("cmake", "ninja", "c++")),
                    reason="scripts/demo builds with CMake, Ninja and a C++ compiler")
@pytest.mark.skipif(bool(PROGRAM) and sanitized(PROGRAM),
                    reason="scripts/demo makes a plain build of its own, which no sanitizer sees")
def test_scripts_demo_builds_the_program_and_runs_it_in_the_callers_directory(tmp_path):
    checkout = demo_checkout(tmp_path / "checkout")
    (tmp_path / "here" / "mine").mkdir(parents=True)
    body_file(tmp_path / "here" / "mine" / "bodies.txt", read_rows(SUN_EARTH_MOON))
    args = ["--steps", "20", "--print", "--record", "mine/bodies.txt"]
    result = run_demo(checkout, tmp_path / "here", *args)
    assert result.returncode == 0, result.stderr
    assert (checkout / "scripts" / "install-deps.calls").read_text() == "--build-only\n"
    # The default preset's tree, with the program and the library built and
    # nothing else: the build spoke on standard error only.
    built = checkout / "build" / "default"
    assert (built / "tools" / "stellix" / "stellix").exists()
    assert not (built / "tests").exists()
    assert "Linking CXX executable tools/stellix/stellix" in result.stderr
    text = (tmp_path / "here" / "snapshots.txt").read_text()
    assert text == (tmp_path / "here" / "output.csv").read_text()
    assert stellix.read_run(tmp_path / "here" / "snapshots.txt", n=3).shape[:2] == (20, 3)
    assert (tmp_path / "here" / "orbits.svg").exists()
    # The same sources as the program under test: the same snapshots.
    assert text == program(*args, cwd=tmp_path / "here").stdout

    # Run again, the tree is up to date: no configuring, nothing rebuilt.
    again = run_demo(checkout, tmp_path / "here", "--version")
    assert again.returncode == 0, again.stderr
    assert "Configuring" not in again.stderr and "Linking" not in again.stderr
    assert (tmp_path / "here" / "snapshots.txt").read_text().startswith("stellix ")


SVG = "{http://www.w3.org/2000/svg}"


def test_a_crowd_is_drawn_readably(tmp_path):
    rng = np.random.Generator(np.random.PCG64(7))
    n = 300
    rows = np.c_[rng.uniform(-1e11, 1e11, (n, 3)), rng.uniform(-1e3, 1e3, (n, 3)),
                 rng.uniform(1, 2, n)]
    rows[:4, :3] *= 1e-3  # a tight group near the centre, for the close-up
    rows[:4, 6] = 1e3
    (tmp_path / "crowd.txt").write_text("".join(
        " ".join("%.17g" % v for v in row) + f" star{i}\n" for i, row in enumerate(rows)))
    result = program("--steps", 20, "--dt", 600, "--svg", "orbits.svg", "crowd.txt", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    check_picture(tmp_path / "orbits.svg", max_labels=8)


def test_the_solar_system_picture_marks_its_close_up(tmp_path):
    assert program("--steps", 2000, "--svg", "orbits.svg", cwd=tmp_path).returncode == 0
    root = check_picture(tmp_path / "orbits.svg", max_labels=8)
    assert [r for r in root.iter(SVG + "rect") if r.get("stroke-dasharray") == "4 3"]


def check_picture(path, max_labels):
    root = ET.parse(path).getroot()
    panels = [r for r in root.iter(SVG + "rect") if r.get("rx") == "8" and r.get("fill")]
    assert panels
    for group in root.findall(SVG + "g"):
        panel = group.find(SVG + "rect")
        x0, y0 = float(panel.get("x")), float(panel.get("y"))
        x1, y1 = x0 + float(panel.get("width")), y0 + float(panel.get("height"))
        circles = list(group.iter(SVG + "circle"))
        for c in circles:
            cx, cy, r = (float(c.get(k)) for k in ("cx", "cy", "r"))
            assert x0 <= cx - r and cx + r <= x1 and y0 <= cy - r and cy + r <= y1
        names = [t for t in group.iter(SVG + "text") if t.get("fill")]
        assert 0 < len(names) <= max_labels
    return root


# Snapshots closer than 64 steps: the library writes them to a private scratch
# directory, and the program puts them in a file beside the destination,
# renamed onto it.


def crowd_file(path, n, seed):
    rng = np.random.Generator(np.random.PCG64(seed))
    rows = np.c_[rng.uniform(-1e11, 1e11, (n, 3)), rng.uniform(-1e3, 1e3, (n, 3)),
                 rng.uniform(1, 2, n)]
    return body_file(path, rows)


def leftovers(*directories):
    return [name for d in directories for name in os.listdir(d) if name.startswith(".stellix")]


def test_a_run_with_the_librarys_text_writes_what_one_simulate_call_writes(tmp_path):
    (tmp_path / "runs").mkdir()
    (tmp_path / "runs" / "target.csv").write_text("an older run\n")
    (tmp_path / "link.csv").symlink_to("runs/target.csv")
    crowd_file(tmp_path / "crowd.txt", 40, 3)
    reference = tmp_path / "reference"
    reference.mkdir()
    os.chdir(reference)
    try:
        stellix.simulate(read_bodies(tmp_path / "crowd.txt"), 600.0, 120, 2, record=True,
                         store=False)
    finally:
        os.chdir(tmp_path)
    expected = (reference / "output.csv").read_text()
    for destination, written in [("runs/dense.csv", tmp_path / "runs" / "dense.csv"),
                                 ("link.csv", tmp_path / "runs" / "target.csv")]:
        result = program("--steps", 120, "--interval", 2, "--dt", 600, f"--record={destination}",
                         "--print", "crowd.txt", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert f"{destination}: 60 snapshots of 40 lines (every 2 steps)" in result.stderr
        assert result.stdout == expected
        assert written.read_text() == expected
    # A link is followed as fopen follows it: the link stays, its target is the run.
    assert (tmp_path / "link.csv").is_symlink()
    assert leftovers(tmp_path, tmp_path / "runs") == []


def test_a_run_file_written_through_to_a_full_device_fails_and_leaves_nothing(tmp_path):
    (tmp_path / "full.csv").symlink_to("/dev/full")
    failed(program("--steps", 100, "--dt", 600, "--record=full.csv", SUN_EARTH_MOON, cwd=tmp_path),
           1, "cannot write full.csv: No space left on device")
    assert sorted(os.listdir(tmp_path)) == ["full.csv"]


def test_a_run_file_whose_directory_vanishes_fails_and_leaves_nothing(tmp_path):
    (tmp_path / "gone").mkdir()
    # Long enough (about a second) that the run is still going when its
    # private directory is seen, even on a loaded machine.
    crowd_file(tmp_path / "crowd.txt", 1500, 5)
    child = subprocess.Popen([PROGRAM, "--steps", "600", "--interval", "10",
                              "--record=gone/run.csv", "crowd.txt"], cwd=tmp_path,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for _ in range(5000):
            if leftovers(tmp_path / "gone"):
                break
            time.sleep(0.002)
        # The run was still going: its private directory goes with the destination's.
        assert leftovers(tmp_path / "gone")
        shutil.rmtree(tmp_path / "gone")
        stdout, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 1, stderr
    assert "stellix: cannot write gone/run.csv: No such file or directory" in stderr
    assert "computed" not in stdout
    assert sorted(os.listdir(tmp_path)) == ["crowd.txt"]


COINCIDENT = [[0, 0, 0, 0, 0, 0, 5], [1e9, 0, 0, 0, 0, 0, 1], [1e9, 0, 0, 0, 0, 0, 1]]


@pytest.mark.parametrize("rows", [None, COINCIDENT], ids=["sun-earth-moon", "coincident"])
def test_the_programs_fingerprint_is_pythons_for_the_same_run(tmp_path, rows):
    # The coincident pair turns the state to NaN, whose sign the processor
    # chooses: both fingerprints make every NaN the same.
    path = SUN_EARTH_MOON if rows is None else body_file(tmp_path / "bodies.txt", rows)
    result = program("--steps", 50, "--interval", 7, "--fingerprint", path, cwd=tmp_path)
    assert result.returncode == (0 if rows is None else 3), result.stderr
    printed = [line.split()[-1] for line in result.stdout.splitlines()
               if line.startswith("  fingerprint ")]
    bodies = read_bodies(tmp_path / path)
    stellix.simulate(bodies, 3600.0, 50, 7)
    assert (rows is None) == np.isfinite(bodies.view(np.float64)).all()
    assert printed == [stellix.fingerprint(bodies)]


def test_a_fingerprint_tells_states_apart_but_not_nan_signs():
    bodies = stellix.make_bodies([[1, 2, 3, 4, 5, 6, 7], [0, 0, 0, 0, 0, 0, 1]])
    before = stellix.fingerprint(bodies)
    assert len(before) == 64 and int(before, 16) >= 0
    doubles = bodies.view(np.float64)
    doubles[1] = np.nextafter(doubles[1], np.inf)
    nudged = stellix.fingerprint(bodies)
    assert nudged != before
    doubles[1] = np.copysign(np.nan, 1.0)
    positive = stellix.fingerprint(bodies)
    doubles[1] = np.copysign(np.nan, -1.0)
    assert stellix.fingerprint(bodies) == positive != nudged


def test_the_self_check_passes_and_names_every_problem(tmp_path):
    result = program("--self-check", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert len([line for line in lines if line.endswith("  ok")]) == 5
    assert lines[-1] == "self-check passed: this machine computes stellix's bits"


def test_the_picture_has_au_axes_true_to_its_drawing_and_prints_light(tmp_path):
    """Every tick label names the AU value of the grid line it sits on: the
    labels along a panel's edge are evenly spaced values on one straight
    line of value against pixel. Printed, the page and panels turn white."""
    assert program("--steps", 24, "--svg", "o.svg", cwd=tmp_path).returncode == 0
    root = ET.parse(tmp_path / "o.svg").getroot()
    style = root.find(SVG + "style").text
    assert "@media print{.page,.panel{fill:#fff}" in style
    for group in root.findall(SVG + "g"):
        ticks = [t for t in group.iter(SVG + "text") if t.get("class") == "tick"]
        along_x = [(float(t.text), float(t.get("x"))) for t in ticks
                   if t.get("text-anchor") == "middle"]
        along_y = [(float(t.text), float(t.get("y")) + 4) for t in ticks
                   if t.get("text-anchor") == "end"]
        for pairs, sign in ((along_x, 1), (along_y, -1)):
            assert len(pairs) >= 3
            values, pixels = np.array(pairs).T
            slope, offset = np.polyfit(values, pixels, 1)
            assert sign * slope > 0
            assert np.allclose(values * slope + offset, pixels, atol=0.06)
            steps = np.diff(values)
            assert np.allclose(steps, steps[0]) and steps[0] > 0
