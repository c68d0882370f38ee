import ctypes
import os
import re
import shutil
import struct
import subprocess
import sys

import numpy as np
import pytest

import stellix
from stellix import _library
from systems import bits, seeded_system


def assert_same_bits(expected, actual):
    expected = np.asarray(expected, dtype=np.float64)
    actual = np.asarray(actual, dtype=np.float64)
    assert expected.shape == actual.shape
    both_nan = np.isnan(expected) & np.isnan(actual)
    differ = (bits(expected) != bits(actual)) & ~both_nan
    assert not differ.any(), "first difference at %s: %r vs %r" % (
        np.argwhere(differ)[0], expected[differ][0], actual[differ][0])


def six(value):
    return "%.6f" % value  # Python's own fixed conversion is correctly rounded


# Known values and the differential checks of the force functions.

def test_unit_distance_gives_c_cubed_exactly():
    pair = stellix.make_bodies([[0, 0, 0, 0, 0, 0, 1], [1, 0, 0, 0, 0, 0, 1]])
    matrix = stellix.gravity_factors(pair)
    assert matrix[0, 1] == 66699999999906.078125 == matrix[1, 0] == stellix.G
    assert bits(matrix)[0, 0] == 0 and bits(matrix)[1, 1] == 0  # +0.0, not -0.0
    c = struct.unpack("<d", bytes.fromhex("018750a558cde340"))[0]
    assert (c * c) * c == stellix.G


def test_accelerations_follow_the_formula_bit_for_bit():
    bodies = seeded_system(9, 1)
    scratch = np.full((9, 9), np.nan)
    got = stellix.accelerations(bodies, matrix=scratch)
    factors = stellix.gravity_factors(bodies)
    assert_same_bits(factors, scratch)
    expected = np.zeros((9, 3))
    for i in range(9):
        for j in range(9):
            w = factors[i, j] * bodies["mass"][j]
            for k, axis in enumerate("xyz"):
                expected[i, k] = (bodies[axis][j] - bodies[axis][i]) * w + expected[i, k]
    assert_same_bits(expected, got)


def test_invsqrt_edges():
    assert stellix.invsqrt(4.0) == 0.5
    assert stellix.invsqrt(0.0) == np.inf and stellix.invsqrt(-0.0) == -np.inf
    assert np.isnan(stellix.invsqrt(-1.0))


# The snapshot schedule and the positions array.

@pytest.mark.parametrize("steps, interval, count", [
    (100, 10, 10), (5, 1, 5), (7, 3, 3), (7, -3, 3), (1, 4, 1), (0, 4, 1), (-5, 2, 1),
])
def test_positions_have_one_block_per_emitted_snapshot(steps, interval, count):
    assert stellix.snapshot_count(steps, interval) == count
    bodies = seeded_system(3, 2)
    before = bodies.copy()
    positions = stellix.simulate(bodies, 3600.0, steps, interval)
    assert positions.shape == (count, 3, 3)
    assert_same_bits(np.stack([before["x"], before["y"], before["z"]], axis=1), positions[0])


def test_snapshot_k_is_the_state_after_k_interval_plus_one_steps():
    start = seeded_system(5, 3)
    run = start.copy()
    positions = stellix.simulate(run, 1800.0, 23, 5)
    assert positions.shape == (5, 5, 3)
    for k in range(1, 5):
        alone = start.copy()
        assert stellix.simulate(alone, 1800.0, 5 * k + 1, 1, store=False) is None
        assert_same_bits(np.stack([alone["x"], alone["y"], alone["z"]], axis=1), positions[k])
    alone = start.copy()
    stellix.simulate(alone, 1800.0, 23, 1, store=False)
    assert_same_bits(alone.view(np.float64), run.view(np.float64))


def test_an_n_by_7_array_is_updated_in_place_like_a_body_array():
    structured = seeded_system(4, 4)
    plain = structured.view(np.float64).reshape(4, 7).copy()
    p1 = stellix.simulate(structured, 600.0, 12, 4)
    p2 = stellix.simulate(plain, 600.0, 12, 4)
    assert_same_bits(p1, p2)
    assert_same_bits(structured.view(np.float64).reshape(4, 7), plain)


def test_no_bodies():
    assert stellix.simulate(np.zeros(0, stellix.BODY), 1.0, 3, 1).shape == (3, 0, 3)
    assert stellix.gravity_factors(np.zeros(0, stellix.BODY)).shape == (0, 0)


# Arguments the C library would trust are refused before the call.

