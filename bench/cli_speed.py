"""What the stellix program costs over one simulate call: the program runs in
calls of about a second or less (so that a signal stops it between two),
samples the energy, and with snapshots closer than 64 steps has the library
write them to a scratch file that it copies into place, making one extra step
per call; one library call through the Python binding does the same steps
with the same channels and nothing else (through ctypes, as the Python
binding makes it). Not a test: run it by hand on a
quiet machine, with a Release build,

    cmake --preset default && cmake --build build/default -j2
    python3 bench/cli_speed.py build/default [n] [steps]

(default n = 2000, steps = 1000). It prints the fastest of REPEATS alternated
runs of each and their ratio, for the default run (no snapshot text), for
--record and for --print (to /dev/null) with the default stride, and for
--record every 100 steps."""

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


def one_call(library, rows, steps, interval, record, printed, directory):
    b = np.ascontiguousarray(rows, dtype=np.float64)
    os.chdir(directory)
    sys.stdout.flush()
    kept = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        begin = time.perf_counter()
        library.simulate(b.ctypes.data, len(b), DT, steps, interval, int(record), 0, int(printed),
                         None)
        library.fflush(None)  # the printed text reaches /dev/null within the call's time
        return time.perf_counter() - begin
    finally:
        os.dup2(kept, 1)
        os.close(kept)
        os.close(null)


def program(binary, body_file, steps, options, directory):
    command = [binary, "--dt", str(DT), "--steps", str(steps), *options, body_file]
    begin = time.perf_counter()
    subprocess.run(command, cwd=directory, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.perf_counter() - begin


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/default"
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    steps = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    library = ctypes.CDLL(os.path.abspath(os.path.join(build, "src", "libstellix.so")))
    library.simulate.restype = None
    library.simulate.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_double] + \
        [ctypes.c_int32] * 5 + [ctypes.c_void_p]
    library.fflush = ctypes.CDLL(None).fflush
    library.fflush.argtypes = [ctypes.c_void_p]
    binary = os.path.abspath(os.path.join(build, "tools", "stellix", "stellix"))
    rows = bodies(n)
    with tempfile.TemporaryDirectory() as directory:
        body_file = os.path.join(directory, "bodies.txt")
        with open(body_file, "w") as out:
            for row in rows:
                out.write(" ".join("%.17g" % v for v in row) + "\n")
        stride = (steps + 999) // 1000  # the program's default stride
        cases = [("no snapshot text", [], stride, False, False),
                 (f"--record (every {stride} steps)", ["--record"], stride, True, False),
                 (f"--print (every {stride} steps)", ["--print"], stride, False, True),
                 ("--record --interval 100", ["--record", "--interval", "100"], 100, True, False)]
        for what, options, interval, record, printed in cases:
            calls, runs = [], []
            for _ in range(REPEATS):
                calls.append(one_call(library, rows, steps, interval, record, printed, directory))
                runs.append(program(binary, body_file, steps, options, directory))
            print(f"n = {n}, {steps} steps, {what}: stellix {min(runs):.3f} s, one simulate call "
                  f"{min(calls):.3f} s, ratio {min(runs) / min(calls):.3f}")


if __name__ == "__main__":
    main()
