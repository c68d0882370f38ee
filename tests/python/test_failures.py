"""Every failure of a run raises, and the chunked run that makes Ctrl-C,
progress and a redirected sys.stdout possible keeps the bits of one call."""

import contextlib
import ctypes
import errno
import io
import os
import re
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading

import numpy as np
import pytest

import stellix
from stellix import _library, _run, _stdio
from support import sanitized
from systems import bits, seeded_system

PYTHON_DIR = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python")


def direct(bodies, dt, steps, interval, record=0, store=1, print_=0):
    """One plain library call: the reference for every chunked run."""
    positions = np.zeros((stellix.snapshot_count(steps, interval), len(bodies), 3))
    stellix.library().simulate(bodies.ctypes.data_as(_library.BodyPointer), len(bodies), dt,
                               steps, interval, record, store, print_,
                               positions.ctypes.data_as(_library.DoublePointer))
    _stdio.c_runtime().fflush(None)
    return positions if store else None


@pytest.fixture
def chunked(monkeypatch):
    """Runs of a few steps are cut into chunks of a few steps."""
    monkeypatch.setattr(_run, "SINGLE_CALL_SECONDS", -1.0)
    monkeypatch.setattr(_run, "CHUNK_SECONDS", 0.0)
    monkeypatch.setattr(_run, "MIN_CHUNK", 4)


def run_child(code, tmp_path, stdout=subprocess.PIPE):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(PYTHON_DIR))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, env=env,
                          stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=60)


# A chunked run keeps every bit of one call.

@pytest.mark.parametrize("steps, interval, store, record, print_", [
    (41, 1, True, False, False),    # snapshots closer than a chunk: the store channel
    (41, -3, True, False, False),
    (40, 3, True, False, False),    # a chunk ends one step before a snapshot
    (30, 7, True, True, True),      # snapshots cut the chunks
    (23, 1, True, True, False),
    (26, 5, False, True, True),
    (33, 33, True, True, True),     # the initial snapshot only
    (-4, 2, True, True, True),      # one step
    (25, 40, True, False, True),    # no snapshot after the initial one
    (37, 2, False, False, False),
])
def test_a_chunked_run_gives_the_bits_of_one_call(chunked, tmp_path, monkeypatch, capfd,
                                                  steps, interval, store, record, print_):
    monkeypatch.chdir(tmp_path)
    start = seeded_system(6, 11)
    expected_bodies = start.copy()
    expected = direct(expected_bodies, 900.0, steps, interval, int(record), int(store),
                      int(print_))
    expected_text = capfd.readouterr().out
    expected_file = (tmp_path / "output.csv").read_bytes() if record else None
    if record:
        os.remove("output.csv")
    bodies = start.copy()
    positions = stellix.simulate(bodies, 900.0, steps, interval, store=store, record=record,
                                 print=print_)
    assert (bits(bodies.view(np.float64)) == bits(expected_bodies.view(np.float64))).all()
    if store:
        assert (bits(positions) == bits(expected)).all()
    else:
        assert positions is None
    assert capfd.readouterr().out == expected_text
    if record:
        assert (tmp_path / "output.csv").read_bytes() == expected_file
    assert expected_text or not print_


def test_printing_to_the_process_stdout_keeps_order_and_bits(tmp_path):
    # sys.stdout is file descriptor 1 here: the library prints itself.
    code = """
        import numpy as np, stellix, ctypes
        from stellix import _run, _library, _stdio
        _run.SINGLE_CALL_SECONDS, _run.CHUNK_SECONDS, _run.MIN_CHUNK = -1.0, 0.0, 3
        b = stellix.make_bodies([[0, 0, 0, 0, 1e3, 0, 5], [1e9, 0, 0, 0, -1e3, 0, 3]])
        print("before", flush=False)
        stellix.simulate(b.copy(), 600.0, 20, 3, print=True)
        print("between")
        stellix.library().simulate(b.ctypes.data_as(_library.BodyPointer), 2, 600.0, 20, 3, 0, 0,
                                   1, None)
        _stdio.c_runtime().fflush(None)
        print("after")
    """
    with open(tmp_path / "out.txt", "w") as out:
        child = run_child(code, tmp_path, stdout=out)
    assert child.returncode == 0, child.stderr
    lines = (tmp_path / "out.txt").read_text().split("\n")
    middle = lines.index("between")
    assert lines[0] == "before" and lines[-2] == "after"
    assert lines[1:middle] == lines[middle + 1:-2] and len(lines[1:middle]) == 2 * 7


