"""stellix.ensemble on threads and processes: the bits of a plain loop of
simulate calls, run files of their own, failures kept per member, Ctrl-C,
and the member builders' counter-based generator."""

import concurrent.futures
import contextlib
import errno
import io
import multiprocessing
import os
import pickle
import time

import numpy as np
import pytest

import stellix
from stellix import _ensemble, _member, _members
from ensemble_cases import assert_same, cases, ctrl_c_after, reference, stoppable
from systems import same_bits, seeded_system


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    directory = tmp_path_factory.mktemp("reference")
    return reference(cases(str(directory)), str(directory))


def run(members, executor=None, **options):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        results = stellix.ensemble(members, executor, **options)
    return results, printed.getvalue()


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_threads_give_the_bits_of_a_plain_loop(tmp_path, expected, workers):
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        results, printed = run(cases(str(tmp_path)), pool)
    assert_same(results, expected[0])
    assert printed == expected[1]
    assert [r.index for r in results] == list(range(len(results)))
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".tmp")]


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_processes_give_the_bits_of_a_plain_loop(tmp_path, expected, workers):
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(workers, mp_context=context) as pool:
        results, printed = run(cases(str(tmp_path)), pool)
    assert_same(results, expected[0])
    assert printed == expected[1]


def test_members_cut_at_every_step_keep_the_bits(tmp_path, expected, monkeypatch):
    monkeypatch.setattr(_member, "CHUNK_SECONDS", 0.0)
    monkeypatch.setattr(_member, "SINGLE_CALL_SECONDS", 0.0)
    results, printed = run(cases(str(tmp_path)))
    assert_same(results, expected[0])
    assert printed == expected[1]


def test_the_next_chunk_ends_at_the_next_snapshot():
    # Snapshots of stride 10 are after 11, 21, ... steps; 100 steps, 10 snapshots.
    assert _member.next_chunk(0, 100, 10, 10, True, 1000) == (11, 1)
    assert _member.next_chunk(11, 100, 10, 10, True, 1000) == (10, 2)
    assert _member.next_chunk(91, 100, 10, 10, True, 1000) == (9, None)
    assert _member.next_chunk(0, 100, 10, 10, True, 4) == (4, None)
    assert _member.next_chunk(8, 100, 10, 10, True, 4) == (3, 1)
    assert _member.next_chunk(0, 100, 10, 10, False, 30) == (25, None)
    assert _member.next_chunk(0, 1, 1, 1, True, 5) == (1, None)


def test_a_failing_member_does_not_stop_the_others(tmp_path):
    good = dict(bodies=seeded_system(5, 1), dt=60.0, steps=30, interval=4)
    members = [good, dict(good, dt="soon"), 42, dict(good, mass=1.0),
               dict(good, record=str(tmp_path / "gone" / "m.csv")),
               dict(good, bodies=seeded_system(3, 2), record=str(tmp_path / "ok.csv"))]
    results, _ = run(members)
    errors = [type(r.error) for r in results]
    assert errors == [type(None), ValueError, TypeError, TypeError, FileNotFoundError,
                      type(None)]
    assert results[4].error.filename == str(tmp_path / "gone" / "m.csv")
    assert all(r.fingerprint is None for r in results[1:5])
    alone = good["bodies"].copy()
    stellix.simulate(alone, 60.0, 30, 4)
    assert results[0].fingerprint == stellix.fingerprint(alone)
    assert os.listdir(tmp_path) == ["ok.csv"]
    # The members' own arrays are never changed.
    assert same_bits(good["bodies"].view(np.float64), seeded_system(5, 1).view(np.float64))




