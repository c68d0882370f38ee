"""Nothing the package writes is lost: every file whole or untouched, runs
killed at any moment resumed to the same bytes, and each failure made to
happen for real (a full tmpfs, a broken pipe, SIGKILL)."""

import concurrent.futures
import contextlib
import copy
import errno
import io
import locale
import os
import pickle
import random
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import stellix
from stellix import _run
from systems import same_bits, seeded_system
from support import sanitized

PYTHON_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir,
                                          "python"))
TESTS_DIR = os.path.abspath(os.path.dirname(__file__))


def child(code, cwd, **options):
    """Starts `code` in a fresh interpreter that imports the package under test."""
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + TESTS_DIR)
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=env,
                            **options)


def finish(process, timeout=60):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, (out or b"").decode(), (err or b"").decode()




def leftovers(directory):
    return [name for name in os.listdir(directory) if ".stellix-" in name]


# Files written beside their target and renamed into place.

def test_save_bodies_leaves_the_previous_file_on_every_failure(small_disk):
    state = small_disk / "state.txt"
    small = seeded_system(3, 40)
    stellix.save_bodies(state, small, ["a", "b", "c"])
    before = state.read_bytes()
    with pytest.raises(ValueError, match="surrogate"):
        stellix.save_bodies(state, small, ["a", "\ud800", "c"])
    assert state.read_bytes() == before
    with pytest.raises(OSError) as full:
        stellix.save_bodies(state, seeded_system(2000, 41))  # some 350 KB
    assert full.value.errno == errno.ENOSPC and full.value.filename == str(state)
    assert state.read_bytes() == before
    with pytest.raises(IsADirectoryError):
        stellix.save_bodies(small_disk, small)
    for append in (True, False):
        with pytest.raises(OSError) as full:
            stellix.record_bodies(state, seeded_system(2000, 41), append=append)
        assert full.value.errno == errno.ENOSPC and state.read_bytes() == before
    assert not leftovers(small_disk) and not leftovers(small_disk.parent)
    assert same_bits(stellix.read_bodies(state)[0].view(np.float64), small.view(np.float64))


def test_save_bodies_keeps_permission_bits_and_links_and_writes_a_fifo_directly(tmp_path):
    bodies = seeded_system(4, 42)
    target = tmp_path / "state.txt"
    target.write_text("old\n")
    os.chmod(target, 0o640)
    link = tmp_path / "link.txt"
    link.symlink_to(target.name)
    stellix.save_bodies(link, bodies)
    assert link.is_symlink() and os.stat(target).st_mode & 0o777 == 0o640
    assert same_bits(stellix.read_bodies(target)[0].view(np.float64), bodies.view(np.float64))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    stellix.save_bodies(fifo, bodies)
    reader.join(10)
    assert received == [target.read_bytes()] and not leftovers(tmp_path)


def test_a_run_file_that_fills_the_disk_leaves_the_previous_one(small_disk, monkeypatch):
    monkeypatch.chdir(small_disk)
    (small_disk / "output.csv").write_text("previous run\n")
    start = seeded_system(200, 43)
    expected = start.copy()
    stellix.simulate(expected, 60.0, 400, 100)
    bodies = start.copy()
    with pytest.raises(OSError) as caught:
        stellix.simulate(bodies, 60.0, 400, 100, record=True)  # 5 x 200 lines, some 120 KB
    assert caught.value.errno == errno.ENOSPC and "left as it was" in str(caught.value)
    assert (small_disk / "output.csv").read_text() == "previous run\n"
    assert not leftovers(small_disk)
    assert same_bits(bodies.view(np.float64), expected.view(np.float64))


# Standard error and standard output that break.

def test_a_broken_progress_bar_does_not_stop_the_run(tmp_path):
    code = """
        import numpy as np, stellix
        from stellix import _run
        from systems import seeded_system
        _run.SINGLE_CALL_SECONDS, _run.CHUNK_SECONDS, _run.MIN_CHUNK = -1.0, 0.0, 2
        end = seeded_system(5, 44)
        alone = end.copy()
        stellix.simulate(alone, 60.0, 200, 7)
        positions = stellix.simulate(end, 60.0, 200, 7, progress=True)
        print(bool((end.view(np.uint64) == alone.view(np.uint64)).all()), len(positions))
    """
    process = child(code, tmp_path)
    process.stderr.close()  # every write to standard error now fails with EPIPE
    code, out, _ = finish(process)
    assert code == 0 and out.split() == ["True", "29"]