@pytest.mark.parametrize("force_chunks", [False, True])
def test_a_redirected_sys_stdout_receives_the_printed_text(monkeypatch, capfd, force_chunks):
    if force_chunks:
        monkeypatch.setattr(_run, "SINGLE_CALL_SECONDS", -1.0)
        monkeypatch.setattr(_run, "MIN_CHUNK", 2)
    start = seeded_system(3, 12)
    direct(start.copy(), 60.0, 9, 2, store=0, print_=1)
    expected = capfd.readouterr().out
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink):
        print("first")
        stellix.simulate(start.copy(), 60.0, 9, 2, print=True)
        stellix.print_bodies(start)
        print("last")
    stellix.print_bodies(start)
    alone = capfd.readouterr().out
    assert sink.getvalue() == "first\n" + expected + alone + "last\n"
    assert len(expected.splitlines()) == 5 * 3


@pytest.mark.parametrize("force_chunks", [False, True])
def test_a_write_error_on_standard_output_raises(tmp_path, force_chunks):
    code = """
        import errno, numpy as np, stellix
        from stellix import _run
        if %r:
            _run.SINGLE_CALL_SECONDS, _run.MIN_CHUNK = -1.0, 2
        b = stellix.make_bodies([[0, 0, 0, 0, 1e3, 0, 5], [1e9, 0, 0, 0, -1e3, 0, 3]] * 600)
        end = b.copy()
        expected = stellix.simulate(end, 60.0, 9, 2)
        for call, reasons in ((lambda: stellix.simulate(b, 60.0, 9, 2, print=True),
                               {errno.ENOSPC}),
                              (lambda: stellix.print_bodies(b), {errno.ENOSPC}),
                              (lambda: stellix.print_vector(np.ones(1000)), {errno.ENOSPC})):
            try:
                call()
            except OSError as error:
                assert error.errno in reasons, error
                assert "standard output" in str(error), error
            else:
                raise SystemExit("no error")
        assert (b.view(np.uint64) == end.view(np.uint64)).all()
    """ % force_chunks
    with open("/dev/full", "w") as full:
        child = run_child(code, tmp_path, stdout=full)
    assert child.returncode == 0, child.stderr


# A lost run file raises OSError after the whole run.

@pytest.mark.parametrize("force_chunks", [False, True])
@pytest.mark.parametrize("make, code", [
    (lambda d: (d / "output.csv").mkdir(), errno.EISDIR),
    (lambda d: (d / "output.csv").symlink_to("/dev/full"), errno.ENOSPC),
])
def test_a_lost_run_file_raises_with_errno_and_name(monkeypatch, tmp_path, force_chunks, make,
                                                     code):
    if force_chunks:
        monkeypatch.setattr(_run, "SINGLE_CALL_SECONDS", -1.0)
        monkeypatch.setattr(_run, "MIN_CHUNK", 2)
    monkeypatch.chdir(tmp_path)
    make(tmp_path)
    start = seeded_system(40, 13)  # several KiB of text: more than one stdio buffer
    end = start.copy()
    expected = stellix.simulate(end, 60.0, 12, 3)
    bodies = start.copy()
    with pytest.raises(OSError) as caught:
        stellix.simulate(bodies, 60.0, 12, 3, record=True)
    error = caught.value
    assert error.errno == code and os.strerror(code) in str(error)
    assert error.filename == str(tmp_path / "output.csv")
    assert "final state" in str(error)
    assert (bits(bodies.view(np.float64)) == bits(end.view(np.float64))).all()
    assert (bits(error.positions) == bits(expected)).all()


