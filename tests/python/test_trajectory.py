"""Exact trajectories: the full state at every snapshot, to HDF5 (h5py), .npz
and pandas, read back to the bit, and written whole or not at all."""

import os
import sys

import numpy as np
import pytest

import stellix
from systems import same_bits, seeded_system

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")
SUN_EARTH_MOON = os.path.join(EXAMPLES, "sun_earth_moon.txt")


def recorded(steps=100, interval=10, n=5, seed=3):
    bodies = seeded_system(n, seed)
    names = ["body %d" % k for k in range(n - 1)] + ["Mond \u263e"]
    return bodies, stellix.record_trajectory(bodies, 3600.0, steps, interval, names)


@pytest.mark.parametrize("steps, interval", [(100, 10), (1, 5), (7, 1), (64, 63)])
def test_a_trajectory_holds_the_runs_states_to_the_bit(steps, interval):
    start = seeded_system(6, 7)
    whole = start.copy()
    positions = stellix.simulate(whole, 600.0, steps, interval)
    bodies = start.copy()
    trajectory = stellix.record_trajectory(bodies, 600.0, steps, interval)
    # The library's schedule: the start, then after interval+1, 2*interval+1, ...
    assert list(trajectory.steps) == [0] + [k * interval + 1 for k in range(1, len(positions))]
    assert same_bits(trajectory.positions, positions)
    assert same_bits(trajectory.times, trajectory.steps * 600.0)
    assert same_bits(bodies.view(np.float64), whole.view(np.float64))
    assert trajectory.fingerprint == stellix.fingerprint(whole)
    # Each snapshot's velocities are those of a run stopped there.
    for k, step in enumerate(trajectory.steps):
        alone = start.copy()
        if step:
            stellix.simulate(alone, 600.0, int(step), int(step), store=False)
        assert same_bits(trajectory.state(k).view(np.float64), alone.view(np.float64))


def test_hdf5_and_npz_give_back_every_bit(tmp_path):
    _, trajectory = recorded()
    for name in ("run.h5", "run.npz"):
        path = tmp_path / name
        (trajectory.to_npz if name.endswith(".npz") else trajectory.to_hdf5)(path)
        again = stellix.read_trajectory(path)
        for field in ("positions", "velocities", "masses", "times"):
            assert same_bits(getattr(again, field), getattr(trajectory, field)), (name, field)
        assert list(again.steps) == list(trajectory.steps)
        assert again.names == trajectory.names
        assert same_bits(again.final.view(np.float64), trajectory.final.view(np.float64))
        assert (again.dt, again.interval, again.total_steps, again.units, again.fingerprint) == (
            3600.0, 10, 100, "si", trajectory.fingerprint)
        assert sorted(os.listdir(tmp_path)) == sorted(p for p in ("run.h5", "run.npz")
                                                      if (tmp_path / p).exists())


def test_the_hdf5_layout_is_the_documented_one(tmp_path):
    h5py = pytest.importorskip("h5py")
    _, trajectory = recorded(steps=30, interval=7, n=3)
    trajectory.to_hdf5(tmp_path / "run.h5")
    with h5py.File(tmp_path / "run.h5", "r") as f:
        shapes = {name: f[name].shape for name in f}
        assert shapes == {"positions": (5, 3, 3), "velocities": (5, 3, 3), "masses": (3,),
                          "names": (3,), "steps": (5,), "times": (5,), "final_state": (3, 7)}
        assert f["positions"].dtype == np.dtype("<f8") and f["steps"].dtype == np.dtype("<i8")
        assert {k: f.attrs[k] for k in ("format", "format_version", "interval")} == {
            "format": "stellix trajectory", "format_version": 1, "interval": 7}


def test_a_trajectory_continues_the_run_exactly():
    start = seeded_system(8, 11)
    whole = start.copy()
    stellix.simulate(whole, 900.0, 100, 100, store=False)
    first = stellix.record_trajectory(start.copy(), 900.0, 60, 20)
    second = stellix.record_trajectory(first.final.copy(), 900.0, 40, 20)
    assert second.fingerprint == stellix.fingerprint(whole)
    assert same_bits(second.state(0).view(np.float64), first.final.view(np.float64))


def test_the_table_has_one_row_per_snapshot_and_body():
    pytest.importorskip("pandas")
    _, trajectory = recorded(steps=21, interval=10, n=4)
    table = trajectory.to_dataframe()
    assert list(table.columns) == ["snapshot", "step", "time", "body", "name",
                                   "x", "y", "z", "vx", "vy", "vz", "mass"]
    assert len(table) == 3 * 4
    row = table[(table.snapshot == 2) & (table.body == 3)].iloc[0]
    assert (row.step, row["name"]) == (21, "Mond \u263e")
    assert same_bits([row.x, row.vz, row.mass], [trajectory.positions[2, 3, 0],
                                                 trajectory.velocities[2, 3, 2],
                                                 trajectory.masses[3]])


def test_a_failed_write_leaves_the_previous_file_and_nothing_else(tmp_path, monkeypatch):
    h5py = pytest.importorskip("h5py")
    _, trajectory = recorded()
    target = tmp_path / "run.h5"
    target.write_bytes(b"the previous trajectory")

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt
    monkeypatch.setattr(h5py.Group, "create_dataset", interrupted)
    with pytest.raises(KeyboardInterrupt):
        trajectory.to_hdf5(target)
    monkeypatch.undo()
    assert target.read_bytes() == b"the previous trajectory"
    assert os.listdir(tmp_path) == ["run.h5"]


@pytest.mark.parametrize("name", ["run.h5", "run.npz"])
def test_a_full_disk_fails_and_keeps_the_previous_file(small_disk, name):
    _, trajectory = recorded(steps=2000, interval=10, n=20)
    target = small_disk / name
    target.write_bytes(b"older")
    with pytest.raises(OSError):
        (trajectory.to_npz if name.endswith(".npz") else trajectory.to_hdf5)(target)
    assert target.read_bytes() == b"older"
    assert os.listdir(small_disk) == [name]


def test_a_missing_h5py_names_the_package(tmp_path, monkeypatch):
    _, trajectory = recorded(steps=3, interval=1, n=2)
    monkeypatch.setitem(sys.modules, "h5py", None)
    with pytest.raises(ImportError, match="python3-h5py"):
        trajectory.to_hdf5(tmp_path / "run.h5")
    assert os.listdir(tmp_path) == []


def test_a_trajectory_opens_in_the_viewer_with_its_energy_error(tmp_path):
    bodies, _ = stellix.read_bodies(SUN_EARTH_MOON)
    trajectory = stellix.record_trajectory(bodies, 3600.0, 200, 20, ["Sun", "Earth", "Moon"])
    errors = trajectory.energy_error()
    assert errors[0] == 0.0 and np.isfinite(errors).all() and 0 < abs(errors[-1]) < 1e-9
    sampled = trajectory.energy_error(max_pairs=3 * 4)
    assert np.isnan(sampled).any() and sampled[-1] == errors[-1]
    trajectory.to_html(tmp_path / "run.html")
    page = (tmp_path / "run.html").read_text()
    assert '"Moon"' in page and "__STELLIX_VIEWER_DATA__" not in page
    assert trajectory._repr_html_().startswith("<iframe srcdoc=")
