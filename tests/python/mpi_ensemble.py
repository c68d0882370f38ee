"""The ensemble test's members on MPI ranks, for test_ensemble_mpi.py:
  mpiexec -n N python3 -m mpi4py.futures mpi_ensemble.py DIRECTORY
runs them on an MPIPoolExecutor of N - 1 workers, recording into DIRECTORY,
prints what they print, and pickles the results to DIRECTORY/results.pickle
with the number of workers."""

import pickle
import sys

from mpi4py import MPI
from mpi4py.futures import MPIPoolExecutor

import stellix
from ensemble_cases import cases


def main(directory):
    with MPIPoolExecutor() as pool:
        results = stellix.ensemble(cases(directory), pool)
    sys.stdout.flush()
    with open(directory + "/results.pickle", "wb") as out:
        # Every rank but this one is a worker of the pool.
        pickle.dump((MPI.COMM_WORLD.Get_size() - 1, results), out)


if __name__ == "__main__":
    main(sys.argv[1])
