"""Body files and the energy, momentum and centre-of-mass helpers."""

import ctypes
import math
import os

import numpy as np
import pytest

import stellix
from systems import bits, same_bits, seeded_system

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")


# --- hand-computed cases ----------------------------------------------------

def test_two_body_energy_and_momentum():
    # 2 (10^24 kg) at rest at the origin, 3 moving at (4, 0, 0) from (0, 0, 5):
    # kinetic (0.5*3)*16 = 24, potential -(G*2*3)/5, momentum (12, 0, 0).
    bodies = stellix.make_bodies([[0, 0, 0, 0, 0, 0, 2], [0, 0, 5, 4, 0, 0, 3]])
    assert stellix.energy(bodies) == 24.0 - (stellix.G * 2.0 * 3.0) / 5.0
    assert same_bits(stellix.momentum(bodies), [12.0, 0.0, 0.0])


def test_centre_of_mass_of_a_simple_system():
    # Masses 1 and 3 at x = 0 and x = 4: centre at x = 3; velocities 2 and -2
    # along y: centre moving at -1.
    bodies = stellix.make_bodies([[0, 0, 1, 0, 2, 0, 1], [4, 0, 1, 0, -2, 0, 3]])
    position, velocity = stellix.center_of_mass(bodies)
    assert same_bits(position, [3.0, 0.0, 1.0])
    assert same_bits(velocity, [0.0, -1.0, 0.0])
    stellix.move_to_center_of_mass(bodies)
    rows = bodies.view(np.float64).reshape(2, 7)
    assert same_bits(rows, [[-3, 0, 0, 0, 3, 0, 1], [1, 0, 0, 0, -1, 0, 3]])
    assert same_bits(stellix.momentum(bodies), [0.0, 0.0, 0.0])
    with pytest.raises(ValueError, match="total mass"):
        stellix.center_of_mass(stellix.make_bodies([[1, 2, 3, 4, 5, 6, 0]]))


def loop_energy(rows, G):
    """The command-line program's energy, one operation at a time."""
    kinetic = potential = 0.0
    n = len(rows)
    for i in range(n):
        x, y, z, vx, vy, vz, m = (float(v) for v in rows[i])
        kinetic += 0.5 * m * (vx * vx + vy * vy + vz * vz)
        for j in range(i + 1, n):
            dx, dy, dz = x - rows[j][0], y - rows[j][1], z - rows[j][2]
            r = math.sqrt(dx * dx + dy * dy + dz * dz)
            potential -= G * m * float(rows[j][6]) / r
    return kinetic + potential


def loop_moments(rows):
    m, r, p = 0.0, [0.0] * 3, [0.0] * 3
    for row in rows.tolist():
        m += row[6]
        for k in range(3):
            r[k] += row[6] * row[k]
            p[k] += row[6] * row[3 + k]
    return m, r, p


@pytest.mark.parametrize("n", [1, 2, 7, 150])
def test_helpers_equal_plain_loops_bit_for_bit(n):
    bodies = seeded_system(n, 20 + n)
    rows = bodies.view(np.float64).reshape(n, 7)
    assert bits(stellix.energy(bodies)) == bits(loop_energy(rows, stellix.G))
    m, r, p = loop_moments(rows)
    assert same_bits(stellix.momentum(bodies), p)
    position, velocity = stellix.center_of_mass(bodies)
    assert same_bits(position, [v / m for v in r])
    assert same_bits(velocity, [v / m for v in p])
    expected = rows.copy()
    for row in expected:
        for k in range(3):
            row[k] -= r[k] / m
            row[3 + k] -= p[k] / m
    stellix.move_to_center_of_mass(rows)  # the (n, 7) form is moved in place
    assert same_bits(rows, expected)


def test_energy_of_many_pairs_equals_the_loop_bit_for_bit():
    # In a large system a term's last bits drown in the sum; with two or three
    # bodies every rounding of every term shows.
    for seed in range(300):
        bodies = seeded_system(2 + seed % 2, seed)
        rows = bodies.view(np.float64).reshape(len(bodies), 7)
        assert bits(stellix.energy(bodies)) == bits(loop_energy(rows, stellix.G)), seed
        rows[:, 3:6] = 0.0  # the potential alone
        assert bits(stellix.energy(bodies)) == bits(loop_energy(rows, stellix.G)), seed


def test_energy_is_conserved_by_a_run():
    bodies, _ = stellix.read_bodies(os.path.join(EXAMPLES, "sun_earth_moon.txt"))
    before = stellix.energy(bodies)
    stellix.simulate(bodies, 600.0, 2000, store=False)
    assert abs(stellix.energy(bodies) - before) < 1e-6 * abs(before)


# --- body files -------------------------------------------------------------

def c_format(value):
    """C's own "%.17g" of `value`, through the C library's snprintf."""
    libc = ctypes.CDLL(None)
    buffer = ctypes.create_string_buffer(64)
    libc.snprintf(buffer, ctypes.c_size_t(64), b"%.17g", ctypes.c_double(value))
    return buffer.value.decode()


AWKWARD = [0.0, -0.0, 5e-324, 2.2250738585072009e-308, 1e-300, 0.1, 1 / 3, -2.5e-7, 1e16,
           1e17, 123456789012345678.0, 1e300, 1.7976931348623157e308, -4.9406564584124654e-324]


def test_numbers_are_written_as_c_writes_them():
    for value in AWKWARD:
        assert format(value, ".17g") == c_format(value), value


