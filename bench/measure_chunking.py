"""What chunking a long simulate costs: one library call against
stellix.simulate, which makes a long run of several calls so that Ctrl-C,
progress and a redirected sys.stdout can be served between them. Not a test:
run it by hand on a quiet machine, with a Release build,

    cmake --preset default && cmake --build build/default -j2 --target stellix
    STELLIX_LIBRARY=build/default/src/libstellix.so /usr/bin/python3 bench/measure_chunking.py

It prints the fastest of `REPEATS` alternated runs of each and their ratio,
and, independent of the machine's load, how many acceleration evaluations
simulate made beyond the steps + 1 of one call (a call of k steps makes
k + 1)."""

import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "python"))
import stellix  # noqa: E402
from stellix import _library, _run  # noqa: E402

evaluations = [0]
_call = _run.Run._call
_single = _run.Run._single


def _counted(self, bodies, steps, *rest):
    evaluations[0] += steps + 1
    return _call(self, bodies, steps, *rest)


def _counted_single(self):
    evaluations[0] += self.total + 1
    return _single(self)


_run.Run._call = _counted
_run.Run._single = _counted_single

REPEATS = 5
# (bodies, steps, interval, store, record): each some seconds long.
CASES = [
    (1000, 4000, 100, True, False),
    (1000, 4000, 1, True, False),
    (1000, 4000, 100, False, True),
    (3000, 400, 10, True, False),
    (100, 200000, 1000, True, False),
    (1000, 2000, 1, False, True),
]


def bodies(n):
    rng = np.random.Generator(np.random.PCG64(n))
    rows = np.c_[rng.uniform(-1e11, 1e11, (n, 3)), rng.uniform(-1e3, 1e3, (n, 3)),
                 rng.uniform(1, 2, n)]
    return stellix.make_bodies(rows)


def one_call(start, steps, interval, store, record):
    b = start.copy()
    positions = np.zeros((stellix.snapshot_count(steps, interval), len(b), 3))
    begin = time.perf_counter()
    stellix.library().simulate(b.ctypes.data_as(_library.BodyPointer), len(b), 60.0, steps,
                               interval, int(record), int(store), 0,
                               positions.ctypes.data_as(_library.DoublePointer))
    return time.perf_counter() - begin


def binding(start, steps, interval, store, record):
    b = start.copy()
    begin = time.perf_counter()
    stellix.simulate(b, 60.0, steps, interval, store=store, record=record)
    return time.perf_counter() - begin


def cpu():
    try:
        with open("/proc/cpuinfo") as info:
            return next(line.split(":", 1)[1].strip() for line in info
                        if line.startswith("model name"))
    except (OSError, StopIteration):
        return "an unknown CPU"


def measure(n, steps, interval, store, record):
    start = bodies(n)
    direct, chunked = [], []
    evaluations[0] = 0
    binding(start, steps, interval, store, record)
    extra = evaluations[0] / (steps + 1) - 1
    for _ in range(REPEATS):
        direct.append(one_call(start, steps, interval, store, record))
        chunked.append(binding(start, steps, interval, store, record))
    print("n=%5d steps=%6d interval=%4d store=%d record=%d  one call %.3f s  "
          "simulate %.3f s  time %+.2f%%  evaluations %+.2f%%" % (
              n, steps, interval, store, record, min(direct), min(chunked),
              100 * (min(chunked) / min(direct) - 1), 100 * extra), flush=True)


def main():
    stellix.library()  # before leaving the directory a relative STELLIX_LIBRARY names
    print("one core of %s" % cpu(), flush=True)
    with tempfile.TemporaryDirectory() as scratch:
        os.chdir(scratch)  # for the run files
        for case in CASES:
            measure(*case)


if __name__ == "__main__":
    main()
