#!/usr/bin/python3
"""Perturbed twins of the solar system: copies of the Sun and the eight
planets whose positions differ by about a metre, run side by side as one
ensemble, and how far each twin drifts from the unperturbed system over the
centuries, drawn with matplotlib.

    /usr/bin/python3 examples/perturbed_twins.py [--twins 8] [--years 1000]
                                                 [--seed 1] [--out twins.png]

Twin k is perturbed from (seed, k) alone by a counter-based generator, so the
same command draws the same picture on every machine, whatever runs the
ensemble. Needs numpy and matplotlib (Debian: python3-numpy
python3-matplotlib) and the stellix library (built by scripts/demo; or set
STELLIX_LIBRARY to its file).
"""

import argparse
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "python"))

import numpy as np  # noqa: E402

import stellix  # noqa: E402

DAY = 86400.0
YEAR = 365.25 * DAY


def separations(base, twins):
    """For each twin, the largest distance of any body from its place in the
    unperturbed run, at every snapshot (metres)."""
    return [np.sqrt(((t.positions - base.positions) ** 2).sum(axis=2)).max(axis=1)
            for t in twins]


def save_beside(figure, path):
    """Draws into a file beside `path` and renames it into place: a reader
    never finds half a picture."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(dir=directory, suffix=".png")
    try:
        with os.fdopen(handle, "wb") as out:
            figure.savefig(out, format="png", dpi=120, bbox_inches="tight")
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--twins", type=int, default=8, help="how many perturbed twins")
    parser.add_argument("--years", type=float, default=1000.0, help="length of the run")
    parser.add_argument("--seed", type=int, default=1, help="seed of the perturbations")
    parser.add_argument("--out", default="twins.png", help="picture to write")
    args = parser.parse_args()
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit("perturbed_twins.py needs matplotlib: apt-get install python3-matplotlib")

    bodies, names = stellix.read_bodies(os.path.join(HERE, "solar_system.txt"))
    steps = max(2, int(args.years * YEAR / DAY))
    run = dict(dt=DAY, steps=steps, interval=max(1, steps // 1000))
    # Member 0 is the system itself; the twins are perturbed by up to a
    # metre on each axis.
    members = [dict(run, bodies=bodies)] + stellix.perturbed(
        bodies, args.twins, args.seed, position=1.0, **run)
    results = stellix.ensemble(members, progress=True)
    for result in results:
        if result.error is not None:
            sys.exit("perturbed_twins.py: member %d failed: %s" % (result.index, result.error))
    years = results[0].snapshot_steps * DAY / YEAR

    figure, axes = plt.subplots(figsize=(9, 5.5))
    for k, drift in enumerate(separations(results[0], results[1:])):
        axes.plot(years[1:], drift[1:], lw=1, label="twin %d" % k)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("time (years)")
    axes.set_ylabel("largest distance of a body from its unperturbed place (m)")
    axes.set_title("%d twins of the solar system, seed %d, %d steps of one day"
                   % (args.twins, args.seed, steps))
    axes.legend(fontsize=8, ncol=2)
    save_beside(figure, args.out)
    for result in results[:3]:
        print("member %d: %s" % (result.index, result.fingerprint))
    print("separations drawn in %s" % os.path.abspath(args.out))


if __name__ == "__main__":
    main()
