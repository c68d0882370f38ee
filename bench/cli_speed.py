"""What the stellix program costs over one simulate call: the program runs in
calls of about 0.2 s for its progress bar, samples the energy and draws the
picture; one library call through the Python binding does the same steps
with the same channels and nothing else (through ctypes, as the Python
binding makes it). Not a test: run it by hand on a
quiet machine, with a Release build,

    cmake --preset default && cmake --build build/default -j2
    python3 bench/cli_speed.py build/default [n] [steps]

(default n = 2000, steps = 1000). It prints the fastest of REPEATS alternated
runs of each and their ratio, for the default run (no snapshot text) and for
--record with its default stride."""

import ctypes
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

REPEATS = 3
DT = 60.0


def bodies(n):
    rng = np.random.Generator(np.random.PCG64(n))
    return np.c_[rng.uniform(-1e11, 1e11, (n, 3)), rng.uniform(-1e3, 1e3, (n, 3)),
                 rng.uniform(1, 2, n)]


def one_call(library, rows, steps, interval, record, directory):
    b = np.ascontiguousarray(rows, dtype=np.float64)
    os.chdir(directory)
    begin = time.perf_counter()
    library.simulate(b.ctypes.data, len(b), DT, steps, interval, int(record), 0, 0, None)
    return time.perf_counter() - begin


def program(binary, body_file, steps, record, directory):
    command = [binary, "--dt", str(DT), "--steps", str(steps), body_file]
    if record:
        command.append("--record")
    begin = time.perf_counter()
    subprocess.run(command, cwd=directory, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - begin


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/default"
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    steps = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    library = ctypes.CDLL(os.path.abspath(os.path.join(build, "src", "libstellix.so")))
    library.simulate.restype = None
    library.simulate.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_double] + \
        [ctypes.c_int32] * 5 + [ctypes.c_void_p]
    binary = os.path.abspath(os.path.join(build, "examples", "stellix"))
    rows = bodies(n)
    with tempfile.TemporaryDirectory() as directory:
        body_file = os.path.join(directory, "bodies.txt")
        with open(body_file, "w") as out:
            for row in rows:
                out.write(" ".join("%.17g" % v for v in row) + "\n")
        interval = (steps + 999) // 1000  # the program's default stride
        for record in (False, True):
            calls, runs = [], []
            for _ in range(REPEATS):
                calls.append(one_call(library, rows, steps, interval, record, directory))
                runs.append(program(binary, body_file, steps, record, directory))
            what = f"--record (every {interval} steps)" if record else "no snapshot text"
            print(f"n = {n}, {steps} steps, {what}: stellix {min(runs):.3f} s, one simulate call "
                  f"{min(calls):.3f} s, ratio {min(runs) / min(calls):.3f}")


if __name__ == "__main__":
    main()
