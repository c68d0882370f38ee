"""One member of an ensemble, run wherever the executor puts it: a thread of
this process, another process, a Dask worker or an MPI rank.

A member never uses the library's own run file: "output.csv" in the current
directory is shared by every thread of a process. Its snapshots are emitted
here between library calls with every channel off, into a file of its own
written beside its target and renamed into place when complete; printed text
is rendered the same way into a private file and handed back, so that the
ensemble can write it to sys.stdout in member order. Splitting a run into
calls keeps every bit (a step depends only on the positions and velocities it
starts from), but each call evaluates the accelerations of its starting state
once more: snapshots closer than a few dozen steps cost up to one extra
evaluation each. A member without text that is expected to be short is one
call with the store channel, which costs nothing.
"""

import ctypes
import errno
import os
import secrets
import tempfile
import time

import numpy as np

from . import _library
from ._checks import as_bodies, body_pointer, path_bytes
from ._fingerprint import fingerprint
from ._library import DoublePointer
from ._run import SimulationInterrupted, _InterruptGuard, snapshot_count
from ._stdio import RunFile

# Aimed duration of one library call: a stop is answered after about this long.
CHUNK_SECONDS = 0.2
# A member without text expected to take less than this is one library call.
SINGLE_CALL_SECONDS = 0.3
SETTINGS = ("bodies", "dt", "steps", "interval", "store", "record", "print")


class MemberInterrupted(SimulationInterrupted):
    """The ensemble was cancelled while this member ran: it stopped after
    `steps` whole steps. Unlike its base it survives pickling, so that it
    crosses from a worker process to the caller."""

    def __reduce__(self):
        return (type(self), (str(self), self.steps, self.positions))


class MemberResult:
    """The outcome of one member. `bodies` is its final state (the state it
    stopped at if it failed after starting, else None), `positions` and
    `snapshot_steps` its stored snapshots and the step after which each was
    taken (None without store), `fingerprint` stellix.fingerprint(bodies) of
    a member that succeeded (None otherwise), `error` None or the exception
    of the member, `record` the run file's path or None."""

    def __init__(self, index, bodies=None, positions=None, snapshot_steps=None,
                 fingerprint=None, error=None, record=None, text=None):
        self.index = index
        self.bodies = bodies
        self.positions = positions
        self.snapshot_steps = snapshot_steps
        self.fingerprint = fingerprint
        self.error = error
        self.record = record
        self.text = text

    def __repr__(self):
        state = "error=%r" % (self.error,) if self.error is not None else self.fingerprint
        return "MemberResult(%d, %s)" % (self.index, state)


def seconds_per_step(n):
    """A generous guess at one step's time for n bodies on a current core."""
    return 1e-9 * n * n + 2e-8 * n


def expected_seconds(settings):
    """A guess at a member's run time from its settings; 0 when they are not
    understood (the member will fail at once)."""
    try:
        return seconds_per_step(len(settings["bodies"])) * max(int(settings["steps"]), 1)
    except (KeyError, TypeError, ValueError, OverflowError):
        return 0.0


