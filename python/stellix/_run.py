"""The run behind ``stellix.simulate``: failures raised, Ctrl-C honoured.

A long run is made of several library calls ("chunks") with every channel
off, and the snapshots are emitted here between them, through the library's
own printBodies/recordBodies, so that a Ctrl-C, a progress bar and a redirected
``sys.stdout`` can be served between chunks. This keeps every bit of a single
call: a step depends only on the positions and velocities it starts from, and
the text of a snapshot is the library's text of that state.

What chunking costs: each call evaluates the accelerations of its starting
state once more than a single call would (a call of k steps evaluates them
k + 1 times). Chunks are therefore at least MIN_CHUNK steps long wherever the
schedule allows, which keeps that cost under 2%. For very many bodies one step
takes long (about 0.6 ns * n^2 on a current x86 core: 6 ms at n = 3000,
1.3 s at n = 46340), and a chunk of MIN_CHUNK steps takes MIN_CHUNK times
that: from about n = 2500 on, Ctrl-C is answered after up to MIN_CHUNK steps
(up to 3 * MIN_CHUNK when dense snapshots are stored), not within a second.

Snapshots that must be emitted here cut the chunks. When only positions are
stored and snapshots are closer than MIN_CHUNK steps, the library's store
channel fills the positions inside each chunk instead (see
Run._store_chunks); when text is printed or recorded that often, each
snapshot would cost one extra evaluation (up to +70% for text at every step
of 1000 bodies), so such a run is one call, which Ctrl-C stops only at its
end, unless a progress bar was asked for or sys.stdout is not the process's
standard output: then it is cut at every snapshot and pays that cost. A run short enough to finish within
SINGLE_CALL_SECONDS is made in one call and pays nothing, unless it records
a run file: sparse snapshots cost little in chunks, and there the run file
is written beside output.csv and renamed into place, whole or not at all.
A checkpointed run is always chunked (see _checkpoint).
"""

import ctypes
import errno
import math
import os
import signal
import sys
import threading
import time

import numpy as np

from . import _checkpoint
from ._checks import as_bodies, body_pointer, check_int32, check_time_step
from ._library import DoublePointer, library
from ._replace import Beside
from ._stdio import RunFile, StdoutText, run_file_path, stdout_is_process_stdout, strerror

# Aimed duration of one library call: Ctrl-C is answered after about this long.
CHUNK_SECONDS = 0.2
# Runs expected to take less than this are one library call.
SINGLE_CALL_SECONDS = 0.5
# Fewest steps per chunk: its one extra evaluation then costs under 1.6%.
MIN_CHUNK = 64

# Seconds per pair of bodies per step, refined by every run of some size.
_pair_seconds = 1e-9


class SimulationInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped ``simulate`` between two steps. `steps` steps were
    taken, the bodies hold the state after them, and `positions` holds the
    snapshots emitted so far (the rest are zeros), or None without store."""

    def __init__(self, message, steps, positions):
        super().__init__(message)
        self.steps = steps
        self.positions = positions

    def __reduce__(self):
        # pickle and copy rebuild an exception from its args alone, which
        # hold the message only: a process pool would fail to send it back.
        return (type(self), (self.args[0], self.steps, self.positions), self.__dict__)


def _estimate(n, steps, snapshots=0):
    """Expected seconds of `steps` steps and `snapshots` snapshots of text."""
    return steps * (_pair_seconds * n * n + 2e-8 * n) + snapshots * 5e-7 * n


def _learn(n, steps, seconds):
    global _pair_seconds
    if n >= 64 and steps > 0 and seconds > 0:
        _pair_seconds = seconds / (steps * n * n)


class _InterruptGuard:
    """Turns SIGINT into a flag for the duration of a run (main thread only,
    and only while Python's own handler is installed)."""

    def __enter__(self):
        self.fired = False
        self._previous = None
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self._previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def _handle(self, signum, frame):
        self.fired = True

    def __exit__(self, *exc):
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
        return False


class _Progress:
    """A one-line progress bar on standard error, redrawn at most ten times a
    second. A bar that cannot be drawn (a closed pipe, a full disk) is turned
    off: it is a courtesy, and must never stop the run it reports on."""

    WIDTH = 30

    def __init__(self, total):
        self._total = total
        self._start = time.monotonic()
        self._drawn = 0.0
        self._stream = sys.stderr

    def update(self, done, force=False):
        now = time.monotonic()
        if self._stream is None or (not force and now - self._drawn < 0.1):
            return
        self._drawn = now
        filled = self.WIDTH * done // self._total
        self._draw("\rsimulate [%s%s] %3d%% %d/%d steps %.1f s" % (
            "#" * filled, "." * (self.WIDTH - filled), 100 * done // self._total, done,
            self._total, now - self._start))

    def _draw(self, text):
        try:
            self._stream.write(text)
            self._stream.flush()
        except Exception:
            self._stream = None

    def close(self, done):
        self.update(done, force=True)
        if self._stream is not None:
            self._draw("\n")


def _run_file_error(code, path, steps, positions):
    error = OSError(code, "the run file could not be written (%s); the previous file was left "
                    "as it was, the run finished all %d steps and the bodies hold its final "
                    "state" % (strerror(code), steps), path)
    error.positions = positions
    return error


def _raise_outcome(run_file_code, run_file_path, stdout, steps, positions):
    """Raises the first thing that was lost, the run file before standard output."""
    if run_file_code:
        error = _run_file_error(run_file_code, run_file_path, steps, positions)
        if stdout is not None and stdout.error is not None:
            raise error from stdout.error
        raise error
    if stdout is not None and stdout.error is not None:
        stdout.error.positions = positions
        raise stdout.error


class Snapshots(np.ndarray):
    """The positions ``simulate`` stored, float64 (S, n, 3), with the step
    number of each snapshot (`steps`, int64: 0, then interval+1,
    2*interval+1, ...) and its simulated time in seconds (`times`, steps *
    dt). An array derived from it keeps them while it has the same shape,
    and has None otherwise: a slice no longer holds one row per snapshot."""

    def __array_finalize__(self, obj):
        same = obj is not None and getattr(obj, "shape", None) == self.shape
        self.steps = getattr(obj, "steps", None) if same else None
        self.times = getattr(obj, "times", None) if same else None

    def __reduce__(self):
        constructor, arguments, state = super().__reduce__()
        return constructor, arguments, (state, self.steps, self.times)

    def __setstate__(self, state):
        array_state, self.steps, self.times = state
        super().__setstate__(array_state)


def snapshot_steps(steps, interval):
    """The step after which each snapshot of a run is taken, as int64: 0 for
    the initial state, then k*|interval| + 1 for k >= 1 (the library's
    schedule)."""
    count = snapshot_count(steps, interval)
    numbers = np.arange(count, dtype=np.int64) * abs(int(interval)) + 1
    numbers[0] = 0
    return numbers


def _new_snapshots(dt, steps, interval, n):
    numbers = snapshot_steps(steps, interval)
    positions = np.zeros((len(numbers), n, 3), dtype=np.float64).view(Snapshots)
    positions.steps = numbers
    positions.times = numbers * dt
    return positions


class Run:
    """One simulate call. `view` is the (n,) BODY array, `positions` the
    (S, n, 3) array or None. A resumed run starts with `done` steps done,
    the positions of its first snapshots filled in, and `run_file` open."""

    def __init__(self, lib, view, dt, steps, interval, store, record, print_, positions,
                 progress, checkpoint=None):
        self.lib = lib
        self.view = view
        self.n = len(view)
        self.dt = dt
        self.steps = steps
        self.interval = interval
        self.total = max(steps, 1)
        self.stride = abs(interval)
        self.count = 1 if interval == 0 or steps < 1 else 1 + (steps - 1) // self.stride
        self.store = store
        self.record = record
        self.print = print_
        self.positions = positions
        self.progress = progress
        self.checkpoint = checkpoint
        self.target = run_file_path() if record else None
        self.run_file = None
        self.done = 0
        self.saved = time.monotonic()

    def snapshot_step(self, k):
        return 0 if k == 0 else k * self.stride + 1

    def pointer(self, bodies=None):
        return body_pointer(self.view if bodies is None else bodies)

    def execute(self):
        text = self.record or self.print
        # Text closer than MIN_CHUNK steps would cost an extra evaluation per
        # snapshot in chunks: such a run is one call unless a progress bar
        # was asked for (or sys.stdout needs the text), and Ctrl-C then takes
        # effect when it ends. Sparser text is recorded in chunks, which
        # write the run file beside its place and rename it there.
        dense_text = text and 0 < self.stride < MIN_CHUNK
        single = self.n == 0 or (
            self.checkpoint is None
            and not self.progress
            and not (self.print and not stdout_is_process_stdout())
            and (dense_text
                 or (not self.record
                     and _estimate(self.n, self.total, self.count if text else 0)
                     < SINGLE_CALL_SECONDS))
        )
        with _InterruptGuard() as guard:
            self.guard = guard
            if single:
                return self._single()
            if (text or self.stride == 0 or self.stride >= MIN_CHUNK or not self.store
                    or self.done % self.stride):
                return self._chunks()
            return self._store_chunks()

    # One library call with every channel it needs.

    def _single(self):
        lib = self.lib
        stdout = StdoutText(lib) if self.print else None
        pointer = (self.positions.ctypes.data_as(DoublePointer)
                   if self.store else None)
        start = time.perf_counter()
        ctypes.set_errno(0)
        lib.simulate(self.pointer(), self.n, self.dt, self.steps, self.interval,
                     int(self.record), int(self.store), int(self.print), pointer)
        code = ctypes.get_errno()
        _learn(self.n, self.total, time.perf_counter() - start)
        if stdout is not None:
            stdout.close()
        if code == errno.ENOMEM:
            raise MemoryError(self._memory_message())
        self.done = self.total
        _raise_outcome(code if self.record else 0, run_file_path(), stdout, self.total,
                       self.positions)
        self._check_interrupt()
        return self.positions

    # Chunks with every channel off; snapshots emitted here.

    def _call(self, bodies, steps, store=0, pointer=None):
        start = time.perf_counter()
        ctypes.set_errno(0)
        self.lib.simulate(self.pointer(bodies), self.n, self.dt, steps, self.stride or 1, 0,
                          store, 0, pointer)
        if ctypes.get_errno() == errno.ENOMEM:
            raise MemoryError(self._memory_message())
        seconds = time.perf_counter() - start
        _learn(self.n, steps, seconds)
        return seconds

    def _memory_message(self):
        if self.done == 0:
            return ("simulate could not obtain its scratch memory for %d bodies; nothing was "
                    "done and the bodies are unchanged" % self.n)
        return ("simulate could not obtain its scratch memory after %d of %d steps; the bodies "
                "hold the state after step %d" % (self.done, self.total, self.done))

    def _budget(self, seconds_per_step, least):
        if seconds_per_step <= 0:
            return max(least, 1)
        return max(least, int(CHUNK_SECONDS / seconds_per_step), 1)

    def _emitted(self):
        """How many snapshots lie at or before the current step."""
        if self.done == 0 or self.stride == 0:
            return 1
        return min(self.count, 1 + (self.done - 1) // self.stride)

    def _check_interrupt(self):
        if self.guard.fired:
            emitted = self._emitted() if self.done else 0
            raise SimulationInterrupted(
                "simulate was interrupted after %d of %d steps; the bodies hold the state after "
                "step %d, and %d of %d snapshots were emitted"
                % (self.done, self.total, self.done, emitted, self.count),
                self.done, self.positions)

    def _chunk_steps(self, following, per_step):
        """The length of the next chunk, which ends at the next snapshot to
        emit (`following`) or at the end of the run."""
        target = self.total
        if following < self.count:
            target = min(target, self.snapshot_step(following))
        remaining = target - self.done
        # Even pieces, so that no chunk of a long stretch is short.
        pieces = math.ceil(remaining / self._budget(per_step, MIN_CHUNK))
        return math.ceil(remaining / pieces)

    def _emit_initial(self, initial, stdout, run_file):
        """Writes snapshot 0, now that the first chunk has obtained its
        scratch memory."""
        pointer = self.pointer(initial)
        if stdout is not None:
            stdout.write(pointer, self.n)
        if run_file is not None:
            run_file.write(pointer, self.n)

    def _emit(self, k, stdout, run_file):
        """Writes and stores snapshot k, the current state of the bodies."""
        pointer = self.pointer()
        if stdout is not None:
            stdout.write(pointer, self.n)
        if run_file is not None:
            run_file.write(pointer, self.n)
        if self.store:
            slot, view = self.positions[k], self.view
            slot[:, 0], slot[:, 1], slot[:, 2] = view["x"], view["y"], view["z"]

    def _following(self):
        """The next snapshot to emit; with no channel on there is none, and
        nothing cuts the chunks."""
        if not (self.record or self.print or self.store):
            return self.count
        return self._emitted() if self.done else 1

    def _chunks(self):
        view = self.view
        out = _Outputs(self, StdoutText(self.lib) if self.print else None)
        initial = view.copy() if self.done == 0 and (self.record or self.print) else None
        if self.store and self.done == 0:
            self.positions[0] = np.stack([view["x"], view["y"], view["z"]], axis=1)
        per_step = _estimate(self.n, 1)
        following = self._following()
        with out:
            while self.done < self.total:
                steps = self._chunk_steps(following, per_step)
                per_step = self._call(view, steps) / steps
                if self.done == 0 and initial is not None:
                    self._emit_initial(initial, out.stdout, out.run_file)
                self.done += steps
                if following < self.count and self.done == self.snapshot_step(following):
                    self._emit(following, out.stdout, out.run_file)
                    following += 1
                out.after_chunk()
        run_file = out.run_file
        _raise_outcome(run_file.error if run_file else 0, run_file.path if run_file else None,
                       out.stdout, self.total, self.positions)
        return self.positions

    # Chunks whose store channel is on, for snapshots closer than MIN_CHUNK.

    def _store_chunks(self):
        """A call that starts at step m*stride stores snapshots m+1, m+2, ...
        in their places (snapshot j of the call, j >= 1, is after m*stride +
        j*stride + 1 steps). Its snapshot 0 is not a snapshot of the run; it
        lands in slot m and is replaced by snapshot m, which is after one
        step more and is taken from one step of a copy. Each chunk therefore
        evaluates the accelerations three times more than one call, so it is
        at least 3 * MIN_CHUNK steps long, a multiple of the stride."""
        view, n, stride = self.view, self.n, self.stride
        per_step = _estimate(n, 1)
        with _Outputs(self) as out:
            while self.done < self.total:
                steps = self._budget(per_step, 3 * MIN_CHUNK)
                steps = min(math.ceil(steps / stride) * stride, self.total - self.done)
                slot = self.done // stride
                following = None
                if self.done > 0:
                    ahead = view.copy()
                    self._call(ahead, 1)
                    following = np.stack([ahead["x"], ahead["y"], ahead["z"]], axis=1)
                pointer = self.positions[slot].ctypes.data_as(DoublePointer)
                per_step = self._call(view, steps, 1, pointer) / steps
                if following is not None:
                    self.positions[slot] = following
                self.done += steps
                out.after_chunk()
        return self.positions

    # Checkpoints.

    def state(self, run_file):
        """What a checkpoint holds after the steps done so far, or None when
        the run file has failed and nothing can go on from it."""
        length = 0
        if run_file is not None:
            length = run_file.sync()
            if length is None:
                return None
        emitted = self._emitted() if self.done else 0
        positions = (self.positions[:emitted] if self.store
                     else np.zeros((0, self.n, 3)))
        partial = run_file.output.temp if run_file is not None else None
        return dict(n=self.n, dt=self.dt, steps=self.steps, interval=self.interval,
                    store=self.store, record=self.record, print=self.print, done=self.done,
                    run_file=self.target, partial=partial, length=length,
                    bodies=self.view, positions=np.asarray(positions))

    def save_checkpoint(self, run_file, force=False):
        if self.checkpoint is None:
            return
        now = time.monotonic()
        if not force and now - self.saved < self.checkpoint.every:
            return
        state = self.state(run_file)
        if state is not None:
            try:
                self.checkpoint.save(state)
            except OSError as error:
                raise OSError(error.errno, "the checkpoint could not be written (%s); the run "
                              "stopped after %d of %d steps, the bodies hold the state after "
                              "them, and the previous checkpoint is intact"
                              % (strerror(error.errno), self.done, self.total),
                              self.checkpoint.path) from None
        self.saved = now


class _Outputs:
    """What a chunked run draws and writes besides the bodies, and how each
    way out of the run leaves it: a finished or interrupted run puts its run
    file in place, a failed one leaves the previous file as it was. With a
    checkpoint, an interruption or failure keeps the hidden run file that
    the checkpoint names, so that ``resume`` can go on with it."""

    def __init__(self, run, stdout=None):
        self.run = run
        self.stdout = stdout
        self.run_file = run.run_file
        self.bar = _Progress(run.total) if run.progress else None

    def __enter__(self):
        run = self.run
        if run.done == 0:
            # The hidden run file exists from the start, so that the first
            # checkpoint names it: one that came later would be left behind
            # by a process killed before then. A run that fails removes it.
            if run.record and self.run_file is None:
                self.run_file = RunFile(run.lib, output=run.target)
            run.save_checkpoint(self.run_file, force=True)
        return self

    def after_chunk(self):
        if self.bar is not None:
            self.bar.update(self.run.done)
        self.run.save_checkpoint(self.run_file)
        self.run._check_interrupt()

    def __exit__(self, kind, value, traceback):
        outcome = ("done" if kind is None
                   else "interrupted" if issubclass(kind, SimulationInterrupted) else "failed")
        if self.bar is not None:
            self.bar.close(self.run.done)
        if self.stdout is not None:
            self.stdout.close()
        if self.run.checkpoint is not None:
            self._leave_checkpointed(outcome)
        elif self.run_file is not None:
            if outcome == "failed":
                self.run_file.discard()
            else:
                self.run_file.commit()
        return False

    def _leave_checkpointed(self, outcome):
        run, run_file = self.run, self.run_file
        failed = run_file is not None and run_file.error
        if outcome == "failed" or failed:
            if run_file is not None:
                run_file.close()
            return
        if outcome == "done" and run_file is None:
            run.checkpoint.remove()
            return
        # A finished run checkpoints too: one killed before the rename below
        # learns from it that only the rename is left.
        run.save_checkpoint(run_file, force=True)
        if run_file is None:
            return
        if outcome == "interrupted":
            run_file.close()
            run_file.output.publish_copy()
            return
        run_file.commit()
        if not run_file.error:
            run.checkpoint.remove()


def snapshot_count(steps, interval):
    """How many snapshots a run of `steps` steps with stride `interval` emits:
    1 + (steps - 1) // |interval| for steps >= 1, else 1."""
    steps = check_int32(steps, "steps")
    interval = check_int32(interval, "interval")
    if interval == 0:
        raise ValueError("interval must be nonzero")
    return 1 + (steps - 1) // abs(interval) if steps >= 1 else 1


def simulate(bodies, dt, steps, interval=1, *, store=True, record=False, print=False,
             progress=False, checkpoint=None, checkpoint_every=_checkpoint.DEFAULT_EVERY):
    """Advances `bodies` in place by velocity Verlet, max(steps, 1) steps of
    `dt` seconds (a finite number), and returns the stored snapshot positions
    as a float64 array of shape (S, n, 3), S = snapshot_count(steps,
    interval), whose `steps` and `times` say after which step and at what
    time (seconds) each snapshot was taken: snapshot 0 is the initial state,
    snapshot k >= 1 the state after k*|interval| + 1 steps. With
    store=False nothing is stored and None is returned.

    record=True also writes the snapshots to "output.csv" in the current
    directory (replacing it); print=True writes them to sys.stdout, in order
    with Python's own output. progress=True draws a progress bar on
    standard error.

    checkpoint="FILE" writes a checkpoint to FILE at the start, about every
    `checkpoint_every` seconds, and when the run is interrupted; a run killed
    at any moment is finished by stellix.resume(FILE) with the bits and
    bytes of a run never stopped. The checkpoint is removed when the run
    ends well.

    Raises MemoryError if the run's scratch memory could not be obtained
    (the bodies are then unchanged), and OSError (errno, message, file name)
    if the run file or standard output could not be written in full; the run
    has then finished, the bodies hold its final state, and the stored
    positions are the exception's `positions`. Ctrl-C stops a long run
    between two steps with SimulationInterrupted, a KeyboardInterrupt that
    says how many steps were taken (its `steps`; the bodies hold the state
    after them) and carries the positions stored so far. A run that is not
    interrupted gives the same bits as a single library call.
    """
    view = as_bodies(bodies, writable=True)
    dt = check_time_step(dt)
    steps, interval = check_int32(steps, "steps"), check_int32(interval, "interval")
    snapshot_count(steps, interval)
    saver = None if checkpoint is None else _checkpoint.Checkpoint(checkpoint, checkpoint_every)
    positions = _new_snapshots(dt, steps, interval, len(view)) if store else None
    run = Run(library(), view, dt, steps, interval, bool(store), bool(record), bool(print),
              positions, bool(progress), saver)
    return run.execute()


def resume(checkpoint, *, progress=False):
    """Finishes the run that wrote the checkpoint file `checkpoint`, from the
    state it holds, and returns (bodies, positions): the final state as a
    new BODY array and the positions of every snapshot of the whole run, as
    simulate returns them. The run file, if the run records one, ends byte
    for byte as that of a run never stopped; snapshots printed to sys.stdout
    resume after the checkpoint's step. Raises as simulate does, and
    ValueError for a file that is not a checkpoint or whose run file is gone."""
    state, saver = _checkpoint.load(checkpoint)
    saver.remove_leftovers()
    view = state["bodies"]
    dt, steps, interval = state["dt"], state["steps"], state["interval"]
    positions = None
    if state["store"]:
        positions = _new_snapshots(dt, steps, interval, len(view))
        positions[:len(state["positions"])] = state["positions"]
    run = Run(library(), view, dt, steps, interval, state["store"], state["record"],
              state["print"], positions, bool(progress), saver)
    run.done, run.target = state["done"], state["run_file"]
    run.run_file = _reopened_run_file(run, state)
    return view, run.execute()


def _reopened_run_file(run, state):
    """The run file to go on with, cut to what the checkpoint vouches for;
    None for a run without one, or whose file is already in place."""
    if not state["record"]:
        return None
    partial = state["partial"]
    if partial is not None and os.path.exists(partial):
        return RunFile(run.lib, mode=b"a",
                       output=Beside.reopen(state["run_file"], partial, state["length"]))
    if state["done"] == 0 or (state["done"] == run.total and os.path.exists(state["run_file"])):
        return None  # not begun, or renamed into place just before the checkpoint was removed
    raise ValueError("the run file that %s continues (%s) is gone"
                     % (run.checkpoint.path, partial or state["run_file"]))
