// Chooses the kernels once per process from what the CPU and the operating
// system support. This unit is compiled for the baseline instruction set:
// it runs before anything is known about the machine.
//
// A build may fix the choice (the STELLIX_FORCE_ISA cache variable defines
// STELLIX_FORCED_ISA for this unit alone), so that tests through the
// exported functions can reach every kernel. It is part of the build, not a
// setting: the library reads nothing at run time. Where the machine cannot
// run the forced kernels, the automatic choice stands.
#include <optional>

#include "kernels.h"

#if defined(__AVX__) || defined(__AVX2__) || defined(__AVX512F__)
#error "dispatch.cpp must be compiled for the baseline instruction set"
#endif

#if defined(STELLIX_X86_KERNELS)
#include <cpuid.h>
#endif

namespace stellix::detail {

extern const KernelTable kScalarKernels;
#if defined(STELLIX_X86_KERNELS)
extern const KernelTable kAvx2Kernels;
extern const KernelTable kAvx512Kernels;
#endif
#if defined(STELLIX_NEON_KERNELS)
extern const KernelTable kNeonKernels;
#endif

namespace {

#if defined(STELLIX_X86_KERNELS)
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

bool has_avx2() {
  return has_avx2_state(false);
}
bool has_avx512() {
  return has_avx2_state(true);
}
#endif

bool always() {
  return true;
}

struct Entry {
  Isa isa;
  const KernelTable* table;
  bool (*runs_here)();
};

// Every instruction set this build has kernels for, one line each, slower
// before faster.
constexpr Entry kEntries[] = {
    {Isa::kScalar, &kScalarKernels, &always},
#if defined(STELLIX_X86_KERNELS)
    {Isa::kAvx2, &kAvx2Kernels, &has_avx2},
    {Isa::kAvx512, &kAvx512Kernels, &has_avx512},
#endif
#if defined(STELLIX_NEON_KERNELS)
    // Advanced SIMD is part of every aarch64 processor.
    {Isa::kNeon, &kNeonKernels, &always},
#endif
};

constexpr int kEntryCount = static_cast<int>(sizeof kEntries / sizeof kEntries[0]);

const Entry* entry_of(Isa isa) {
  for (const Entry& e : kEntries) {
    if (e.isa == isa) return &e;
  }
  return nullptr;
}

struct Support {
  bool supported[kEntryCount];
};

// Computed once, on first use, with the thread-safe initialisation of a
// function-local static; nothing a caller can observe is ever written.
const Support& support() {
  static const Support s = [] {
    Support r{};
    for (int k = 0; k < kEntryCount; ++k)
      r.supported[k] = kEntries[k].runs_here();
    return r;
  }();
  return s;
}

}  // namespace

const KernelTable& kernel_table(Isa isa) {
  const Entry* e = entry_of(isa);
  return *(e != nullptr ? e : &kEntries[0])->table;
}

bool isa_supported(Isa isa) {
  const Entry* e = entry_of(isa);
  return e != nullptr && support().supported[e - kEntries];
}

Isa choose_isa(std::optional<Isa> forced, bool (*supported)(Isa)) {
  if (forced.has_value() && entry_of(*forced) != nullptr && supported(*forced)) return *forced;
  Isa best = Isa::kScalar;
  for (const Entry& e : kEntries) {
    if (supported(e.isa)) best = e.isa;
  }
  return best;
}

std::optional<Isa> forced_isa() {
#if defined(STELLIX_FORCED_ISA)
  return Isa::STELLIX_FORCED_ISA;
#else
  return std::nullopt;
#endif
}

const KernelTable& active_kernels() {
  static const KernelTable& chosen = kernel_table(choose_isa(forced_isa(), &isa_supported));
  return chosen;
}

}  // namespace stellix::detail