def next_chunk(done, total, stride, count, emit, budget):
    """The next library call of a run that has taken `done` of `total` steps:
    (steps, k), where k is the snapshot to emit after it, or None. With
    `emit`, calls end at every snapshot (snapshot k >= 1 is after
    k * stride + 1 steps); stretches longer than `budget` steps are cut in
    even pieces."""
    target = total
    following = (1 if done == 0 else (done - 1) // stride + 1) if emit else count
    if following < count:
        target = min(target, following * stride + 1)
    remaining = target - done
    pieces = -(-remaining // max(budget, 1))
    steps = -(-remaining // pieces)
    if following < count and done + steps == target:
        return steps, following
    return steps, None


class _Stop:
    """Whether the ensemble was cancelled: an event in the caller's process,
    a marker file elsewhere (pickling keeps only the file's path)."""

    def __init__(self, path, event=None, report=None):
        self.path = path
        self.event = event
        self.report = report

    def __getstate__(self):
        return {"path": self.path, "event": None, "report": None}

    def fired(self):
        if self.event is not None:
            return self.event.is_set()
        return os.path.exists(self.path)

    def steps(self, count):
        if self.report is not None:
            self.report(count)


def _load(path):
    """The library: a worker that has none loaded yet and no STELLIX_LIBRARY
    of its own loads the caller's file where it exists on this machine."""
    if (_library._loaded is None and not os.environ.get(_library.ENV_VARIABLE) and path
            and os.path.isfile(path)):
        _library._loaded = _library.load(path)
    return _library.library()


class _TextFile:
    """Snapshot text to `target`, written to a new file beside it that is
    renamed over it only when complete."""

    def __init__(self, lib, target):
        self.target = target
        directory, name = os.path.split(target)
        self.temporary = os.path.join(directory, ".%s.%s.tmp" % (name, secrets.token_hex(6)))
        self.stream = RunFile(lib, path_bytes(self.temporary), b"wx")
        self.stream.path = target

    def write(self, pointer, n):
        self.stream.write(pointer, n)

    def finish(self):
        """Closes the file and renames it into place; raises OSError."""
        self.stream.close()
        if self.stream.error:
            raise OSError(self.stream.error, "the run file could not be written: %s"
                          % os.strerror(self.stream.error), self.target)
        descriptor = os.open(self.temporary, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(self.temporary, self.target)

    def discard(self):
        self.stream.close()
        try:
            os.unlink(self.temporary)
        except OSError:
            pass


class _PrintText(_TextFile):
    """Printed snapshot text, kept in a private file and read back."""

    def __init__(self, lib):
        super().__init__(lib, os.path.join(tempfile.gettempdir(), "stellix-print"))

    def finish(self):
        self.stream.close()
        try:
            if self.stream.error:
                raise OSError(self.stream.error, "the printed text could not be kept: %s"
                              % os.strerror(self.stream.error), self.temporary)
            with open(self.temporary, "rb") as kept:
                return kept.read()
        finally:
            self.discard()


class _Member:
    """The run of one member, its settings checked as simulate checks them."""

    def __init__(self, lib, settings, stop):
        unknown = sorted(set(settings) - set(SETTINGS))
        if unknown or "bodies" not in settings:
            raise TypeError("a member is a mapping of simulate's keyword arguments %s; got %s"
                            % (", ".join(SETTINGS), ", ".join(unknown) or "no bodies"))
        self.lib, self.stop = lib, stop
        self.view = as_bodies(settings["bodies"]).copy()
        self.n = len(self.view)
        self.dt = float(settings["dt"])
        self.steps, self.interval = settings["steps"], settings.get("interval", 1)
        self.count = snapshot_count(self.steps, self.interval)
        self.steps, self.interval = int(self.steps), int(self.interval)
        self.total, self.stride = max(self.steps, 1), abs(self.interval)
        self.record = settings.get("record") or None
        self.print = bool(settings.get("print", False))
        self.store = bool(settings.get("store", True))
        self.positions = (np.zeros((self.count, self.n, 3)) if self.store else None)
        self.done = 0
        self.outputs = []

    def snapshot_steps(self):
        if not self.store:
            return None
        return np.array([0] + [k * self.stride + 1 for k in range(1, self.count)],
                        dtype=np.int64)

    def _call(self, steps, store=0, pointer=None, interval=None):
        start = time.perf_counter()
        ctypes.set_errno(0)
        self.lib.simulate(body_pointer(self.view), self.n, self.dt, steps,
                          interval or self.stride, 0, store, 0, pointer)
        if ctypes.get_errno() == errno.ENOMEM:
            raise MemoryError("the run could not obtain its scratch memory for %d bodies after "
                              "%d steps" % (self.n, self.done))
        return time.perf_counter() - start

    def run(self):
        """Runs the member; returns its printed text (bytes) or None."""
        text = self.record is not None or self.print
        per_step = seconds_per_step(self.n)
        if not text and per_step * self.total < SINGLE_CALL_SECONDS:
            pointer = self.positions.ctypes.data_as(DoublePointer) if self.store else None
            self._call(self.steps, int(self.store), pointer, self.interval)
            self.done = self.total
            self.stop.steps(self.total)
            return None
        with _InterruptGuard() as signals:
            return self._chunks(per_step, signals)

    def _chunks(self, per_step, signals):
        record = _TextFile(self.lib, self.record) if self.record is not None else None
        printed = _PrintText(self.lib) if self.print else None
        self.outputs = [out for out in (printed, record) if out is not None]
        self._emit(0)
        while self.done < self.total:
            budget = max(1, int(CHUNK_SECONDS / per_step)) if per_step > 0 else self.total
            steps, snapshot = next_chunk(self.done, self.total, self.stride, self.count,
                                         bool(self.outputs) or self.store, budget)
            per_step = self._call(steps) / steps
            self.done += steps
            self.stop.steps(steps)
            if snapshot is not None:
                self._emit(snapshot)
            if self.done < self.total and (signals.fired or self.stop.fired()):
                raise MemberInterrupted(
                    "the ensemble was cancelled; this member stopped after %d of %d steps"
                    % (self.done, self.total), self.done, self.positions)
        if record is not None:
            record.finish()
        self.outputs = []
        return printed.finish() if printed is not None else None

    def _emit(self, k):
        pointer = body_pointer(self.view)
        for out in self.outputs:
            out.write(pointer, self.n)
        if self.store:
            slot, view = self.positions[k], self.view
            slot[:, 0], slot[:, 1], slot[:, 2] = view["x"], view["y"], view["z"]

    def discard(self):
        for out in self.outputs:
            out.discard()


def run_member(index, settings, library_path, stop):
    """Runs member `index` and returns its MemberResult; every failure of the
    member is its result's error. A member that finds the ensemble cancelled
    before it starts returns None."""
    if stop.fired():
        return None
    member = None
    try:
        member = _Member(_load(library_path), settings, stop)
        text = member.run()
    except (Exception, MemberInterrupted) as error:
        if member is not None:
            member.discard()
        bodies = None if member is None or member.done == 0 else member.view
        return MemberResult(index, bodies, error=error, record=settings.get("record") or None)
    return MemberResult(index, member.view, member.positions, member.snapshot_steps(),
                        fingerprint(member.view), None, member.record, text)


class Batch:
    """Members that travel to a worker as one task: their indices and
    settings, the library's path and the ensemble's stop."""

    def __init__(self, indices, settings, library_path, stop):
        self.indices = list(indices)
        self.settings = list(settings)
        self.library_path = library_path
        self.stop = stop

    def __dask_tokenize__(self):
        # Dask names a task after its arguments, and would otherwise render
        # every body array as text to do it. The stop's marker is unique to
        # the ensemble, and the first index to the batch within it.
        return (self.stop.path, self.indices[0], len(self.indices))


def run_batch(batch):
    """Runs a batch's members one after the other; returns their results in
    the batch's order."""
    return [run_member(k, settings, batch.library_path, batch.stop)
            for k, settings in zip(batch.indices, batch.settings)]
