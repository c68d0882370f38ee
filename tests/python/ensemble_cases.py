"""The members every executor runs in the ensemble tests, and what a plain
loop of stellix.simulate calls makes of them."""

import contextlib
import io
import os
import signal
import threading
import time

import stellix
from systems import seeded_system

# n, steps, interval, store, record, print: from 1 to 300 bodies, every
# channel on and off, dense and sparse snapshots, steps < 1, a negative stride.
SHAPES = [
    (1, 5, 1, True, False, False),
    (2, 100, 10, True, True, False),
    (3, 0, 1, True, True, True),
    (7, 40, -3, False, True, False),
    (30, 129, 64, True, False, True),
    (64, 200, 1, True, False, False),
    (100, 70, 7, False, False, False),
    (300, 12, 5, True, True, True),
    (5, 1, 1, False, False, True),
]


def cases(directory):
    """The members, recording into `directory`."""
    members = []
    for k, (n, steps, interval, store, record, print_) in enumerate(SHAPES):
        member = dict(bodies=seeded_system(n, 100 + k), dt=600.0 * (k + 1), steps=steps,
                      interval=interval, store=store, print=print_)
        if record:
            member["record"] = os.path.join(directory, "m%d.csv" % k)
        members.append(member)
    members += stellix.perturbed(seeded_system(4, 9), 3, seed=2026, position=1e3,
                                 velocity=1e-2, dt=3600.0, steps=50, interval=9,
                                 record=os.path.join(directory, "p{k}.csv"))
    return members


def reference(members, directory):
    """(fingerprint, positions, run file bytes) of each member run alone by
    simulate in `directory`, and the text the runs print, in order."""
    outcomes, printed = [], io.StringIO()
    with contextlib.chdir(directory), contextlib.redirect_stdout(printed):
        for member in members:
            bodies = member["bodies"].copy()
            positions = stellix.simulate(bodies, member["dt"], member["steps"],
                                         member.get("interval", 1),
                                         store=member.get("store", True),
                                         record=bool(member.get("record")),
                                         print=member.get("print", False))
            data = None
            if member.get("record"):
                with open("output.csv", "rb") as run_file:
                    data = run_file.read()
            outcomes.append((stellix.fingerprint(bodies), positions, data))
    return outcomes, printed.getvalue()


def outcome(result):
    """What reference() gives for one MemberResult."""
    assert result.error is None, result.error
    data = None
    if result.record is not None:
        with open(result.record, "rb") as run_file:
            data = run_file.read()
    return result.fingerprint, result.positions, data


def assert_same(results, expected):
    from systems import same_bits

    assert len(results) == len(expected)
    for k, (result, want) in enumerate(zip(results, expected)):
        got = outcome(result)
        assert got[0] == want[0], "member %d" % k
        assert stellix.fingerprint(result.bodies) == want[0]
        assert (got[1] is None) == (want[1] is None), "member %d" % k
        if want[1] is not None:
            assert same_bits(got[1], want[1]), "member %d" % k
        assert got[2] == want[2], "member %d" % k


def stoppable(directory, pattern):
    """Members for Ctrl-C, recording into `directory`: for each letter of
    `pattern`, S a member of 50 steps or L one of two billion."""
    short = dict(bodies=seeded_system(200, 3), dt=60.0, steps=50, interval=10, store=False)
    kinds = {"S": short, "L": dict(short, steps=2_000_000_000)}
    return [dict(kinds[letter], record=os.path.join(directory, "m%d.csv" % k))
            for k, letter in enumerate(pattern)]


@contextlib.contextmanager
def ctrl_c_after(seconds):
    """SIGINT to this process `seconds` from now; yields a list that holds
    the moment it was sent."""
    fired = []

    def interrupt():
        fired.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(seconds, interrupt)
    timer.start()
    try:
        yield fired
    finally:
        timer.cancel()
        timer.join()