def test_the_progress_bar_counts_steps_forward_for_a_negative_dt(capfd, monkeypatch):
    monkeypatch.setattr(_run, "SINGLE_CALL_SECONDS", -1.0)
    monkeypatch.setattr(_run, "MIN_CHUNK", 2)
    stellix.simulate(seeded_system(3, 45), -7200.0, 12, 3, progress=True)
    bar = capfd.readouterr().err.rsplit("\r", 1)[-1]
    assert bar.startswith("simulate [") and "100% 12/12 steps" in bar and "-" not in bar


@pytest.mark.parametrize("stdout, reason", [("full", errno.ENOSPC), ("pipe", errno.EPIPE),
                                            ("closed", errno.EBADF), ("disk", errno.ENOSPC)])
def test_a_single_call_names_the_reason_standard_output_was_lost(tmp_path, small_disk, stdout,
                                                                  reason):
    code = """
        import numpy as np, stellix
        b = stellix.make_bodies([[0, 0, 0, 0, 1e3, 0, 5], [1e9, 0, 0, 0, -1e3, 0, 3]] * 600)
        try:
            stellix.simulate(b, 60.0, 9, 2, print=True)  # one library call
        except OSError as error:
            raise SystemExit(error.errno)
    """
    with contextlib.ExitStack() as stack:
        if stdout == "full":
            sink = stack.enter_context(open("/dev/full", "wb"))
        elif stdout == "disk":
            sink = stack.enter_context(open(small_disk / "out.txt", "wb"))
        else:
            sink = subprocess.PIPE if stdout == "pipe" else subprocess.DEVNULL
        process = child(code, tmp_path, stdout=sink,
                        pass_fds=(), preexec_fn=(lambda: os.close(1)) if stdout == "closed"
                        else None)
        if stdout == "pipe":
            process.stdout.close()
        code, _, err = finish(process)
    assert code == reason, err


# Exceptions that cross a process pool.

def _interrupted(steps):
    raise stellix.SimulationInterrupted("stopped", steps, np.arange(6.0).reshape(2, 1, 3))


def test_the_package_exceptions_survive_pickle_copy_and_a_process_pool(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.mkdir("output.csv")
    with pytest.raises(OSError) as lost:
        stellix.simulate(seeded_system(3, 46), 60.0, 200, 100, record=True)
    errors = [lost.value, stellix.LibraryNotFoundError("no library here"),
              stellix.SimulationInterrupted("stopped", 7, stellix.simulate(
                  seeded_system(2, 47), 1.0, 5, 2))]
    for error in errors:
        for twin in (pickle.loads(pickle.dumps(error)), copy.copy(error), copy.deepcopy(error)):
            assert type(twin) is type(error) and str(twin) == str(error)
            assert twin.args == error.args
            for name, value in vars(error).items():
                assert same_bits(getattr(twin, name), value) if isinstance(value, np.ndarray) \
                    else getattr(twin, name) == value
    assert pickle.loads(pickle.dumps(errors[2])).positions.steps.tolist() == [0, 3, 5]
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        with pytest.raises(stellix.SimulationInterrupted) as crossed:
            pool.submit(_interrupted, 11).result(timeout=60)
    assert crossed.value.steps == 11 and crossed.value.positions.shape == (2, 1, 3)


# Checkpoints.

KILLED_RUN = """
    import sys, time, numpy as np, stellix
    from stellix import _run
    from systems import seeded_system
    _run.CHUNK_SECONDS = 0.005
    interval, record = {interval}, {record}
    bodies = seeded_system(120, 48)
    if sys.argv[-1] == "reference":
        began = time.monotonic()
        positions = stellix.simulate(bodies, 60.0, {steps}, interval, record=record)
        print(time.monotonic() - began)
        np.save("reference.npy", np.asarray(positions))
        np.save("reference-bodies.npy", bodies.view(np.float64))
    else:
        stellix.simulate(bodies, 60.0, {steps}, interval, record=record,
                         checkpoint="run.ckpt", checkpoint_every=0.05)
"""


def start_run(directory, template, *argv):
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + TESTS_DIR)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(template), *argv],
                            cwd=directory, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def resume_in_place(directory):
    with contextlib.chdir(directory) if hasattr(contextlib, "chdir") else _chdir(directory):
        return stellix.resume("run.ckpt")


