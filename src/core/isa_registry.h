// Every instruction set the library has kernels for, one line each, slower
// before faster: the order is the order of preference.
//
//   X(enumerator, name, runs_here)
//
// `name` is what STELLIX_FORCE_ISA, the tests and the benchmarks call it;
// `runs_here` is the dispatcher's check that this CPU and operating system
// run it (dispatch.cpp). The kernels themselves are in kernel_<name>.cpp,
// and cmake/stellixIsas.cmake says which processors and flags build them.
#ifndef STELLIX_SRC_CORE_ISA_REGISTRY_H
#define STELLIX_SRC_CORE_ISA_REGISTRY_H

#define STELLIX_EVERY_ISA(X)          \
  X(kScalar, scalar, runs_everywhere) \
  X(kAvx2, avx2, runs_avx2)           \
  X(kAvx512, avx512, runs_avx512f)    \
  X(kNeon, neon, runs_everywhere)

#endif  // STELLIX_SRC_CORE_ISA_REGISTRY_H
