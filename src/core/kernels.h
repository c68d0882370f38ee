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
#include <string_view>

#include "exact_build.h"
#include "isa_registry.h"
#include "stellix/stellix.h"

namespace stellix::detail {

// All index arithmetic is 64-bit so that n*n and 3*n*S never overflow for the
// largest allowed n.
using Index = std::int64_t;

// c, whose cube (c*c)*c = 66699999999906.078125 is the gravitational constant.
// Spelled as its bit pattern so that no decimal-to-binary conversion of any
// compiler can change it.
inline constexpr double kCouplingRoot = std::bit_cast<double>(std::uint64_t{0x40E3CD58A5508701});

#define STELLIX_ISA_ENUMERATOR(enumerator, name, runs_here) enumerator,
enum class Isa : int { STELLIX_EVERY_ISA(STELLIX_ISA_ENUMERATOR) };
#undef STELLIX_ISA_ENUMERATOR

// Every instruction set the library knows, whether or not this build has
// kernels for it (kernel_table falls back to the scalar ones where not).
#define STELLIX_ISA_ITEM(enumerator, name, runs_here) Isa::enumerator,
inline constexpr Isa kEveryIsa[] = {STELLIX_EVERY_ISA(STELLIX_ISA_ITEM)};
#undef STELLIX_ISA_ITEM

// The name of `isa`, as STELLIX_FORCE_ISA, the tests and the benchmarks
// spell it.
constexpr const char* isa_name(Isa isa) {
#define STELLIX_ISA_CASE(enumerator, name, runs_here) \
  case Isa::enumerator:                               \
    return #name;
  switch (isa) { STELLIX_EVERY_ISA(STELLIX_ISA_CASE) }
#undef STELLIX_ISA_CASE
  return "unknown";
}

// The instruction set called `name`, if there is one.
constexpr std::optional<Isa> isa_named(std::string_view name) {
  for (Isa isa : kEveryIsa) {
    if (name == isa_name(isa)) return isa;
  }
  return std::nullopt;
}

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

// The kernels of instruction set I, or null where this build has none (the
// unit kernel_<name>.cpp defines it either way).
template <Isa I>
const KernelTable* kernels_of();
#define STELLIX_ISA_DECLARE(enumerator, name, runs_here) \
  template <>                                            \
  const KernelTable* kernels_of<Isa::enumerator>();
STELLIX_EVERY_ISA(STELLIX_ISA_DECLARE)
#undef STELLIX_ISA_DECLARE

// The kernels of one instruction set, or the scalar ones where this build
// has none for it; the scalar table always exists.
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
