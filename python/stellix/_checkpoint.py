"""Checkpoints of a run: what ``stellix.resume`` needs to finish it with the
bits and bytes of a run that was never stopped.

A checkpoint holds the run's parameters, the steps done, the exact state of
the bodies, the snapshot positions stored so far, and where the run file
stands: the hidden file it is written to beside its target, and how many of
its bytes are whole snapshots. Text after that length was written after the
checkpoint and is cut off on resume, to be written again from the same
state. The checkpoint itself is replaced whole (written beside, renamed), so
a process killed at any moment leaves the previous checkpoint or the next.
"""

import glob
import io
import json
import os

import numpy as np

from ._library import BODY
from ._replace import replace_file

FORMAT = "stellix checkpoint 1"

# Seconds between checkpoints unless the caller says otherwise.
DEFAULT_EVERY = 60.0


class Checkpoint:
    """Where and how often one run writes its checkpoint."""

    def __init__(self, path, every=DEFAULT_EVERY):
        self.path = os.path.abspath(os.fspath(path))
        self.every = float(every)
        if not self.every >= 0.0 or self.every == float("inf"):
            raise ValueError("checkpoint_every must be a finite number of seconds >= 0, not %r"
                             % (every,))

    def save(self, state):
        """Writes `state` (a dict of parameters, "bodies" and "positions") in
        place of the previous checkpoint."""
        meta = {key: value for key, value in state.items()
                if key not in ("bodies", "positions", "dt")}
        # The time step travels as its exact bits, whatever JSON does with floats.
        meta.update(format=FORMAT, dt=float.hex(state["dt"]), every=self.every)
        buffer = io.BytesIO()
        np.savez(buffer, meta=np.frombuffer(json.dumps(meta).encode(), dtype=np.uint8),
                 bodies=state["bodies"].view(np.float64).reshape(-1, 7),
                 positions=state["positions"])
        replace_file(self.path, buffer.getvalue())

    def remove(self):
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
        self.remove_leftovers()

    def remove_leftovers(self):
        """Removes the hidden files of checkpoints whose writer was killed
        before renaming them: the run that owns this checkpoint is the only
        one that writes them."""
        directory, base = os.path.split(os.path.realpath(self.path))
        for name in glob.glob(os.path.join(glob.escape(directory),
                                           ".%s.stellix-*" % glob.escape(base))):
            try:
                os.unlink(name)
            except FileNotFoundError:
                pass


def load(path):
    """The state a checkpoint holds, as Checkpoint.save was given it, and the
    Checkpoint that goes on writing it."""
    path = os.fspath(path)
    with open(path, "rb") as handle:  # a missing or unreadable file raises OSError as it is
        data = handle.read()
    try:
        with np.load(io.BytesIO(data), allow_pickle=False) as archive:
            meta = json.loads(archive["meta"].tobytes().decode())
            bodies = np.ascontiguousarray(archive["bodies"]).view(BODY).reshape(-1)
            positions = archive["positions"]
    except Exception as error:  # numpy, zipfile and json each fail their own way
        raise ValueError("%s is not a stellix checkpoint (%s)" % (path, error)) from None
    if not isinstance(meta, dict) or meta.get("format") != FORMAT:
        raise ValueError("%s is not a stellix checkpoint of this version" % path)
    state = dict(meta, dt=float.fromhex(meta["dt"]), bodies=bodies, positions=positions)
    return state, Checkpoint(path, meta["every"])