@pytest.mark.parametrize("bad, error", [
    ([[0, 0, 0, 0, 0, 0, 1]], TypeError),                      # a list, not an array
    (np.zeros((2, 7), dtype=np.float32), TypeError),             # wrong dtype
    (np.zeros((2, 6)), TypeError),                               # wrong shape
    (np.zeros((4, 7))[::2], ValueError),                         # not contiguous
    (np.zeros(4, stellix.BODY)[::2], ValueError),                # strided records
    (np.zeros((2, 2), stellix.BODY), ValueError),                # not (n,)
    (np.zeros(46341, stellix.BODY), ValueError),                 # above the index limit
])
def test_bad_bodies_are_refused(bad, error):
    with pytest.raises(error):
        stellix.simulate(bad, 1.0, 2, 1)
    with pytest.raises(error):
        stellix.gravity_factors(bad)


def test_bad_run_arguments_are_refused():
    bodies = seeded_system(2, 5)
    with pytest.raises(ValueError, match="interval"):
        stellix.simulate(bodies, 1.0, 10, 0)
    with pytest.raises(ValueError, match="32-bit"):
        stellix.simulate(bodies, 1.0, 2**31, 1)
    with pytest.raises(TypeError):
        stellix.simulate(bodies, 1.0, 2.5, 1)
    frozen = bodies.copy()
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="writable"):
        stellix.simulate(frozen, 1.0, 2, 1)
    assert stellix.gravity_factors(frozen).shape == (2, 2)  # read-only is enough there
    with pytest.raises(ValueError):
        stellix.accelerations(bodies, matrix=np.empty((3, 3)))
    with pytest.raises(TypeError):
        stellix.accelerations(bodies, matrix=np.empty((2, 2), dtype=np.float32))
    with pytest.raises(ValueError):
        stellix.print_matrix(np.zeros((2, 3)))


# Text: printed, recorded, and read back.

def test_printed_text_is_the_exactly_rounded_fixed_conversion(capfd):
    rows = [[1, 2, 3, 0, -0.5, 0, 5.972], [0.0078125, 0.0234375, -0.0, -1e-7, np.inf, -np.inf, 1],
            [np.nan, -np.nan, 66699999999906.078125, 1e300, 0, 0, 2]]
    stellix.print_bodies(stellix.make_bodies(rows))
    expected = "".join(" ".join(six(v) for v in row) + "\n" for row in rows)
    assert "nan" in expected and "-nan" not in expected
    assert capfd.readouterr().out == expected
    stellix.print_vector(np.array([0.5, -2.0]))
    stellix.print_matrix(np.array([[1.0, 2.0], [3.0, 4.0]]))
    assert capfd.readouterr().out == ("0.500000000000000 -2.000000000000000 "
                                      "1.000000000000000 2.000000000000000 \n"
                                      "3.000000000000000 4.000000000000000 \n")


def test_run_file_reads_back_as_the_stored_snapshots(tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    start = seeded_system(3, 6)
    run = start.copy()
    positions = stellix.simulate(run, 3600.0, 20, 6, record=True, print=True)
    printed = capfd.readouterr().out
    text = (tmp_path / "output.csv").read_text()
    assert printed == text
    snapshots = stellix.read_run("output.csv", 3)
    assert snapshots.shape == (4, 3, 7)
    rounded = np.vectorize(lambda v: float(six(v)))(positions)
    assert_same_bits(rounded, snapshots[:, :, :3])
    assert (snapshots[:, :, 6] == np.vectorize(lambda v: float(six(v)))(start["mass"])).all()
    stellix.record_bodies(tmp_path / "again.csv", run, append=False)
    stellix.print_bodies(run)
    assert (tmp_path / "again.csv").read_text() == capfd.readouterr().out


def test_malformed_run_files_are_refused(tmp_path):
    path = tmp_path / "run.csv"
    path.write_text("1 2 3 4 5 6 7\n1 2 3 4 5 6\n")
    with pytest.raises(ValueError, match=":2: expected 7 values"):
        stellix.read_run(path, 1)
    path.write_text("1 2 3 4 5 6 7\n1 2 3 4 5 6 x\n")
    with pytest.raises(ValueError, match=":2: not a number"):
        stellix.read_run(path, 1)
    path.write_text("1 2 3 4 5 6 7\n" * 3)
    with pytest.raises(ValueError, match="whole number"):
        stellix.read_run(path, 2)
    assert stellix.read_run(path, 3).shape == (1, 3, 7)
    path.write_text("nan -inf inf -0.000000 0.5 1 2\n")
    row = stellix.read_run(path, 1)[0, 0]
    assert np.isnan(row[0]) and row[1] == -np.inf and row[2] == np.inf
    assert np.signbit(row[3]) and list(row[4:]) == [0.5, 1.0, 2.0]
    path.write_text("")
    assert stellix.read_run(path, 4).shape == (0, 4, 7)


# Finding the library.

def test_a_missing_library_is_named_in_the_error(monkeypatch, tmp_path):
    monkeypatch.setenv("STELLIX_LIBRARY", str(tmp_path / "libnothing.so"))
    with pytest.raises(stellix.LibraryNotFoundError, match="libnothing.so"):
        _library.load()


def test_source_tree_builds_prefer_plain_presets_and_skip_sanitized_ones(tmp_path):
    # A sanitizer build's library aborts a plain interpreter that loads it.
    for name, payload in [("asan", b"\0__asan_init\0"), ("tsan", b"\0__tsan_init\0"),
                          ("aaa", b"\0plain\0"), ("default", b"\0plain\0")]:
        directory = tmp_path / "build" / name / "src"
        directory.mkdir(parents=True)
        (directory / "libstellix.so").write_bytes(payload)
    found = _library._built_libraries(str(tmp_path), ["libstellix.so"])
    assert found == [str(tmp_path / "build" / "default" / "src" / "libstellix.so"),
                     str(tmp_path / "build" / "aaa" / "src" / "libstellix.so")]


HEADER = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "include", "stellix",
                      "stellix.h")