@contextlib.contextmanager
def _chdir(directory):
    previous = os.getcwd()
    os.chdir(directory)
    try:
        yield
    finally:
        os.chdir(previous)


def kill_when_running(directory, template, seconds):
    """Starts the checkpointed run, waits for its first checkpoint (the run
    has begun) and kills it `seconds` later: (returncode, had begun)."""
    run = start_run(directory, template)
    deadline = time.monotonic() + 30
    while not (directory / "run.ckpt").exists() and run.poll() is None:
        if time.monotonic() > deadline:
            run.kill()
            raise AssertionError("the run wrote no checkpoint")
        time.sleep(0.002)
    time.sleep(seconds)
    run.send_signal(signal.SIGKILL)
    return run.wait(60)


# The bytes of a resumed run are the plain build's to prove: under a
# sanitizer every run is many times slower.
@pytest.mark.skipif(sanitized(os.environ["STELLIX_LIBRARY"]),
                    reason="timing-bound: the plain build runs it")
@pytest.mark.parametrize("interval, record", [(700, True),    # snapshots cut the chunks
                                              (30, False)])   # the store channel fills them
def test_a_run_killed_at_random_moments_resumes_to_the_same_bytes(tmp_path, interval, record):
    template = KILLED_RUN.format(interval=interval, record=record, steps=24000)
    reference = start_run(tmp_path, template, "reference")
    assert reference.wait(60) == 0, reference.stderr.read()
    seconds = float(reference.stdout.read())  # of the run alone, some 0.4 s
    expected = np.load(tmp_path / "reference.npy")
    expected_bodies = np.load(tmp_path / "reference-bodies.npy")
    expected_file = (tmp_path / "output.csv").read_bytes() if record else None
    rng = random.Random(49 + interval)
    resumed = 0
    # A loaded machine runs the killed run faster or slower than the
    # reference: attempts go on until three were killed while running.
    for attempt in range(12):
        if resumed == 3:
            break
        work = tmp_path / ("killed-%d" % attempt)
        work.mkdir()
        kill_when_running(work, template, rng.uniform(0, 0.7 * seconds))
        if not (work / "run.ckpt").exists():  # it finished first: nothing to resume
            assert not record or (work / "output.csv").read_bytes() == expected_file
            continue
        bodies, positions = resume_in_place(work)
        resumed += 1
        assert same_bits(bodies.view(np.float64), expected_bodies)
        assert same_bits(positions, expected)
        if record:
            assert (work / "output.csv").read_bytes() == expected_file
        assert not leftovers(work) and not (work / "run.ckpt").exists()
    assert resumed >= 3


def test_an_interrupted_checkpointed_run_shows_its_work_and_resumes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(_run, "CHUNK_SECONDS", 0.0)
    start = seeded_system(40, 50)
    expected_bodies = start.copy()
    expected = stellix.simulate(expected_bodies, 60.0, 4000, 500, record=True)
    expected_file = (tmp_path / "output.csv").read_bytes()
    os.remove("output.csv")
    calls = []
    real_call = _run.Run._call

    def ctrl_c_in_the_tenth_call(self, *arguments):
        calls.append(1)
        if len(calls) == 10:
            os.kill(os.getpid(), signal.SIGINT)
        return real_call(self, *arguments)

    monkeypatch.setattr(_run.Run, "_call", ctrl_c_in_the_tenth_call)
    with pytest.raises(stellix.SimulationInterrupted) as caught:
        stellix.simulate(start.copy(), 60.0, 4000, 500, record=True, checkpoint="run.ckpt")
    monkeypatch.setattr(_run.Run, "_call", real_call)
    emitted = 1 + (caught.value.steps - 1) // 500
    assert 500 < caught.value.steps < 4000 and emitted >= 2
    assert stellix.read_run("output.csv", 40).shape == (emitted, 40, 7)
    assert expected_file.startswith((tmp_path / "output.csv").read_bytes())
    bodies, positions = stellix.resume("run.ckpt")
    assert same_bits(bodies.view(np.float64), expected_bodies.view(np.float64))
    assert same_bits(positions, expected)
    assert (tmp_path / "output.csv").read_bytes() == expected_file
    assert sorted(os.listdir(tmp_path)) == ["output.csv"]


