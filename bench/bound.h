// The floor of any exact kernel: one square root and one division per pair,
// c / sqrt(s) over an array that stays in the first-level cache, with the
// widest registers of each instruction set.
#ifndef STELLIX_BENCH_BOUND_H
#define STELLIX_BENCH_BOUND_H

#include <cstddef>

namespace bound {

// out[k] = c / sqrt(in[k]) for k < count (a multiple of 8); both arrays
// 64-byte aligned. Null where this build has no such code.
using Kernel = void (*)(const double* in, double* out, std::size_t count);
extern const Kernel kScalar;
extern const Kernel kAvx2;
extern const Kernel kAvx512;

}  // namespace bound

#endif  // STELLIX_BENCH_BOUND_H