def test_a_read_only_directory_raises_eacces(tmp_path):
    root = tempfile.mkdtemp()
    try:
        os.chmod(root, 0o755)
        os.mkdir(os.path.join(root, "ro"), 0o555)
        code = """
            import errno, os, stellix
            stellix.library()
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            os.chdir(%r)
            b = stellix.make_bodies([[0, 0, 0, 0, 1, 0, 5], [1e9, 0, 0, 0, -1, 0, 3]])
            try:
                stellix.simulate(b, 60.0, 4, 1, record=True)
            except OSError as error:
                print(error.errno, error.filename, b["vy"][0] != 1)
        """ % os.path.join(root, "ro")
        child = run_child(code, tmp_path)
        assert child.returncode == 0, child.stderr
        assert child.stdout.split() == [str(errno.EACCES),
                                        os.path.join(root, "ro", "output.csv"), "True"]
    finally:
        os.chmod(os.path.join(root, "ro"), 0o755)
        os.rmdir(os.path.join(root, "ro"))
        os.rmdir(root)


def test_success_keeps_a_preset_errno_and_raises_nothing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    bodies = seeded_system(3, 14)
    ctypes.set_errno(errno.EBADF)
    stellix.library().simulate(bodies.ctypes.data_as(_library.BodyPointer), 3, 1.0, 5, 1, 1, 0, 0,
                               None)
    assert ctypes.get_errno() == errno.EBADF
    ctypes.set_errno(errno.ENOENT)
    assert stellix.simulate(bodies, 1.0, 5, 2, record=True).shape == (3, 3, 3)
    assert len(stellix.read_run("output.csv", 3)) == 3


@pytest.mark.skipif(sanitized(os.environ.get("STELLIX_LIBRARY") or stellix.library()._name),
                    reason="a sanitizer's allocator reserves more address space than any limit")
def test_failing_scratch_raises_memory_error_with_bodies_unchanged(tmp_path):
    code = """
        import resource, numpy as np, stellix
        n = stellix.MAX_BODIES
        b = stellix.make_bodies(np.c_[np.arange(6.0 * n).reshape(n, 6), np.ones(n)])
        before = b.copy()
        stellix.library(); stellix._stdio.c_runtime()
        size = [int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize")]
        # About 1 MiB to spare: the run's scratch (some 4 MiB here) cannot be had.
        resource.setrlimit(resource.RLIMIT_AS, (size[0] * 1024 + 2**20, resource.RLIM_INFINITY))
        try:
            stellix.simulate(b, 1.0, 3, 1, store=False)
        except MemoryError as error:
            print(str(error).split(";")[0], (b.view(np.uint64) == before.view(np.uint64)).all())
    """
    child = run_child(code, tmp_path)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == ("simulate could not obtain its scratch memory for 46340 "
                                    "bodies True")


# Ctrl-C.

@pytest.mark.parametrize("record", [False, True])
def test_ctrl_c_stops_a_long_run_after_a_whole_number_of_steps(tmp_path, monkeypatch, record):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(_run, "CHUNK_SECONDS", 0.05)
    start = seeded_system(150, 15)
    bodies = start.copy()
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt) as caught:
        stellix.simulate(bodies, 10.0, 10**7, 1000, record=record)  # some 4 minutes
    timer.join()
    error = caught.value
    assert isinstance(error, stellix.SimulationInterrupted)
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    done = error.steps
    assert 0 < done < 10**7 and "after %d of" % done in str(error)
    alone = start.copy()
    expected = direct(alone, 10.0, done, 1000)
    assert (bits(bodies.view(np.float64)) == bits(alone.view(np.float64))).all()
    emitted = len(expected)
    assert (bits(error.positions[:emitted]) == bits(expected)).all()
    assert not error.positions[emitted:].any()
    if record:
        assert stellix.read_run("output.csv", 150).shape == (emitted, 150, 7)