def test_a_run_killed_between_its_last_checkpoint_and_the_rename_ends_on_resume(tmp_path):
    template = KILLED_RUN.format(interval=70, record=True, steps=700)
    reference = start_run(tmp_path, template, "reference")
    assert reference.wait(60) == 0
    expected_file = (tmp_path / "output.csv").read_bytes()
    work = tmp_path / "work"
    work.mkdir()
    # The process dies where a rename would have put the run file in place.
    dying = template.replace("interval, record =",
                             "_run.RunFile.commit = lambda self: __import__('os')._exit(9)\n"
                             "    interval, record =")
    assert start_run(work, dying).wait(60) == 9
    assert not (work / "output.csv").exists() and leftovers(work)
    bodies, positions = resume_in_place(work)
    assert (work / "output.csv").read_bytes() == expected_file
    assert same_bits(bodies.view(np.float64), np.load(tmp_path / "reference-bodies.npy"))
    assert sorted(os.listdir(work)) == ["output.csv"]
    with pytest.raises(FileNotFoundError):
        resume_in_place(work)


def test_what_is_not_a_checkpoint_is_refused(tmp_path):
    (tmp_path / "bodies.txt").write_text("1 2 3 4 5 6 7\n")
    with pytest.raises(ValueError, match="not a stellix checkpoint"):
        stellix.resume(tmp_path / "bodies.txt")
    with pytest.raises(ValueError, match="checkpoint_every"):
        stellix.simulate(seeded_system(2, 51), 1.0, 3, 1, checkpoint=tmp_path / "c",
                         checkpoint_every=float("nan"))


# Which steps the snapshots hold.

def test_each_snapshot_carries_its_step_and_time(monkeypatch):
    start = seeded_system(4, 52)
    positions = stellix.simulate(start.copy(), -30.0, 100, 10)
    assert positions.steps.tolist() == [0] + [10 * k + 1 for k in range(1, 10)]
    assert same_bits(positions.times, positions.steps * -30.0)
    last = start.copy()
    stellix.simulate(last, -30.0, 91, 1, store=False)
    assert same_bits(positions[-1], np.stack([last["x"], last["y"], last["z"]], axis=1))
    monkeypatch.setattr(_run, "SINGLE_CALL_SECONDS", -1.0)
    chunked = stellix.simulate(start.copy(), -30.0, 100, 10)
    assert chunked.steps.tolist() == positions.steps.tolist()
    assert positions[2:].steps is None and positions.copy().steps is not None
    assert stellix.snapshot_steps(5, 2).tolist() == [0, 3, 5]


# Arguments the program refuses too.

def test_a_time_step_must_be_a_finite_number():
    bodies = seeded_system(2, 53)
    for bad, kind in ((float("nan"), ValueError), (float("inf"), ValueError),
                      (-float("inf"), ValueError), (10**400, ValueError), ("5", TypeError),
                      (None, TypeError), (True, TypeError)):
        with pytest.raises(kind, match="dt"):
            stellix.simulate(bodies, bad, 3, 1)
    assert stellix.simulate(bodies, np.float32(2.5), 3, 1).times.tolist() == [0.0, 5.0, 7.5]