def test_save_and_read_round_trip(tmp_path):
    rows = np.array(AWKWARD[:14]).reshape(2, 7)
    rows[:, 6] = [0.0, 1e-300]  # masses: not negative
    rng = np.random.Generator(np.random.PCG64(5))
    more = rng.standard_normal((40, 7)) * 10.0 ** rng.integers(-300, 300, (40, 7))
    more[:, 6] = np.abs(more[:, 6])
    bodies = stellix.make_bodies(np.vstack([rows, more]))
    names = ["Sun", "Alpha Centauri  B", "tab\there", "\u00e9toile"]
    names += ["b%d" % k for k in range(38)]
    path = tmp_path / "state.txt"
    stellix.save_bodies(path, bodies, names)
    text = path.read_text(encoding="utf-8")
    first = "# stellix %s bodies: x y z vx vy vz mass name" % stellix.__version__
    assert text.splitlines()[0] == first
    assert text.splitlines()[1] == "0 -0 4.9406564584124654e-324 2.2250738585072009e-308 " \
        "1e-300 0.10000000000000001 0 Sun"
    again, again_names = stellix.read_bodies(path)
    assert again.dtype == stellix.BODY
    assert same_bits(again.view(np.float64), bodies.view(np.float64))
    assert again_names == names
    # Without names, the reader numbers the bodies as the program does.
    stellix.save_bodies(path, bodies[:3])
    assert stellix.read_bodies(path)[1] == ["body 1", "body 2", "body 3"]


def test_reading_comments_blank_lines_and_names(tmp_path):
    path = tmp_path / "bodies.txt"
    path.write_bytes(b"# a comment\n\n  \t\r\n1 2 3 4 5 6 7   Big  Star \t# its comment\r\n"
                     b"\t-1.5e3 .5 1. -0 0 0 0#\n8 9 10 11 12 13 14 trailing")
    bodies, names = stellix.read_bodies(str(path))
    assert same_bits(bodies.view(np.float64),
                     [1, 2, 3, 4, 5, 6, 7, -1500, 0.5, 1, -0.0, 0, 0, 0, 8, 9, 10, 11, 12, 13, 14])
    assert names == ["Big  Star", "body 2", "trailing"]


@pytest.mark.parametrize("line, reason", [
    ("1 2 3 4 5 6", "expected 7 numbers .* found 6"),
    ("1 2 3 4 5 6 -1 Sun", "negative mass"),
    ("1 2 3 4 5 6 inf", "not a finite number: 'inf'"),
    ("1 2 nan 4 5 6 7", "not a finite number: 'nan'"),
    ("1 2 3 4 5 6 1e309", "not a finite number: '1e309'"),
    ("1 2 3 4 5 6 1e-400", "not a finite number: '1e-400'"),
    ("+1 2 3 4 5 6 7", "not a finite number: '\\+1'"),
    ("0x1 2 3 4 5 6 7", "not a finite number: '0x1'"),
    ("1_0 2 3 4 5 6 7", "not a finite number"),
    ("1,5 2 3 4 5 6 7", "not a finite number: '1,5'"),
])
def test_bad_lines_name_file_and_line(tmp_path, line, reason):
    path = tmp_path / "bad.txt"
    path.write_text("# header\n0 0 0 0 0 0 1 ok\n" + line + "\n")
    with pytest.raises(ValueError, match="^%s:3: %s" % (str(path).replace("\\", "\\\\"), reason)):
        stellix.read_bodies(path)


def test_no_bodies_and_unwritable_states(tmp_path):
    empty = tmp_path / "empty.txt"
    empty.write_text("# nothing\n\n")
    with pytest.raises(ValueError, match="no bodies"):
        stellix.read_bodies(empty)
    one = stellix.make_bodies([[0, 0, 0, 0, 0, 0, 1]])
    for names, reason in [(["a#b"], "'#'"), ([" a"], "white space"), ([""], "empty"),
                          (["a", "b"], "2 names for 1 bodies"), ([3], "not a string")]:
        with pytest.raises(ValueError, match=reason):
            stellix.save_bodies(tmp_path / "x.txt", one, names)
    for row, reason in [([0, 0, 0, 0, 0, 0, -1], "negative mass"),
                        ([0, np.nan, 0, 0, 0, 0, 1], "not finite")]:
        with pytest.raises(ValueError, match=reason):
            stellix.save_bodies(tmp_path / "x.txt", stellix.make_bodies([row]))


def test_the_programs_example_files():
    bodies, names = stellix.read_bodies(os.path.join(EXAMPLES, "sun_earth_moon.txt"))
    assert names == ["Sun", "Earth", "Moon"]
    assert same_bits(bodies.view(np.float64),
                     [0, 0, 0, 0, 0, 0, 1988500, 1.496e11, 0, 0, 0, 29780, 0, 5.9722,
                      1.499844e11, 0, 0, 0, 30802, 0, 0.07346])
    bodies, names = stellix.read_bodies(os.path.join(EXAMPLES, "solar_system.txt"))
    assert names[0] == "Sun" and names[-1] == "Neptune" and len(names) == 9
    # Written with 17 digits from a system whose barycentre was at rest at
    # the origin: it still is, to rounding.
    position, velocity = stellix.center_of_mass(bodies)
    assert np.abs(position).max() < 1.0 and np.abs(velocity).max() < 1e-9


def test_saved_state_continues_the_run_bit_for_bit(tmp_path):
    bodies, names = stellix.read_bodies(os.path.join(EXAMPLES, "solar_system.txt"))
    whole = bodies.copy()
    stellix.simulate(whole, 3600.0, 500, store=False)
    stellix.simulate(bodies, 3600.0, 200, store=False)
    stellix.save_bodies(tmp_path / "day.txt", bodies, names)
    resumed, resumed_names = stellix.read_bodies(tmp_path / "day.txt")
    assert resumed_names == names
    stellix.simulate(resumed, 3600.0, 300, store=False)
    assert same_bits(resumed.view(np.float64), whole.view(np.float64))
