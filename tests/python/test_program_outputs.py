# The stellix program never loses data: every output whole or untouched, a
# run stopped by a signal keeps its work, and a run killed at any moment is
# finished by --resume to the byte. Each loss is made to happen here: a full
# disk is a small tmpfs, a signal a real signal to the real process.
import os
import random
import resource
import shutil
import signal
import subprocess
import time
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import stellix
from support import sanitized

PROGRAM = os.environ.get("STELLIX_PROGRAM")
EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "examples")
SUN_EARTH_MOON = os.path.abspath(os.path.join(EXAMPLES, "sun_earth_moon.txt"))
pytestmark = pytest.mark.skipif(not PROGRAM, reason="STELLIX_PROGRAM names the stellix program")
# A call lasts about a second by the cost model of a plain build; a sanitized
# one runs slower, and a signal waits longer.
SIGNAL_WAIT = 10.0 if PROGRAM and sanitized(PROGRAM) else 2.5


def program(*args, cwd, stdout=subprocess.PIPE, **options):
    return subprocess.run([PROGRAM, *map(str, args)], cwd=cwd, stdout=stdout,
                          stderr=subprocess.PIPE, text=True, errors="surrogateescape", timeout=60,
                          **options)


def start(*args, cwd):
    return subprocess.Popen([PROGRAM, *map(str, args)], cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def crowd_file(path, n, seed=1):
    rng = np.random.Generator(np.random.PCG64(seed))
    rows = np.c_[rng.uniform(-1e11, 1e11, (n, 3)), rng.uniform(-1e3, 1e3, (n, 3)),
                 rng.uniform(1, 2, n)]
    path.write_text("".join(" ".join("%.17g" % v for v in row) + "\n" for row in rows))
    return path


def temporaries(*directories):
    return [name for d in directories for name in os.listdir(d) if name.startswith(".stellix")]


def shared_memory():
    return set(temporaries("/dev/shm")) if os.path.isdir("/dev/shm") else set()


def left_in_shared_memory(before, patience=30.0):
    """The scratch directories in /dev/shm made since `before` that are
    still there after `patience` seconds: programs that other tests run at
    the same time make and remove theirs, and only a leaked one stays."""
    left = shared_memory() - before
    deadline = time.monotonic() + patience
    while left and time.monotonic() < deadline:
        time.sleep(0.2)
        left &= shared_memory()
    return left




# 1. Two outputs naming one file, or an output naming the body file.

@pytest.mark.parametrize("args, complaint", [
    (["--record=same.txt", "--save", "same.txt"], "--save and --record name the same file"),
    (["--record=same.txt", "--svg", "./same.txt"], "--svg and --record name the same file"),
    (["--record", "--save", "output.csv"], "--save and --record name the same file"),
    (["--record=same.txt", "--save", "link.txt"], "--save and --record name the same file"),
    (["--svg", "hard.txt", "--checkpoint", "same.txt"], "--checkpoint and --svg"),
    (["--save", "state.txt", "state.txt"], "the body file and --save name the same file"),
    (["--save", "new/../fresh.txt", "--svg", "fresh.txt"], "--svg and --save"),
])
def test_outputs_naming_one_file_are_refused_before_the_run(tmp_path, args, complaint):
    shutil.copy(SUN_EARTH_MOON, tmp_path / "state.txt")
    (tmp_path / "new").mkdir()
    for name in ("same.txt", "output.csv"):
        (tmp_path / name).write_text("older\n")
    (tmp_path / "link.txt").symlink_to("same.txt")
    os.link(tmp_path / "same.txt", tmp_path / "hard.txt")
    body = [] if "state.txt" in args[-1:] else [SUN_EARTH_MOON]
    result = program("--steps", 100, "--interval", 1, *args, *body, cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert complaint in result.stderr and "computed" not in result.stdout
    assert (tmp_path / "same.txt").read_text() == "older\n"
    assert (tmp_path / "output.csv").read_text() == "older\n"
    assert (tmp_path / "state.txt").read_text() == open(SUN_EARTH_MOON).read()
    assert not (tmp_path / "fresh.txt").exists() and temporaries(tmp_path) == []


# 2. A signal: the run stops within about a second with 128 + its number,
# keeps the work done, and says how to continue, which gives the bits of the
# run that was never stopped.

def reference_run(directory, *args):
    directory.mkdir()
    result = program(*args, "--record=run.csv", "--save", "state.txt", cwd=directory)
    assert result.returncode == 0, result.stderr
    return (directory / "run.csv").read_bytes(), (directory / "state.txt").read_bytes()


def stop_and_continue(directory, args, sig, delay):
    """Runs, sends `sig` after `delay` seconds, then the continuing command
    the message names; returns the stopped run's result and files."""
    directory.mkdir()
    child = start(*args, "--record=run.csv", "--save", "state.txt", cwd=directory)
    time.sleep(delay)
    child.send_signal(sig)
    sent = time.monotonic()
    stdout, stderr = child.communicate(timeout=60)
    waited = time.monotonic() - sent
    if child.returncode == 0:
        return None  # it had finished
    assert child.returncode == 128 + sig, stderr
    assert waited < SIGNAL_WAIT, f"{waited:.2f} s to stop"
    done = int(stderr.split(" after ")[1].split(" of ")[0])
    assert f"stellix: stopped by {signal.Signals(sig).name} after {done} of" in stderr
    command = stderr.split("continue it with: ")[1].split()
    assert command[:2] == ["stellix", "--resume"] and len(command) == 3
    stopped = ((directory / "run.csv").read_bytes(), (directory / "state.txt").read_bytes(), done)
    resumed = program("--resume", command[2], cwd=directory)
    assert resumed.returncode == 0, resumed.stderr
    assert not (directory / command[2]).exists()  # a finished run needs it no more
    return stopped


BODIES_FOR_MODE = {
    # Snapshots 40 steps apart: the library writes them, about a second a call.
    "library text": (2000, ["--dt", 600, "--steps", 600, "--interval", 40]),
    # 500 steps apart: the program does, a call per snapshot.
    "program text": (200, ["--dt", 600, "--steps", 40000, "--interval", 500]),
}


def bodies_and_arguments(mode):
    """The mode's body count and options; a sanitized build, many times
    slower, runs a third of the steps, which still lasts seconds."""
    n, args = BODIES_FOR_MODE[mode]
    if sanitized(PROGRAM):
        args = [value // 3 if option == "--steps" else value
                for option, value in zip([None] + args, args)]
    return n, args


@pytest.mark.parametrize("mode", sorted(BODIES_FOR_MODE))
def test_a_signal_keeps_the_work_done_and_the_continued_run_is_the_whole_run(tmp_path, mode):
    n, args = bodies_and_arguments(mode)
    body = str(crowd_file(tmp_path / "bodies.txt", n))
    record, state = reference_run(tmp_path / "reference", *args, body)
    lines_per_snapshot = n
    rng = random.Random(18)
    before = shared_memory()
    signals = {"library text": [signal.SIGINT, signal.SIGTERM],
               "program text": [signal.SIGHUP, signal.SIGINT]}[mode]
    # A sanitized build, many times slower, takes the same paths with one.
    if sanitized(PROGRAM):
        signals = signals[:1]
    for k, sig in enumerate(signals):
        directory = tmp_path / f"stopped{k}"
        outcome = stop_and_continue(directory, [*args, body], sig, rng.uniform(0.3, 1.5))
        assert (directory / "run.csv").read_bytes() == record
        assert (directory / "state.txt").read_bytes() == state
        assert temporaries(directory) == []
        if outcome is None:
            continue
        stopped_record, stopped_state, done = outcome
        # The run file stopped at a whole snapshot, a prefix of the whole run's.
        assert record.startswith(stopped_record)
        assert stopped_record.count(b"\n") % lines_per_snapshot == 0
        assert stopped_state != state
    assert left_in_shared_memory(before) == set()


def test_the_largest_step_count_without_an_interval_runs_and_stops(tmp_path):
    child = start("--steps", 2147483647, "--record", SUN_EARTH_MOON, cwd=tmp_path)
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    stdout, stderr = child.communicate(timeout=10)
    assert child.returncode == 130, stderr
    assert "(every 2147484 steps): the initial state" in stdout
    assert "of 2147483647 steps" in stderr


# 3. A full disk: the older file stays whole, nothing is left beside it.

@pytest.mark.parametrize("option", ["--save", "--record", "--svg"])
def test_a_full_disk_leaves_every_older_file_whole(tmp_path, small_disk, option):
    body = crowd_file(tmp_path / "crowd.txt", 1000)  # a state of about 140 KB
    older = "an older file that must survive\n" * 200
    (small_disk / "target").write_text(older)
    # The other outputs, which could be written, are not put in place either.
    paths = {"--save": tmp_path / "state.txt", "--record": tmp_path / "run.csv",
             "--svg": tmp_path / "o.svg"}
    paths[option] = small_disk / "target"
    for path in paths.values():
        path.write_text(older)
    values = [f"--record={paths[name]}" if name == "--record" else f"{name}={paths[name]}"
              for name in paths]
    result = program("--steps", 10, "--interval", 1, *values, body, cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    assert "No space left on device" in result.stderr
    for path in paths.values():
        assert path.read_text() == older
    assert os.listdir(small_disk) == ["target"] and temporaries(tmp_path) == []


def test_the_picture_on_a_full_device_gives_the_reason(tmp_path):
    result = program("--steps", 10, "--svg", "/dev/full", SUN_EARTH_MOON, cwd=tmp_path)
    assert result.returncode == 1
    assert "cannot write /dev/full: No space left on device" in result.stderr


def test_the_replaced_file_keeps_its_permission_bits(tmp_path):
    for name, mode in [("state.txt", 0o640), ("run.csv", 0o600), ("o.svg", 0o604)]:
        (tmp_path / name).write_text("older\n")
        (tmp_path / name).chmod(mode)
    result = program("--steps", 10, "--save", "state.txt", "--record=run.csv", "--svg", "o.svg",
                     SUN_EARTH_MOON, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    for name, mode in [("state.txt", 0o640), ("run.csv", 0o600), ("o.svg", 0o604)]:
        assert (tmp_path / name).stat().st_mode & 0o7777 == mode
        assert (tmp_path / name).read_text() != "older\n"
    old_mask = os.umask(0o027)
    try:
        assert program("--steps", 10, "--save", "new.txt", SUN_EARTH_MOON,
                       cwd=tmp_path).returncode == 0
    finally:
        os.umask(old_mask)
    assert (tmp_path / "new.txt").stat().st_mode & 0o777 == 0o640


# 4. The output directory removed during a run.

@pytest.mark.parametrize("interval", [50] if PROGRAM and sanitized(PROGRAM) else [50, 100])
def test_a_vanished_directory_fails_the_run(tmp_path, interval):
    (tmp_path / "gone").mkdir()
    body = crowd_file(tmp_path / "crowd.txt", 1000)
    child = start("--steps", 1500, "--interval", interval, "--record=gone/run.csv", "--save",
                  "gone/state.txt", body, cwd=tmp_path)
    for _ in range(5000):
        if temporaries(tmp_path / "gone"):
            break
        time.sleep(0.002)
    time.sleep(0.3)
    shutil.rmtree(tmp_path / "gone")
    stdout, stderr = child.communicate(timeout=60)
    assert child.returncode == 1, stderr
    assert "cannot write gone/run.csv: No such file or directory" in stderr
    assert "saved" not in stdout and "computed" not in stdout
    assert sorted(os.listdir(tmp_path)) == ["crowd.txt"]


# 5. Two runs with the same run file: it is one of them, whole.

def test_two_runs_with_one_run_file_leave_one_of_them_whole(tmp_path):
    body = crowd_file(tmp_path / "crowd.txt", 500)
    args = ["--steps", 400, "--interval", 100, "--record=shared.csv", body]
    references = []
    for dt in (600, 700):
        result = program("--dt", dt, *args, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        references.append((tmp_path / "shared.csv").read_bytes())
    runs = [start("--dt", dt, *args, cwd=tmp_path) for dt in (600, 700)]
    for child in runs:
        child.communicate(timeout=60)
        assert child.returncode == 0
    assert (tmp_path / "shared.csv").read_bytes() in references
    assert temporaries(tmp_path) == []


# 6. A run file that is standard output's own file.

def test_a_run_file_that_is_standard_output_keeps_both(tmp_path):
    with open(tmp_path / "out.txt", "w") as out:
        result = program("--steps", 30, "--interval", 1, "--record=/dev/stdout", SUN_EARTH_MOON,
                         cwd=tmp_path, stdout=out)
    assert result.returncode == 0, result.stderr
    text = (tmp_path / "out.txt").read_text()
    reference = tmp_path / "reference"
    reference.mkdir()
    bodies = stellix.read_bodies(SUN_EARTH_MOON)[0]
    os.chdir(reference)
    try:
        stellix.simulate(bodies, 3600.0, 30, 1, record=True, store=False)
    finally:
        os.chdir(tmp_path)
    run = (reference / "output.csv").read_text()
    assert text.startswith(run)
    assert "stellix: sun_earth_moon.txt\n" in text[len(run):]
    assert "/dev/stdout: 30 snapshots of 3 lines" in text


# 8. The picture under memory pressure is drawn whole or not at all.

@pytest.mark.skipif(not PROGRAM or sanitized(PROGRAM) or sanitized(os.environ["STELLIX_LIBRARY"]),
                    reason="a sanitizer's allocator reserves more address space than any limit")
def test_the_picture_is_whole_or_a_failure_under_any_memory_limit(tmp_path):
    # 200 bodies of 720 points each: a picture of about 2 MB, built in memory.
    body = crowd_file(tmp_path / "crowd.txt", 200)

    def attempt(limit_mib, *svg):
        cap = lambda: resource.setrlimit(resource.RLIMIT_AS, (limit_mib << 20, limit_mib << 20))
        return program("--steps", 720, "--dt", 600, *svg, body, cwd=tmp_path, preexec_fn=cap)

    # The least address space in which the run itself succeeds.
    base = next(limit for limit in range(8, 512, 4) if attempt(limit).returncode == 0)
    outcomes = []
    for limit_mib in range(base - 4, base + 40):
        (tmp_path / "o.svg").write_text("older\n")
        result = attempt(limit_mib, "--svg", "o.svg")
        assert "bad_alloc" not in result.stderr
        if result.returncode == 0:
            ET.parse(tmp_path / "o.svg")
            assert "orbits drawn" in result.stdout
            outcomes.append("drawn")
            break
        # 127: the loader gave up; -6: the C++ runtime was left without memory
        # even for an exception object, before the run began.
        assert result.returncode in (1, 127, -6), result.stderr
        assert (tmp_path / "o.svg").read_text() == "older\n"
        assert "orbits drawn" not in result.stdout
        outcomes.append(result.stderr)
        assert temporaries(tmp_path) == []
    assert outcomes[-1] == "drawn"
    assert any("Cannot allocate memory" in outcome for outcome in outcomes[:-1]), outcomes


# Checkpoints: killed at random moments, the run is finished by --resume to
# the byte, in both modes, with --record on.

def kill_and_resume(directory, args, rng, kills):
    directory.mkdir()
    command = [*args, "--record=run.csv", "--save", "state.txt", "--svg", "o.svg",
               "--checkpoint", "run.ckpt", "--checkpoint-every", 0.2]
    for attempt in range(kills):
        child = start(*(command if attempt == 0 or not (directory / "run.ckpt").exists()
                        else ["--resume", "run.ckpt"]), cwd=directory)
        time.sleep(rng.uniform(0.0, 1.2))
        child.kill()
        child.communicate()
        if child.returncode == 0:
            return
    final = command if not (directory / "run.ckpt").exists() else ["--resume", "run.ckpt"]
    result = program(*final, cwd=directory)
    assert result.returncode == 0, result.stderr


# The bytes of a resumed run are the plain build's to prove; under a
# sanitizer, whose runs are many times slower, the signal tests above take
# the same code paths.
@pytest.mark.skipif(bool(PROGRAM) and sanitized(PROGRAM), reason="timing-bound: the plain build runs it")
@pytest.mark.parametrize("mode", sorted(BODIES_FOR_MODE))
def test_a_run_killed_at_random_moments_is_finished_to_the_byte(tmp_path, mode):
    n, args = bodies_and_arguments(mode)
    body = str(crowd_file(tmp_path / "bodies.txt", n))
    reference = tmp_path / "reference"
    record, state = reference_run(reference, *args, "--svg", "o.svg", body)
    rng = random.Random(mode)
    for trial in range(2):
        directory = tmp_path / f"killed{trial}"
        kill_and_resume(directory, [*args, body], rng, kills=3)
        assert (directory / "run.csv").read_bytes() == record
        assert (directory / "state.txt").read_bytes() == state
        assert (directory / "o.svg").read_bytes() == (reference / "o.svg").read_bytes()
        assert not (directory / "run.ckpt").exists()


def test_a_damaged_checkpoint_is_refused(tmp_path):
    (tmp_path / "bad.ckpt").write_text("stellix checkpoint 1\nsteps 10\ninterval x\n")
    result = program("--resume", "bad.ckpt", cwd=tmp_path)
    assert result.returncode == 1 and "bad.ckpt:3: not a number: x" in result.stderr
    assert program("--resume", "bad.ckpt", "--steps", 3, cwd=tmp_path).returncode == 2


# What the summary and the picture say.

def test_the_summary_names_the_steps_the_snapshots_hold(tmp_path):
    result = program("--steps", 100, "--interval", 10, "--record", SUN_EARTH_MOON, cwd=tmp_path)
    assert ("output.csv: 10 snapshots of 3 lines (every 10 steps): the initial state and the "
            "states after steps 11, 21, ..., 91\n") in result.stdout
    two = program("--steps", 12, "--interval", 10, "--print", SUN_EARTH_MOON, cwd=tmp_path)
    assert ("standard output: 2 snapshots of 3 lines (every 10 steps): the initial state and "
            "the state after step 11\n") in two.stderr


def test_the_picture_is_valid_xml_and_the_same_for_the_same_run(tmp_path):
    crowd_file(tmp_path / "crowd.txt", 300)
    # The named bodies are the heaviest, whose names the picture shows.
    names = [b"caf\xe9", b"\xff\xfe", b"ok\xe2\x82", b"\xed\xa0\x80", "Ærø".encode()]
    rows = (tmp_path / "crowd.txt").read_bytes().splitlines()
    (tmp_path / "named.txt").write_bytes(b"".join(
        (row.rsplit(b" ", 1)[0] + b" 50 " + names[i] if i < len(names) else row) + b"\n"
        for i, row in enumerate(rows)))
    pictures = []
    for k in range(2):
        # Calls of about 0.2 s each: several of them, wherever they end.
        result = program("--steps", 6000, "--dt", 600, "--svg", f"o{k}.svg", "named.txt",
                         cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        ET.parse(tmp_path / f"o{k}.svg")
        pictures.append((tmp_path / f"o{k}.svg").read_bytes())
    assert pictures[0] == pictures[1]
    assert "Ærø".encode() in pictures[0] and "\ufffd".encode() in pictures[0]


@pytest.mark.parametrize("args, status, complaint", [
    (["--com", "massless.txt"], 2, "--com needs bodies whose total mass is above zero"),
    (["/dev/zero"], 1, "/dev/zero:1: a line longer than 65536 bytes"),
    (["--resume", "nowhere.ckpt"], 1, "nowhere.ckpt: cannot open the checkpoint"),
])
def test_inputs_that_cannot_make_a_run_are_refused_promptly(tmp_path, args, status, complaint):
    (tmp_path / "massless.txt").write_text("0 0 0 0 0 0 0\n1 0 0 0 0 0 0\n")
    began = time.monotonic()
    result = program(*args, cwd=tmp_path)
    assert time.monotonic() - began < 5
    assert result.returncode == status and complaint in result.stderr, result.stderr


def test_the_progress_of_a_run_backwards_in_time_counts_days_forwards(tmp_path):
    import pty
    master, terminal = pty.openpty()
    try:
        result = subprocess.run([PROGRAM, "--dt", "-3600", "--steps", "8000"], cwd=tmp_path,
                                stdout=subprocess.PIPE, stderr=terminal, timeout=60)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal's other end is closed: all was read
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(master)
    assert result.returncode == 0
    assert b"100%  333.3 of 333.3 days" in shown and b"-" not in shown.split(b"[")[-1]
