"""stellix: bit-reproducible direct-summation Newtonian gravity.

Units are metres, seconds and 10^24 kg, in which the library's built-in
constant c^3 (``G``) is Newton's gravitational constant.

Bodies live in a numpy array of dtype ``BODY`` (seven float64 fields x, y, z,
vx, vy, vz, mass), shape (n,). A C-contiguous float64 array of shape (n, 7)
is accepted too and viewed, not copied, so ``simulate`` updates it in place.

Every argument that the C library would trust is checked by the package
first, and a wrong one raises TypeError or ValueError before any memory is
touched. Every failure raises: a run without scratch memory raises
MemoryError, a lost run file or lost standard output raises OSError, and
Ctrl-C stops a long run between two steps with KeyboardInterrupt
(SimulationInterrupted). Every file the package writes is written beside
its target and renamed into place when complete, and a run checkpointed with
``simulate(..., checkpoint=FILE)`` is finished by ``resume(FILE)`` after a
crash with the same bits.
"""

from . import _library
from ._checks import as_bodies, make_bodies
from ._ensemble import EnsembleInterrupted, ensemble
from ._elements import ELEMENTS, System, elements_to_state, state_to_elements, to_elements
from ._files import read_bodies, read_run, save_bodies
from ._fingerprint import fingerprint
from ._library import BODY, MAX_BODIES, G, LibraryNotFoundError, library
from ._member import MemberInterrupted, MemberResult
from ._members import grid, members, perturb, perturbed, uniforms
from ._physics import (
    accelerations,
    center_of_mass,
    energy,
    gravity_factors,
    invsqrt,
    momentum,
    move_to_center_of_mass,
)
from ._run import (
    SimulationInterrupted,
    Snapshots,
    resume,
    simulate,
    snapshot_count,
    snapshot_steps,
)
from ._stdio import print_bodies, print_matrix, print_vector, record_bodies
from ._trajectory import Trajectory, read_trajectory, record_trajectory
from ._units import PRESETS as UNITS
from ._units import Units
from ._viewer import to_html

__version__ = _library.VERSION

__all__ = [
    "BODY",
    "ELEMENTS",
    "G",
    "MAX_BODIES",
    "UNITS",
    "EnsembleInterrupted",
    "LibraryNotFoundError",
    "MemberInterrupted",
    "MemberResult",
    "SimulationInterrupted",
    "Snapshots",
    "System",
    "Trajectory",
    "Units",
    "accelerations",
    "as_bodies",
    "center_of_mass",
    "elements_to_state",
    "energy",
    "ensemble",
    "fingerprint",
    "gravity_factors",
    "grid",
    "invsqrt",
    "library",
    "make_bodies",
    "members",
    "momentum",
    "move_to_center_of_mass",
    "perturb",
    "perturbed",
    "print_bodies",
    "print_matrix",
    "print_vector",
    "read_bodies",
    "read_run",
    "read_trajectory",
    "record_bodies",
    "record_trajectory",
    "resume",
    "save_bodies",
    "simulate",
    "snapshot_count",
    "snapshot_steps",
    "state_to_elements",
    "to_elements",
    "to_html",
    "uniforms",
]
