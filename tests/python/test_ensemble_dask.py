"""stellix.ensemble on a Dask cluster: a scheduler and worker processes over
TCP on localhost, driven through the executor of a distributed Client."""

import contextlib
import glob
import io
import os
import shutil
import signal
import tempfile
import threading
import time

import pytest

import stellix
from ensemble_cases import assert_same, cases, reference
from support import sanitized
from systems import seeded_system

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


def test_ctrl_c_stops_the_members_running_on_workers(client, tmp_path):
    short = dict(bodies=seeded_system(200, 3), dt=60.0, steps=50, interval=10, store=False)
    long = dict(short, steps=2_000_000_000)
    addresses = sorted(client.scheduler_info()["workers"])
    members = [dict(m, record=str(tmp_path / ("m%d.csv" % k)))
               for k, m in enumerate([short] * 2 + [long] * (len(addresses) + 2))]
    markers = os.path.join(tempfile.gettempdir(), "stellix-ensemble-*")
    before = set(glob.glob(markers))
    fired = []

    def interrupt():
        fired.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(2.0, interrupt)
    timer.start()
    with pytest.raises(stellix.EnsembleInterrupted) as caught:
        stellix.ensemble(members, client.get_executor())
    assert time.monotonic() - fired[0] < 1.0
    timer.join()
    results = caught.value.results
    assert [r.error for r in results[:2]] == [None, None]
    assert all(r is None or isinstance(r.error, stellix.MemberInterrupted) for r in results[2:])
    # Every worker is free again: its long member saw the cancellation and
    # stopped, rather than run on for two billion steps.
    for address in addresses:
        future = client.submit(int, 7, pure=False, workers=[address], allow_other_workers=False)
        assert future.result(timeout=30) == 7
    assert sorted(os.listdir(tmp_path)) == ["m0.csv", "m1.csv"]
    # The marker the members look for outlives the ensemble, for them.
    for marker in set(glob.glob(markers)) - before:
        assert os.listdir(marker) == ["stop"]
        shutil.rmtree(marker)
