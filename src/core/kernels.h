// Internal interface between the exported force functions, the simulation run
// and the per-instruction-set kernels. Nothing here is exported from the
// shared library; tests and benchmarks reach it through the internal static
// library.
#ifndef STELLIX_SRC_CORE_KERNELS_H
#define STELLIX_SRC_CORE_KERNELS_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "stellix/stellix.h"

namespace stellix::detail {

// All index arithmetic is 64-bit so that n*n and 3*n*S never overflow for the
// largest allowed n.
using Index = std::int64_t;

// c, whose cube (c*c)*c = 66699999999906.078125 is the gravitational constant.
// Spelled as its bit pattern so that no decimal-to-binary conversion of any
// compiler can change it.
inline constexpr double kCouplingRoot = std::bit_cast<double>(std::uint64_t{0x40E3CD58A5508701});

enum class Isa : int { kScalar = 0, kAvx2 = 1, kAvx512 = 2, kNeon = 3 };

// Every instruction set the library knows, whether or not this build has
// kernels for it (kernel_table falls back to the scalar ones where not).
inline constexpr Isa kEveryIsa[] = {Isa::kScalar, Isa::kAvx2, Isa::kAvx512, Isa::kNeon};

struct KernelTable {
  Isa isa;
  const char* name;
  // Fills the whole n*n factor matrix (the exported matrix function).
  void (*factor_matrix)(const Body* bodies, Index n, double* matrix);
  // Fills the factor matrix and the accelerations (the exported acceleration
  // function); the accelerations equal those of `accelerations` bit for bit.
  void (*accelerations_and_matrix)(const Body* bodies, Index n, double* accelerations,
                                   double* matrix);
  // Accelerations without a matrix, for the simulation run. `workspace` holds
  // workspace_doubles(n) doubles (it may be null when that is 0).
  void (*accelerations)(const Body* bodies, Index n, double* accelerations, double* workspace);
  std::size_t (*workspace_doubles)(Index n);
};

// The kernels of one instruction set; the scalar table always exists.
const KernelTable& kernel_table(Isa isa);
// Whether this CPU and operating system can run `isa`.
bool isa_supported(Isa isa);
// The instruction set this build was fixed to, if any.
std::optional<Isa> forced_isa();
// The forced instruction set where this build has kernels for it and
// `supported` says it runs; otherwise the fastest such one.
Isa choose_isa(std::optional<Isa> forced, bool (*supported)(Isa));
// choose_isa(forced_isa(), isa_supported), chosen once: the kernels of the
// exported functions.
const KernelTable& active_kernels();

}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_KERNELS_H
