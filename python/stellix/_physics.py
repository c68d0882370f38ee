"""The physics of a body array: the library's gravity factors and
accelerations, and the quantities every N-body user checks (energy,
momentum, centre of mass).

The quantities are computed in the order and grouping the command-line
program uses, sum by sum in body order (numpy's own sums are pairwise and
would differ in the last bits): the energy is the program's to the bit, and
move_to_center_of_mass does what its --com does. The program computes no
momentum; momentum and the centre of mass are summed the same way.
"""

import numpy as np

from ._checks import apart, as_bodies, body_pointer, doubles
from ._library import G, library


def gravity_factors(bodies):
    """The (n, n) gravity factor matrix (c / r_ij)^3, +0.0 on the diagonal."""
    view = as_bodies(bodies)
    n = len(view)
    matrix = np.empty((n, n), dtype=np.float64)
    library().getInverseDistanceCubedMatrix(
        body_pointer(view), n, doubles(matrix, "matrix", (n, n), True)
    )
    return matrix


def accelerations(bodies, matrix=None):
    """The (n, 3) accelerations (m/s^2) of all bodies. `matrix`, if given, is
    an (n, n) float64 scratch array that receives the gravity factor matrix."""
    view = as_bodies(bodies)
    n = len(view)
    if matrix is None:
        matrix = np.empty((n, n), dtype=np.float64)
    result = np.empty((n, 3), dtype=np.float64)
    matrix_pointer = doubles(matrix, "matrix", (n, n), True)
    apart(view, "bodies", matrix, "matrix")
    library().getAccelerationVectorArray(
        body_pointer(view),
        n,
        doubles(result, "accelerations", (n, 3), True),
        matrix_pointer,
    )
    return result


def invsqrt(x):
    """1.0 / sqrt(x) as the library computes it."""
    return library().invsqrt(float(x))


def _sum(terms, start=0.0):
    """start + terms[0] + terms[1] + ..., left to right like a C loop."""
    return float(np.add.accumulate(np.concatenate(([start], terms)))[-1])


def _columns(view):
    rows = view.view(np.float64).reshape(len(view), 7)
    return rows[:, 0:3], rows[:, 3:6], rows[:, 6]


def energy(bodies):
    """The total energy in 10^24 J: kinetic sum_i (m_i/2) v_i^2 plus potential
    -sum_{i<j} G m_i m_j / r_ij, summed in body order exactly as the
    command-line program sums it, so both give the same bits. Coincident
    bodies give an infinite or NaN result, as in C."""
    view = as_bodies(bodies)
    position, velocity, mass = _columns(view)
    vx, vy, vz = velocity.T
    kinetic = _sum((0.5 * mass) * ((vx * vx + vy * vy) + vz * vz))
    potential = 0.0
    x, y, z = position.T
    with np.errstate(divide="ignore", invalid="ignore"):
        for i in range(len(view) - 1):
            dx, dy, dz = x[i] - x[i + 1:], y[i] - y[i + 1:], z[i] - z[i + 1:]
            r = np.sqrt((dx * dx + dy * dy) + dz * dz)
            terms = ((G * mass[i]) * mass[i + 1:]) / r
            potential = float(np.subtract.accumulate(np.concatenate(([potential], terms)))[-1])
    return kinetic + potential


def momentum(bodies):
    """The total momentum sum_i m_i v_i as a float64 array (3,), in
    10^24 kg m/s."""
    _, velocity, mass = _columns(as_bodies(bodies))
    return np.array([_sum(mass * velocity[:, k]) for k in range(3)])


def _moments(view):
    position, velocity, mass = _columns(view)
    total = _sum(mass)
    if not total > 0:
        raise ValueError("the centre of mass needs a positive total mass, got %r" % total)
    r = np.array([_sum(mass * position[:, k]) for k in range(3)])
    p = np.array([_sum(mass * velocity[:, k]) for k in range(3)])
    return r, p, total


def center_of_mass(bodies):
    """(position, velocity) of the centre of mass: two float64 arrays (3,),
    in metres and m/s. Raises ValueError if the total mass is not positive."""
    r, p, total = _moments(as_bodies(bodies))
    return r / total, p / total


def move_to_center_of_mass(bodies):
    """Moves `bodies` in place into their centre-of-mass frame: subtracts the
    centre of mass's position and velocity from every body, as the
    command-line program's --com does, bit for bit."""
    view = as_bodies(bodies, writable=True)
    position, velocity = center_of_mass(view)
    rows = view.view(np.float64).reshape(len(view), 7)
    rows[:, 0:3] -= position
    rows[:, 3:6] -= velocity
