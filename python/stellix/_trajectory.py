"""Exact trajectories: the full state (positions and velocities) at every
snapshot, in binary64, with each snapshot's step and time, kept in memory
and written to HDF5 (through h5py) in the layout the program's
``--trajectory`` writes, to ``.npz`` (numpy alone) or to a pandas table."""

import contextlib
import os
import zipfile

import numpy as np

from ._checks import as_bodies
from ._fingerprint import fingerprint
from . import _replace, _viewer
from ._library import BODY, VERSION
from ._physics import energy
from ._run import simulate, snapshot_count

FORMAT = "stellix trajectory"
FORMAT_VERSION = 1
_FIELDS = ("x", "y", "z", "vx", "vy", "vz", "mass")


class Trajectory:
    """A run's snapshots. ``positions`` and ``velocities`` are float64 of
    shape (S, n, 3); ``steps`` (int64) and ``times`` (float64, step times
    dt) have shape (S,); ``masses`` (n,), ``names`` a list of n strings;
    ``final`` the BODY array after the last step, and ``fingerprint`` its
    stellix.fingerprint. ``dt``, ``interval``, ``total_steps`` and ``units``
    say how the run was made."""

    def __init__(self, positions, velocities, masses, names, steps, dt, interval, total_steps,
                 final, units="si", times=None, fingerprint_=None):
        self.positions = np.asarray(positions, dtype=np.float64)
        self.velocities = np.asarray(velocities, dtype=np.float64)
        self.masses = np.asarray(masses, dtype=np.float64)
        self.names = [str(name) for name in names]
        self.steps = np.asarray(steps, dtype=np.int64)
        self.dt = float(dt)
        # One multiplication per snapshot, so that the times are the same
        # bits wherever they are computed.
        self.times = (np.asarray(times, dtype=np.float64) if times is not None
                      else self.steps.astype(np.float64) * self.dt)
        self.interval = int(interval)
        self.total_steps = int(total_steps)
        self.final = np.array(final, dtype=BODY)
        self.units = str(units)
        self.fingerprint = fingerprint_ if fingerprint_ is not None else fingerprint(self.final)

    def __len__(self):
        return len(self.steps)

    def state(self, k):
        """Snapshot k as a new BODY array."""
        state = np.zeros(len(self.masses), dtype=BODY)
        for axis, name in enumerate("xyz"):
            state[name] = self.positions[k, :, axis]
            state["v" + name] = self.velocities[k, :, axis]
        state["mass"] = self.masses
        return state

    def to_hdf5(self, path):
        """Writes the trajectory to an HDF5 file (h5py, Debian's
        python3-h5py), beside `path` and renamed over it when complete."""
        h5py = _import("h5py", "python3-h5py", "HDF5 trajectories")
        with _beside(path) as temporary:
            with h5py.File(temporary, "w") as out:
                _write_hdf5(out, self, h5py)

    def to_npz(self, path):
        """Writes the trajectory to a numpy .npz file, beside `path` and
        renamed over it when complete."""
        arrays = {name: getattr(self, name) for name in ("positions", "velocities", "masses",
                                                          "steps", "times")}
        arrays["final_state"] = self.final.view(np.float64).reshape(-1, 7)
        arrays["names"] = np.array(self.names, dtype=str)
        meta = {"format": FORMAT, "format_version": FORMAT_VERSION, "dt": self.dt,
                "interval": self.interval, "total_steps": self.total_steps,
                "units": self.units, "stellix_version": VERSION,
                "fingerprint": self.fingerprint}
        for key, value in meta.items():
            arrays["meta_" + key] = np.array(value)
        with _beside(path) as temporary:
            with zipfile.ZipFile(temporary, "w") as archive:
                for name, array in arrays.items():
                    with archive.open(name + ".npy", "w", force_zip64=True) as member:
                        np.lib.format.write_array(member, np.asanyarray(array), allow_pickle=False)

    def energy_error(self, max_pairs=100_000_000):
        """The relative energy error (E_k - E_0) / |E_0| at each snapshot, the
        energies summed as stellix.energy sums them. Large runs are sampled:
        at most about `max_pairs` pair terms in all, NaN at the snapshots
        left out (the first and last are always there)."""
        count, n = len(self.steps), len(self.masses)
        errors = np.full(count, np.nan)
        pairs = max(n * (n - 1) // 2, 1)
        stride = max(1, -(-count * pairs // max_pairs))
        chosen = sorted(set(range(0, count, stride)) | {count - 1})
        first = energy(self.state(0))
        for k in chosen:
            with np.errstate(divide="ignore", invalid="ignore"):
                errors[k] = (energy(self.state(k)) - first) / abs(first)
        return errors

    def _viewer_arguments(self, title):
        return (self.positions, self.names, self.masses, self.steps, self.times,
                self.energy_error(), "m" if self.units == "si" else self.units, title)

    def to_html(self, path, title=None):
        """Writes the run as an interactive viewer page (stellix.to_html): one
        HTML file, no network, thinned for display only."""
        _viewer.to_html(path, *self._viewer_arguments(title))

    def _repr_html_(self):
        return _viewer.iframe(*self._viewer_arguments(None))

    def to_dataframe(self):
        """A tidy pandas table: one row per snapshot and body, with the
        columns snapshot, step, time, body, name and the seven fields."""
        pandas = _import("pandas", "python3-pandas", "trajectory tables")
        count, n = len(self.steps), len(self.masses)
        columns = {
            "snapshot": np.repeat(np.arange(count), n),
            "step": np.repeat(self.steps, n),
            "time": np.repeat(self.times, n),
            "body": np.tile(np.arange(n), count),
            "name": np.tile(np.array(self.names, dtype=object), count),
        }
        for axis, name in enumerate("xyz"):
            columns[name] = self.positions[:, :, axis].reshape(-1)
        for axis, name in enumerate("xyz"):
            columns["v" + name] = self.velocities[:, :, axis].reshape(-1)
        columns["mass"] = np.tile(self.masses, count)
        return pandas.DataFrame(columns)


def record_trajectory(bodies, dt, steps, interval, names=None, units="si"):
    """Advances `bodies` in place as ``stellix.simulate(bodies, dt, steps,
    interval)`` does, to the same bits, and returns a Trajectory with the
    full state at each of its snapshots: the initial state, then the states
    after steps interval+1, 2*interval+1, ... (the library's schedule)."""
    view = as_bodies(bodies, writable=True)
    interval = int(interval)
    if interval < 1:
        raise ValueError("a trajectory needs interval >= 1, not %d" % interval)
    total = max(int(steps), 1)
    count = snapshot_count(total, interval)
    n = len(view)
    positions = np.empty((count, n, 3))
    velocities = np.empty((count, n, 3))
    taken, snapshot_steps = 0, []
    for k in range(count):
        target = 0 if k == 0 else k * interval + 1
        if target > taken:
            simulate(view, dt, target - taken, target - taken, store=False)
            taken = target
        _keep(view, positions[k], velocities[k])
        snapshot_steps.append(taken)
    if total > taken:
        simulate(view, dt, total - taken, total - taken, store=False)
    names = list(names) if names is not None else ["body %d" % (i + 1) for i in range(n)]
    return Trajectory(positions, velocities, view["mass"].copy(), names, snapshot_steps, dt,
                      interval, total, view.copy(), units)


def read_trajectory(path):
    """Reads a trajectory written by Trajectory.to_hdf5 or to_npz, or by the
    program's --trajectory: an .npz file by numpy, anything else by h5py."""
    path = os.fspath(path)
    if path.endswith(".npz"):
        return _read_npz(path)
    h5py = _import("h5py", "python3-h5py", "HDF5 trajectories")
    with h5py.File(path, "r") as source:
        return _read_hdf5(source)


def _keep(view, positions, velocities):
    for axis, name in enumerate("xyz"):
        positions[:, axis] = view[name]
        velocities[:, axis] = view["v" + name]


def _write_hdf5(out, trajectory, h5py):
    out.create_dataset("positions", data=trajectory.positions, dtype="<f8")
    out.create_dataset("velocities", data=trajectory.velocities, dtype="<f8")
    out.create_dataset("masses", data=trajectory.masses, dtype="<f8")
    out.create_dataset("steps", data=trajectory.steps, dtype="<i8")
    out.create_dataset("times", data=trajectory.times, dtype="<f8")
    out.create_dataset("final_state", data=trajectory.final.view(np.float64).reshape(-1, 7),
                       dtype="<f8")
    out.create_dataset("names", data=trajectory.names, dtype=h5py.string_dtype("utf-8"))
    out.attrs["format"] = FORMAT
    out.attrs["format_version"] = np.int64(FORMAT_VERSION)
    out.attrs["stellix_version"] = VERSION
    out.attrs["dt"] = np.float64(trajectory.dt)
    out.attrs["total_steps"] = np.int64(trajectory.total_steps)
    out.attrs["interval"] = np.int64(trajectory.interval)
    out.attrs["units"] = trajectory.units
    out.attrs["fingerprint"] = trajectory.fingerprint


def _read_hdf5(source):
    if source.attrs.get("format") != FORMAT:
        raise ValueError("%s is not a stellix trajectory" % source.filename)
    final = np.ascontiguousarray(source["final_state"][()], dtype=np.float64)
    names = [n.decode("utf-8") if isinstance(n, bytes) else str(n) for n in source["names"][()]]
    return Trajectory(source["positions"][()], source["velocities"][()], source["masses"][()],
                      names, source["steps"][()], source.attrs["dt"], source.attrs["interval"],
                      source.attrs["total_steps"], final.view(BODY).reshape(-1),
                      source.attrs["units"], source["times"][()], source.attrs["fingerprint"])


def _read_npz(path):
    with np.load(path, allow_pickle=False) as data:
        if str(data["meta_format"]) != FORMAT:
            raise ValueError("%s is not a stellix trajectory" % path)
        final = np.ascontiguousarray(data["final_state"], dtype=np.float64)
        return Trajectory(data["positions"], data["velocities"], data["masses"],
                          list(data["names"]), data["steps"], float(data["meta_dt"]),
                          int(data["meta_interval"]), int(data["meta_total_steps"]),
                          final.view(BODY).reshape(-1), str(data["meta_units"]), data["times"],
                          str(data["meta_fingerprint"]))


@contextlib.contextmanager
def _beside(path):
    """The name of a temporary file in the target's own directory, for a
    library (h5py, zipfile) that opens files by name; renamed over the target
    when the block ends without an exception and removed otherwise, so that
    a failed or interrupted write never leaves a partial file in place."""
    output = _replace.Beside(path)
    os.close(output.release())
    name = output.temp if output.temp is not None else output.target
    try:
        yield name
        if output.temp is not None:
            fd = os.open(name, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
    except BaseException:
        output.discard()
        raise
    output.commit()


def _import(module, package, feature):
    try:
        return __import__(module)
    except ImportError as missing:
        raise ImportError("%s need %s (Debian's %s)" % (feature, module, package)) from missing