def test_a_full_disk_fails_the_member_and_keeps_the_old_file(small_disk):
    (small_disk / "m.csv").write_text("the previous run\n")
    member = dict(bodies=seeded_system(50, 1), dt=60.0, steps=400, interval=10)
    # One worker: the second member finds the space the first one gave back.
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        results, _ = run([dict(member, record=str(small_disk / "m.csv")),
                          dict(member, steps=40, record=str(small_disk / "n.csv"))], pool)
    assert isinstance(results[0].error, OSError) and results[0].error.errno == errno.ENOSPC
    assert results[0].error.filename == str(small_disk / "m.csv")
    assert results[0].fingerprint is None and results[1].error is None
    assert (small_disk / "m.csv").read_text() == "the previous run\n"
    assert sorted(os.listdir(small_disk)) == ["m.csv", "n.csv"]


def test_run_files_are_checked_before_anything_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    member = dict(bodies=seeded_system(3, 1), dt=60.0, steps=10)
    with pytest.raises(ValueError, match="members 0 and 2 both record to"):
        stellix.ensemble([dict(member, record="a.csv"), dict(member, record="b.csv"),
                          dict(member, record="./sub/../a.csv")])
    with pytest.raises(ValueError, match="shared output.csv"):
        stellix.ensemble([dict(member, record="c.csv"), dict(member, record=True)])
    assert os.listdir(tmp_path) == []


def test_ctrl_c_stops_running_members_at_a_whole_step(tmp_path):
    members = stoppable(str(tmp_path), "SSLLLLLL")
    with pytest.raises(stellix.EnsembleInterrupted) as caught, ctrl_c_after(1.0) as fired:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            stellix.ensemble(members, pool)
    assert time.monotonic() - fired[0] < 1.0
    results = caught.value.results
    assert [r is not None for r in results] == [True] * 4 + [False] * 4
    assert [r.error for r in results[:2]] == [None, None]
    for result in results[2:4]:
        assert isinstance(result.error, stellix.MemberInterrupted)
        assert result.fingerprint is None
        alone = members[2]["bodies"].copy()
        stellix.simulate(alone, 60.0, result.error.steps, store=False)
        assert stellix.fingerprint(result.bodies) == stellix.fingerprint(alone)
    assert sorted(os.listdir(tmp_path)) == ["m0.csv", "m1.csv"]


def test_short_members_travel_in_batches_and_a_long_one_alone():
    short = dict(bodies=seeded_system(10, 1), dt=60.0, steps=100)
    long = dict(short, bodies=seeded_system(300, 2), steps=100_000)
    even = dict(short, bodies=seeded_system(200, 3), steps=3000)
    with concurrent.futures.ProcessPoolExecutor(2) as pool:  # no process starts
        mixed = _ensemble._batches(pool, [short] * 40 + [long] + [None] + [short] * 3)
        equal = _ensemble._batches(pool, [even] * 16)
    assert mixed == [list(range(40)), [40], [42, 43, 44]]
    assert equal == [[2 * j, 2 * j + 1] for j in range(8)]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        assert _ensemble._batches(pool, [short] * 3 + [None]) == [[0], [1], [2]]


def test_ctrl_c_starts_no_more_members_of_a_running_batch(tmp_path, monkeypatch):
    monkeypatch.setattr(_ensemble, "BATCHES_PER_WORKER", 1)
    monkeypatch.setattr(_ensemble, "BATCH_SECONDS", 1e9)
    members = stoppable(str(tmp_path), "SLSS")
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        pool.submit(int).result()  # the worker is up before the clock starts
        with pytest.raises(stellix.EnsembleInterrupted) as caught, ctrl_c_after(1.0):
            stellix.ensemble(members, pool)
    results = caught.value.results
    assert results[0].error is None and results[0].fingerprint is not None
    assert isinstance(results[1].error, stellix.MemberInterrupted)
    assert results[2:] == [None, None]
    assert sorted(os.listdir(tmp_path)) == ["m0.csv"]


def test_results_and_interruptions_survive_pickling():
    error = stellix.MemberInterrupted("stopped", 12, np.arange(3.0))
    back = pickle.loads(pickle.dumps(stellix.MemberResult(4, error=error, fingerprint="f")))
    assert (back.index, back.fingerprint, back.error.steps) == (4, "f", 12)
    assert isinstance(back.error, KeyboardInterrupt) and str(back.error) == "stopped"
    assert same_bits(back.error.positions, np.arange(3.0))


