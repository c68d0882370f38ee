#!/usr/bin/python3
"""Plots the stellix program's run with matplotlib: by default the Sun and the
eight planets for one year (examples/solar_system.txt, the program's built-in
system).

    /usr/bin/python3 examples/plot_orbits.py [BODY_FILE] [--dt S] [--steps N]
                                             [--out orbits.png]

Needs numpy and matplotlib (Debian: python3-numpy python3-matplotlib) and the
stellix library (built by scripts/demo; or set STELLIX_LIBRARY to its file).
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "python"))

import numpy as np  # noqa: E402

import stellix  # noqa: E402

AU = 1.495978707e11


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("body_file", nargs="?", default=os.path.join(HERE, "solar_system.txt"))
    parser.add_argument("--dt", type=float, default=3600.0, help="time step in seconds")
    parser.add_argument("--steps", type=int, default=8766, help="number of steps")
    parser.add_argument("--out", default="orbits.png", help="picture to write")
    args = parser.parse_args()
    if args.steps < 1:
        parser.error("--steps must be at least 1")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit("plot_orbits.py needs matplotlib, which is not installed for %s.\n"
                 "Install it with: apt-get install python3-matplotlib\n"
                 "(The stellix program, scripts/demo, draws the same run as orbits.svg "
                 "without it.)"
                 % sys.executable)

    try:
        bodies, names = stellix.read_bodies(args.body_file)
    except (OSError, ValueError) as error:
        sys.exit("plot_orbits.py: %s" % error)
    # About 730 snapshots; the stride includes the initial state.
    interval = max(1, args.steps // 730)
    positions = stellix.simulate(bodies, args.dt, args.steps, interval)
    print("%d snapshots of %d bodies" % positions.shape[:2])

    # The whole system, and a close-up of whatever stays within an eighth of
    # its extent (the inner planets, for the default run).
    reach = np.abs(positions[:, :, :2]).max(axis=(0, 2)) / AU
    close = reach.max() / 8
    figure, panels = plt.subplots(1, 2, figsize=(13, 6.5))
    for axes, limit in zip(panels, (reach.max() * 1.08, close * 1.15)):
        for body, name in enumerate(names):
            x, y = positions[:, body, 0] / AU, positions[:, body, 1] / AU
            line, = axes.plot(x, y, lw=1.2)
            axes.plot(x[-1], y[-1], "o", color=line.get_color(), ms=4)
            if (reach[body] < close) == (axes is panels[1]):
                axes.annotate(name, (x[-1], y[-1]), textcoords="offset points", xytext=(5, 5),
                              fontsize=8)
        axes.set_xlim(-limit, limit)
        axes.set_ylim(-limit, limit)
        axes.set_aspect("equal")
        axes.set_xlabel("x (AU)")
        axes.set_ylabel("y (AU)")
    panels[0].set_title("%s: %d steps of %g s" % (os.path.basename(args.body_file), args.steps,
                                                   args.dt))
    panels[1].set_title("close-up")
    figure.savefig(args.out, dpi=120, bbox_inches="tight")
    print("orbits plotted in %s" % os.path.abspath(args.out))


if __name__ == "__main__":
    main()
