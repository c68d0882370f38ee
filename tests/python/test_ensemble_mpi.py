"""stellix.ensemble on MPI: mpi4py.futures' MPIPoolExecutor on ranks
started by mpiexec, oversubscribing this machine's cores."""

import os
import pickle
import shutil
import subprocess
import sys

import pytest

from ensemble_cases import assert_same, cases, reference
from support import sanitized

pytest.importorskip("mpi4py", reason="Debian's python3-mpi4py")
# The engines start processes of their own (a scheduler, nannies, mpiexec's
# daemons), which a sanitizer runtime preloaded into all of them would judge
# too: they are tested against plain builds, the threads under sanitizers.
pytestmark = pytest.mark.skipif(sanitized(os.environ["STELLIX_LIBRARY"]),
                                reason="the library is built with a sanitizer")
MPIEXEC = shutil.which("mpiexec")
HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.join(HERE, os.pardir, os.pardir, "python")


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    directory = tmp_path_factory.mktemp("reference")
    return reference(cases(str(directory)), str(directory))


@pytest.mark.skipif(MPIEXEC is None, reason="no mpiexec (Debian's openmpi-bin)")
@pytest.mark.parametrize("workers", [1, 2, 3])
def test_mpi_gives_the_bits_of_a_plain_loop(expected, tmp_path, workers):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE, HERE]),
                       OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                       OMPI_MCA_btl="self,vader", OMPI_MCA_rmaps_base_oversubscribe="1")
    command = [MPIEXEC, "-n", str(workers + 1), "--oversubscribe", sys.executable, "-m",
               "mpi4py.futures", os.path.join(HERE, "mpi_ensemble.py"), str(tmp_path)]
    done = subprocess.run(command, env=environment, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    with open(tmp_path / "results.pickle", "rb") as data:
        ran_on, results = pickle.load(data)
    assert ran_on == workers
    assert_same(results, expected[0])
    assert done.stdout == expected[1]
