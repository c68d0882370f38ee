"""What stellix.ensemble gains from a second worker, and what it costs per
member. Not a test: run it by hand, with a Release build,

    cmake --preset default && cmake --build build/default -j2 --target stellix
    STELLIX_LIBRARY=build/default/src/libstellix.so \\
        /usr/bin/python3 bench/ensemble_speed.py [repeats]

Throughput: members of N bodies, each about SECONDS long (the steps are
calibrated on this machine first), as many as one worker runs in about
BUSY_SECONDS, run with one worker and with two, on a thread pool and on a
Dask LocalCluster of worker processes (when Dask is installed); the ratio of
the two times is the speedup of the second worker. Overhead: TINY members
of one body and one step, run through an ensemble of one thread and by a
plain loop of simulate calls; the difference per member is what the
ensemble adds. Each figure is measured `repeats` times (default 5), and the
minimum, median and maximum are printed, with the CPU and its load: on a
shared machine the maximum speedup is the run least disturbed by others."""

import concurrent.futures
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import numpy as np  # noqa: E402

import stellix  # noqa: E402

N = 200
SECONDS = (0.05, 0.1, 0.4)
BUSY_SECONDS = 4.0
TINY = 2000


def system(n):
    rng = np.random.Generator(np.random.PCG64(n))
    return stellix.make_bodies(np.c_[rng.uniform(-1e11, 1e11, (n, 3)),
                                     rng.uniform(-1e3, 1e3, (n, 3)), rng.uniform(1, 2, n)])


def cpu():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return "%s, %d cores" % (line.split(":", 1)[1].strip(), os.cpu_count())
    except OSError:
        pass
    return "unknown CPU, %d cores" % os.cpu_count()


def seconds_per_step():
    bodies, fastest = system(N), float("inf")
    for _ in range(3):
        start = time.perf_counter()
        stellix.simulate(bodies.copy(), 60.0, 2000, 1000, store=False)
        fastest = min(fastest, (time.perf_counter() - start) / 2000)
    return fastest


def timed(members, executor):
    start = time.perf_counter()
    results = stellix.ensemble(members, executor)
    seconds = time.perf_counter() - start
    assert all(r.error is None for r in results)
    return seconds


def speedup(make_executor, members, repeats):
    """Ratios of the time with one worker to the time with two."""
    ratios, singles = [], []
    for _ in range(repeats):
        times = {}
        for workers in (1, 2):
            with make_executor(workers) as executor:
                timed(members[:2], executor)  # workers started and warm
                times[workers] = timed(members, executor)
        ratios.append(times[1] / times[2])
        singles.append(times[1] / len(members))
    return ratios, singles


def overhead(repeats):
    """Seconds an ensemble of one thread adds per member to a plain loop."""
    member = dict(bodies=system(1), dt=60.0, steps=1, store=False)
    members = [member] * TINY
    added = []
    for _ in range(repeats):
        start = time.perf_counter()
        for m in members:
            stellix.simulate(m["bodies"].copy(), m["dt"], m["steps"], store=False)
        loop = time.perf_counter() - start
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            added.append((timed(members, pool) - loop) / TINY)
    return added


def warm():
    """Loads the package and the library in a worker process."""
    import stellix as package

    package.simulate(system(2), 60.0, 1, store=False)


def dask_executor(workers):
    import contextlib

    import distributed

    @contextlib.contextmanager
    def executor():
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      host="127.0.0.1", dashboard_address=None) as cluster:
            with distributed.Client(cluster) as client:
                client.run(warm)  # every worker, not only those the first batches reach
                yield client.get_executor()

    return executor()


def report(what, values, unit="", scale=1.0):
    print("%-42s min %7.3f%s  median %7.3f%s  max %7.3f%s  (%d runs)" % (
        what, min(values) * scale, unit, statistics.median(values) * scale, unit,
        max(values) * scale, unit, len(values)))


def main(repeats):
    per_step = seconds_per_step()
    print("CPU: %s; load average %.2f %.2f %.2f" % ((cpu(),) + os.getloadavg()))
    try:
        import distributed  # noqa: F401
    except ImportError:
        distributed = None
        print("Dask: not installed (Debian's python3-distributed)")
    for seconds in SECONDS:
        steps = max(1, int(seconds / per_step))
        count = max(16, round(BUSY_SECONDS / seconds))
        members = [dict(bodies=system(N), dt=60.0, steps=steps, store=False)] * count
        print("members: %d of %d bodies, %d steps each" % (count, N, steps))
        ratios, singles = speedup(concurrent.futures.ThreadPoolExecutor, members, repeats)
        report("  seconds per member, one thread", singles, " s")
        report("  threads: throughput of 2 workers / 1", ratios, "x")
        if distributed is not None:
            ratios, _ = speedup(dask_executor, members, repeats)
            report("  Dask: throughput of 2 workers / 1", ratios, "x")
    report("thread pool overhead per member", overhead(repeats), " ms", 1e3)

if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 5)