def test_arrays_off_a_double_boundary_are_refused():
    raw = np.zeros(7 * 3 * 8 + 8, dtype=np.uint8)
    rows = np.frombuffer(raw.data, dtype=np.float64, count=21, offset=3).reshape(3, 7)
    records = np.frombuffer(raw.data, dtype=stellix.BODY, count=3, offset=3)
    for bodies in (rows, records):
        with pytest.raises(ValueError, match="boundary"):
            stellix.energy(bodies)
        with pytest.raises(ValueError, match="boundary"):
            stellix.simulate(bodies, 1.0, 1, 1)


# Streams read back.

def test_read_run_reads_a_fifo_and_a_pipe_and_refuses_an_endless_line(tmp_path):
    text = b"1.5 2 3 4 5 6 7\n8 9 10 11 12 13 14\n"
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(text))
    writer.start()
    assert stellix.read_run(fifo, 1).shape == (2, 1, 7)
    writer.join(10)
    read_end, write_end = os.pipe()
    os.write(write_end, text)
    os.close(write_end)
    try:
        assert stellix.read_run("/proc/self/fd/%d" % read_end, 2)[0, 1, 0] == 8.0
    finally:
        os.close(read_end)
    with pytest.raises(ValueError, match="line longer than"):
        stellix.read_run("/dev/zero", 1)
    with pytest.raises(ValueError, match=r"/dev/zero:1: line longer than \d+ bytes"):
        stellix.read_bodies("/dev/zero")


# Printers that follow a redirected sys.stdout.

@pytest.fixture(params=["C", "de_DE.UTF-8"])
def numeric_locale(request):
    """The C locale, then one whose decimal point is a comma."""
    previous = locale.setlocale(locale.LC_NUMERIC)
    try:
        locale.setlocale(locale.LC_NUMERIC, request.param)
    except locale.Error:
        pytest.skip("no %s locale here" % request.param)
    yield locale.localeconv()["decimal_point"]
    locale.setlocale(locale.LC_NUMERIC, previous)


def test_print_matrix_and_vector_write_the_librarys_text_to_a_redirected_stdout(capfd,
                                                                               numeric_locale):
    rng = np.random.Generator(np.random.PCG64(54))
    patterns = rng.integers(0, 2**64, 64, dtype=np.uint64, endpoint=False).view(np.float64)
    edges = [0.0, -0.0, np.nan, -np.nan, np.inf, -np.inf, 0.5e-15, -0.4e-15, 1e300, 5e-324,
             0.1, 2.5, 123456789.0000000005, -1 / 3]
    values = np.concatenate([patterns, edges, rng.normal(0, 1e6, 22)])
    matrix = values.reshape(10, 10)
    stellix.print_matrix(matrix)
    stellix.print_vector(values)
    expected = capfd.readouterr().out
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink):
        stellix.print_matrix(matrix)
        stellix.print_vector(values)
    assert capfd.readouterr().out == ""
    assert sink.getvalue() == expected and "nan" in expected
    assert "2%s500000000000000 " % numeric_locale in expected


# Libraries that are not this machine's stellix.

def test_a_foreign_or_wrong_library_is_named(tmp_path, monkeypatch):
    from stellix import _library
    libm = _library.ctypes.util.find_library("m")
    monkeypatch.setenv("STELLIX_LIBRARY", libm if os.path.sep in libm else
                       "/lib/x86_64-linux-gnu/" + libm)
    with pytest.raises(stellix.LibraryNotFoundError, match="not the stellix library: it lacks"):
        _library.load()
    compiler = shutil.which("aarch64-linux-gnu-gcc")
    if compiler is None or os.uname().machine == "aarch64":
        pytest.skip("no aarch64 cross compiler to build a foreign library with")
    (tmp_path / "a.c").write_text("int simulate(void) { return 0; }\n")
    subprocess.run([compiler, "-shared", "-o", str(tmp_path / "libstellix.so"),
                    str(tmp_path / "a.c")], check=True)
    monkeypatch.setenv("STELLIX_LIBRARY", str(tmp_path / "libstellix.so"))
    with pytest.raises(stellix.LibraryNotFoundError, match=r"for aarch64 \(64-bit\).*x86-64"):
        _library.load()
