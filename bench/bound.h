// The floors of any exact kernel: one square root and one division per
// pair, c / sqrt(s) over an array that stays in the first-level cache, with
// the widest registers of each instruction set; and, for the matrix
// functions, the matrix written once in order, without any arithmetic.
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
extern const Kernel kNeon;

// out[k] = value for k < count, front to back, with non-temporal stores
// where `stream` is set and the baseline instruction set has them (as the
// line tiles do for large matrices), else with ordinary ones.
void fill(double* out, std::size_t count, double value, bool stream);

}  // namespace bound

#endif  // STELLIX_BENCH_BOUND_H