def test_progress_draws_one_bar_over_members_and_steps(capsys):
    member = dict(bodies=seeded_system(4, 1), dt=60.0, steps=40, store=False)
    stellix.ensemble([member, dict(member, steps=0)], progress=True)
    lines = capsys.readouterr().err.split("\r")
    assert lines[-1].startswith("ensemble [") and "2/2 members 41/41 steps" in lines[-1]


def splitmix64_sequence(seed, count):
    """splitmix64 as its authors state it: a state advanced by the golden
    gamma, each output mixed from the state, in Python's integers."""
    state, mask, out = seed, (1 << 64) - 1, []
    for _ in range(count):
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        out.append(z ^ (z >> 31))
    return out


@pytest.mark.parametrize("seed", [0, 1, 2026, 2**63 + 12345, 2**64 - 1])
def test_the_generator_is_splitmix64_from_any_counter(seed):
    sequence = splitmix64_sequence(seed, 40)
    assert [int(v) for v in _members.splitmix64(seed, 0, 40)] == sequence
    assert [int(v) for v in _members.splitmix64(seed, 17, 5)] == sequence[17:22]
    # Member k's doubles: (top 53 bits of its stream) * 2^-52 - 1, exactly.
    member = splitmix64_sequence(sequence[3], 8)
    want = [((v >> 11) - 2**52) / 2**52 for v in member]
    assert same_bits(stellix.uniforms(seed, 3, 8), want)


def test_a_perturbed_member_depends_only_on_seed_and_index():
    base = seeded_system(6, 4)
    five = stellix.perturbed(base, 5, seed=99, position=10.0, velocity=0.5, dt=60.0, steps=3)
    later = stellix.perturbed(base, 2, seed=99, position=10.0, velocity=0.5, start=3)
    for a, b in zip(five[3:], later):
        assert same_bits(a["bodies"].view(np.float64), b["bodies"].view(np.float64))
    u = stellix.uniforms(99, 4, 36).reshape(6, 6)
    bodies = five[4]["bodies"]
    assert same_bits(bodies["x"], base["x"] + 10.0 * u[:, 0])
    assert same_bits(bodies["vz"], base["vz"] + 0.5 * u[:, 5])
    assert same_bits(bodies["mass"], base["mass"])
    assert not same_bits(bodies["x"], stellix.perturbed(base, 5, seed=98, position=10.0)[4]
                         ["bodies"]["x"])
    with pytest.raises(ValueError):
        stellix.perturbed(base, 1, seed=-1)


def test_grid_and_members_build_one_member_per_point():
    base = seeded_system(3, 5)
    grid = stellix.grid(base, {"vy[1]": [1.0, 2.0], "dt": [10.0, 20.0, 30.0]}, steps=5,
                        record="g{k}.csv")
    assert [(m["bodies"]["vy"][1], m["dt"], m["record"]) for m in grid] == [
        (1.0, 10.0, "g0.csv"), (1.0, 20.0, "g1.csv"), (1.0, 30.0, "g2.csv"),
        (2.0, 10.0, "g3.csv"), (2.0, 20.0, "g4.csv"), (2.0, 30.0, "g5.csv")]
    assert base["vy"][1] not in (1.0, 2.0)
    with pytest.raises(ValueError, match="names body 3 of 3"):
        stellix.grid(base, {"x[3]": [0.0]})
    with pytest.raises(ValueError, match="body field"):
        stellix.grid(base, {"store": [True]})

    def heavier(k, bodies):
        bodies["mass"][0] *= k + 1
        return {"steps": 10 * k} if k else None

    built = stellix.members(base, 3, heavier, dt=60.0, steps=7)
    assert [m["steps"] for m in built] == [7, 10, 20]
    assert [m["bodies"]["mass"][0] for m in built] == [base["mass"][0] * j for j in (1, 2, 3)]