# The C types of the header as ctypes declares them.
C_TYPES = {
    "void": None, "double": ctypes.c_double, "int32_t": ctypes.c_int32,
    "Body*": _library.BodyPointer, "double*": _library.DoublePointer, "FILE*": ctypes.c_void_p,
}


def header_text():
    with open(HEADER) as handle:
        return handle.read()


def c_type(declaration):
    """The ctypes type of one C parameter or result type, const and the
    parameter name dropped."""
    words = declaration.replace("*", " * ").replace("const ", "").split()
    pointer = "*" in words
    base = [w for w in words if w != "*"][0]
    return C_TYPES[base + ("*" if pointer else "")]


def test_every_function_is_declared_as_the_header_declares_it():
    declared = {}
    for result, name, parameters in re.findall(
            r"STELLIX_API\s+(\w+)\s+(\w+)\(([^)]*)\);", header_text()):
        declared[name] = (c_type(result), [c_type(p) for p in parameters.split(",")])
    assert len(declared) == 8
    assert set(declared) == set(_library.SIGNATURES)
    library = stellix.library()
    for name, (restype, argtypes) in declared.items():
        assert getattr(library, name).restype == restype, name
        assert getattr(library, name).argtypes == argtypes, name
    assert ctypes.sizeof(_library.CBody) == stellix.BODY.itemsize == 56


def test_constants_are_the_headers_and_the_librarys():
    macros = dict(re.findall(r"#define (STELLIX_\w+) (\d+)", header_text()))
    assert stellix.__version__ == "%s.%s.%s" % (
        macros["STELLIX_VERSION_MAJOR"], macros["STELLIX_VERSION_MINOR"],
        macros["STELLIX_VERSION_PATCH"])
    assert stellix.MAX_BODIES == int(macros["STELLIX_MAX_BODIES"])
    c = struct.unpack("<d", struct.pack("<Q", 0x40E3CD58A5508701))[0]
    assert stellix.G == (c * c) * c
    unit = stellix.make_bodies([[0, 0, 0, 0, 0, 0, 1], [1, 0, 0, 0, 0, 0, 1]])
    assert stellix.gravity_factors(unit)[0, 1] == stellix.G


def test_pip_installs_the_package_with_the_library_beside_it(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python"), source,
                    ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    # A copy without the C++ sources beside it: the build takes the library given.
    build_env = dict(os.environ, STELLIX_PREBUILT_LIBRARY=os.environ["STELLIX_LIBRARY"])
    target = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                    "--no-deps", "--no-index", "--target", str(target), str(source)],
                   check=True, cwd=tmp_path, env=build_env)
    env = {k: v for k, v in os.environ.items() if k != "STELLIX_LIBRARY"}
    env["PYTHONPATH"] = str(target)
    probe = ("import stellix, numpy as np; "
             "b = stellix.make_bodies([[0,0,0,0,0,0,1],[1,0,0,0,0,0,1]]); "
             "print(stellix.__file__, repr(stellix.gravity_factors(b)[0, 1]))")
    out = subprocess.run([sys.executable, "-c", probe], check=True, cwd=tmp_path, env=env,
                         capture_output=True, text=True).stdout.split()
    assert out[0].startswith(str(target))
    assert float(out[1]) == 66699999999906.078125
