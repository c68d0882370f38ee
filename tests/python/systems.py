"""Seeded systems and bit comparisons shared by the Python tests."""

import numpy as np

import stellix


def bits(array):
    return np.ascontiguousarray(array, dtype=np.float64).view(np.uint64)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and bool((bits(a) == bits(b)).all())


def seeded_system(n, seed):
    """n bodies drawn uniformly and independently from a generator seeded with
    `seed`: positions within 2e11 m (1.3 AU) of the origin on each axis,
    velocities within 3e4 m/s on each axis, masses from 1e-3 to 2e3 (10^24 kg).
    Noise at planetary scales, not a bound or rotating system."""
    rng = np.random.Generator(np.random.PCG64(seed))
    rows = np.empty((n, 7))
    rows[:, 0:3] = rng.uniform(-2e11, 2e11, (n, 3))
    rows[:, 3:6] = rng.uniform(-3e4, 3e4, (n, 3))
    rows[:, 6] = rng.uniform(1e-3, 2e3, n)
    return stellix.make_bodies(rows)