def test_progress_bar_reaches_the_end(chunked, capfd):
    stellix.simulate(seeded_system(3, 16), 1.0, 30, 7, progress=True)
    err = capfd.readouterr().err
    assert re.search(r"\rsimulate \[#+\] 100% 30/30 steps [0-9.]+ s\n$", err), repr(err)


# Arguments that ran silently wrong.

@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix itself
def test_arrays_that_would_run_silently_wrong_are_refused(tmp_path):
    rows = seeded_system(3, 17).view(np.float64).reshape(3, 7)
    with pytest.raises(TypeError, match="matrix"):
        stellix.simulate(np.matrix(rows), 1.0, 2, 1)  # ran as one body
    with pytest.raises(TypeError, match="MaskedArray"):
        stellix.gravity_factors(np.ma.masked_array(rows))
    square = seeded_system(7, 18).view(np.float64).reshape(7, 7)
    with pytest.raises(ValueError, match="share memory"):
        stellix.accelerations(square, square)
    with pytest.raises(ValueError, match="share memory"):
        overlapping = np.ndarray((6, 6), np.float64, square.data, 8 * 13)
        stellix.accelerations(square[:6], overlapping)
    with pytest.raises(ValueError, match="NUL"):
        stellix.record_bodies(str(tmp_path / "a\0b"), seeded_system(1, 19))
    assert not os.listdir(tmp_path)
    mapped = np.memmap(tmp_path / "bodies", dtype=stellix.BODY, mode="w+", shape=(3,))
    mapped[:] = seeded_system(3, 17)
    assert stellix.simulate(mapped, 1.0, 2, 1).shape == (2, 3, 3)


# Reading run files back.

def test_read_run_skips_comments_and_reads_a_decimal_comma_alike(tmp_path):
    plain = tmp_path / "plain.csv"
    plain.write_text("# header\n1.5 2 3 4 5 6 7 # trailing\n\n-0.25 nan inf 0 0 0 1\n")
    comma = tmp_path / "comma.csv"
    comma.write_text(plain.read_text().replace(".", ","))
    fast = stellix.read_run(plain, 1)
    slow = stellix.read_run(comma, 1)
    assert fast.shape == (2, 1, 7)
    assert (bits(fast) == bits(slow)).all()
    assert fast[0, 0, 0] == 1.5 and fast[1, 0, 0] == -0.25
    broken = tmp_path / "broken.csv"
    broken.write_bytes(b"1 2 3 4 5 6 7\n1 2 3 4 5 6 \xff7\n")
    with pytest.raises(ValueError, match=r"broken\.csv:2: not ASCII text \(byte 0xff"):
        stellix.read_run(broken, 1)


# Finding the library.

@pytest.mark.parametrize("symbol, name", [(b"__asan_init", "AddressSanitizer"),
                                          (b"__tsan_init", "ThreadSanitizer")])
def test_a_sanitizer_build_is_refused_unless_its_runtime_is_loaded(tmp_path, monkeypatch,
                                                                    symbol, name):
    fake = tmp_path / "libstellix.so"
    fake.write_bytes(b"\0" + symbol + b"\0")
    monkeypatch.setenv("STELLIX_LIBRARY", str(fake))
    with pytest.raises(stellix.LibraryNotFoundError) as caught:
        _library.load()
    loaded = hasattr(ctypes.CDLL(None), symbol.decode())
    # With the runtime in the process the file is loaded, and fails as no ELF file.
    assert (name in str(caught.value)) != loaded


def test_record_bodies_raises_what_its_file_lost(tmp_path):
    bodies = seeded_system(40, 20)
    with pytest.raises(OSError) as lost:
        stellix.record_bodies(tmp_path, bodies)
    assert lost.value.errno == errno.EISDIR and lost.value.filename == str(tmp_path)
    (tmp_path / "full.csv").symlink_to("/dev/full")
    with pytest.raises(OSError) as full:
        stellix.record_bodies(tmp_path / "full.csv", bodies)
    assert full.value.errno == errno.ENOSPC and "full.csv" in full.value.filename
