"""stellix.ensemble on a Dask cluster: a scheduler and worker processes over
TCP on localhost, driven through the executor of a distributed Client."""

import contextlib
import io
import os
import tempfile
import time

import pytest

import stellix
from ensemble_cases import assert_same, cases, ctrl_c_after, reference, stoppable
from support import sanitized

distributed = pytest.importorskip("distributed", reason="Debian's python3-distributed")
# The engines start processes of their own (a scheduler, nannies, mpiexec's
# daemons), which a sanitizer runtime preloaded into all of them would judge
# too: they are tested against plain builds, the threads under sanitizers.
pytestmark = pytest.mark.skipif(sanitized(os.environ["STELLIX_LIBRARY"]),
                                reason="the library is built with a sanitizer")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    directory = tmp_path_factory.mktemp("reference")
    return reference(cases(str(directory)), str(directory))


def run_on(executor, directory):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        results = stellix.ensemble(cases(str(directory)), executor)
    return results, printed.getvalue()


# One worker, then both, then three after the cluster grows: the order
# matters, the cluster is started once for the module.
@pytest.mark.parametrize("workers", [1, 2, 3])
def test_dask_gives_the_bits_of_a_plain_loop(client, expected, tmp_path, workers):
    if workers == 3:
        client.cluster.scale(3)
        client.wait_for_workers(3, timeout=60)
    addresses = sorted(client.scheduler_info()["workers"])[:workers]
    assert len(addresses) == workers
    executor = client.get_executor(workers=addresses)
    assert stellix._ensemble._workers(executor) == workers
    results, printed = run_on(executor, tmp_path)
    assert_same(results, expected[0])
    assert printed == expected[1]


def test_a_failure_on_a_worker_comes_back_as_the_members_error(client, tmp_path):
    member = dict(bodies=stellix.make_bodies([[0, 0, 0, 0, 0, 0, 1]]), dt=1.0, steps=3)
    results = stellix.ensemble([member, dict(member, interval=0)], client.get_executor())
    assert results[0].error is None and results[0].fingerprint is not None
    assert isinstance(results[1].error, ValueError) and "interval" in str(results[1].error)


def test_ctrl_c_stops_the_members_running_on_workers(client, tmp_path, monkeypatch):
    runs, temporary = tmp_path / "runs", tmp_path / "tmp"
    runs.mkdir()
    temporary.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temporary))  # the ensemble's marker goes here
    addresses = sorted(client.scheduler_info()["workers"])
    members = stoppable(str(runs), "SS" + "L" * (len(addresses) + 2))
    with pytest.raises(stellix.EnsembleInterrupted) as caught, ctrl_c_after(2.0) as fired:
        stellix.ensemble(members, client.get_executor())
    assert time.monotonic() - fired[0] < 1.0
    results = caught.value.results
    assert [r.error for r in results[:2]] == [None, None]
    # Those that ran stopped at a whole step and kept their result; the
    # others never started.
    interrupted = [isinstance(r.error, stellix.MemberInterrupted) for r in results[2:] if r]
    assert interrupted and all(interrupted)
    # Every worker is free again: its long member saw the cancellation and
    # stopped, rather than run on for two billion steps.
    for address in addresses:
        future = client.submit(int, 7, pure=False, workers=[address], allow_other_workers=False)
        assert future.result(timeout=30) == 7
    assert sorted(os.listdir(runs)) == ["m0.csv", "m1.csv"]
    # A marker outlives the ensemble only for members that might still look.
    assert all(os.listdir(marker) == ["stop"] for marker in temporary.iterdir())
