// Chooses the kernels once per process from what the CPU and the operating
// system support. This unit is compiled for the baseline instruction set:
// it runs before anything is known about the machine.
//
// A build may fix the choice (the STELLIX_FORCE_ISA cache variable defines
// STELLIX_FORCED_ISA for this unit alone), so that tests through the
// exported functions can reach every kernel. It is part of the build, not a
// setting: the library reads nothing at run time. Where the machine cannot
// run the forced kernels, the automatic choice stands.
#include <iterator>
#include <optional>

#include "kernels.h"

#if defined(__AVX__) || defined(__AVX2__) || defined(__AVX512F__)
#error "dispatch.cpp must be compiled for the baseline instruction set"
#endif

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define STELLIX_CPUID 1
#include <cpuid.h>
#endif

namespace stellix::detail {
namespace {

// The checks of STELLIX_EVERY_ISA (isa_registry.h): whether this CPU and
// operating system run an instruction set's kernels.
bool runs_everywhere() {
  return true;
}

#if defined(STELLIX_CPUID)
struct Cpuid {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

Cpuid cpuid(unsigned leaf, unsigned subleaf) {
  Cpuid r;
  if (__get_cpuid_count(leaf, subleaf, &r.eax, &r.ebx, &r.ecx, &r.edx) == 0) return Cpuid{};
  return r;
}

// The register state the operating system saves on a context switch. Read
// with the raw instruction: the intrinsic would need -mxsave in this unit.
unsigned long long enabled_state() {
  unsigned eax = 0, edx = 0;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<unsigned long long>(edx) << 32) | eax;
}

// AVX and the AVX registers enabled by the operating system; `zmm` adds
// AVX-512F and the opmask and upper zmm registers.
bool has_avx2_state(bool zmm) {
  const Cpuid basic = cpuid(1, 0);
  const bool osxsave = (basic.ecx & (1u << 27)) != 0;
  const bool avx = (basic.ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return false;
  const unsigned long long state = enabled_state();
  const Cpuid extended = cpuid(7, 0);
  const bool avx2 = (extended.ebx & (1u << 5)) != 0;
  if (!zmm) return avx2 && (state & 0x6) == 0x6;  // SSE and AVX registers
  const bool avx512f = (extended.ebx & (1u << 16)) != 0;
  return avx2 && avx512f && (state & 0xE6) == 0xE6;
}

bool runs_avx2() {
  return has_avx2_state(false);
}
bool runs_avx512f() {
  return has_avx2_state(true);
}
#else
// No x86 kernels are built here; these are never asked.
bool runs_avx2() {
  return false;
}
bool runs_avx512f() {
  return false;
}
#endif

// What this build has of each instruction set, and whether this CPU and
// operating system run it, indexed by the enumerator.
struct Known {
  const KernelTable* table;  // null where this build has none
  bool runs;                 // table present and runs here
};

struct Registry {
  Known known[std::size(kEveryIsa)];
  const Known& operator[](Isa isa) const { return known[static_cast<int>(isa)]; }
};

// Found once, on first use, with the thread-safe initialisation of a
// function-local static; nothing a caller can observe is ever written.
const Registry& registry() {
  static const Registry r = [] {
    Registry out{};
#define STELLIX_ISA_KNOWN(enumerator, name, runs_here)                                       \
  {                                                                                          \
    const KernelTable* table = kernels_of<Isa::enumerator>();                                \
    out.known[static_cast<int>(Isa::enumerator)] = {table, table != nullptr && runs_here()}; \
  }
    STELLIX_EVERY_ISA(STELLIX_ISA_KNOWN)
#undef STELLIX_ISA_KNOWN
    return out;
  }();
  return r;
}

bool built(Isa isa) {
  return registry()[isa].table != nullptr;
}

}  // namespace

const KernelTable& kernel_table(Isa isa) {
  const KernelTable* table = registry()[isa].table;
  return table != nullptr ? *table : *registry()[Isa::kScalar].table;
}

bool isa_supported(Isa isa) {
  return registry()[isa].runs;
}

Isa choose_isa(std::optional<Isa> forced, bool (*supported)(Isa)) {
  if (forced.has_value() && built(*forced) && supported(*forced)) return *forced;
  Isa best = Isa::kScalar;
  for (Isa isa : kEveryIsa) {
    if (built(isa) && supported(isa)) best = isa;
  }
  return best;
}

#if defined(STELLIX_FORCED_ISA)
static_assert(isa_named(STELLIX_FORCED_ISA).has_value(),
              "STELLIX_FORCED_ISA names no instruction set of isa_registry.h");
#endif

std::optional<Isa> forced_isa() {
#if defined(STELLIX_FORCED_ISA)
  return isa_named(STELLIX_FORCED_ISA);
#else
  return std::nullopt;
#endif
}

const KernelTable& active_kernels() {
  static const KernelTable& chosen = kernel_table(choose_isa(forced_isa(), &isa_supported));
  return chosen;
}

}  // namespace stellix::detail
