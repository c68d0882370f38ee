// The simulation run with its collaborators made explicit, so that tests can
// run it with any kernel table, with an allocator that fails on purpose and
// with a run file whose failures they script.
#ifndef STELLIX_SRC_CORE_SIMULATION_H
#define STELLIX_SRC_CORE_SIMULATION_H

#include <cstddef>
#include <cstdio>

#include "kernels.h"

namespace stellix::detail {

struct ScratchAllocator {
  // Returns null on failure.
  void* (*allocate)(std::size_t bytes, void* context);
  void (*release)(void* memory, void* context);
  void* context;
};

// The C library's malloc and free.
ScratchAllocator system_allocator();

// Opens the run file for writing: null, with errno set, on failure.
using RunFileOpener = std::FILE* (*)(void* context);
// fopen("output.csv", "w") in the current directory.
std::FILE* open_output_csv(void* context);

struct RunOptions {
  double dt;
  std::int32_t steps;
  std::int32_t interval;
  bool record;
  bool store;
  bool print;
  RunFileOpener open_run_file = &open_output_csv;
  void* run_file_context = nullptr;
};

// Returns 0 when everything asked for was done; ENOMEM when the scratch could
// not be obtained, and then nothing was done; otherwise the system's error of
// the first failure to open, write or close the run file, the run itself and
// the other channels being complete.
int run_simulation(Body* bodies, Index n, const RunOptions& options, double* positions,
                   const KernelTable& kernels, const ScratchAllocator& allocator);

}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_SIMULATION_H
