// The simulation run with its collaborators made explicit, so that tests can
// run it with any kernel table and with an allocator that fails on purpose.
#ifndef STELLIX_SRC_CORE_SIMULATION_H
#define STELLIX_SRC_CORE_SIMULATION_H

#include <cstddef>

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

struct RunOptions {
  double dt;
  std::int32_t steps;
  std::int32_t interval;
  bool record;
  bool store;
  bool print;
};

void run_simulation(Body* bodies, Index n, const RunOptions& options, double* positions,
                    const KernelTable& kernels, const ScratchAllocator& allocator);

}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_SIMULATION_H
