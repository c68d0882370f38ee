// Chooses the kernels once per process from what the CPU and the operating
// system support. This unit is compiled for the baseline instruction set:
// it runs before anything is known about the machine.
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

namespace {

// Indexed by Isa; an instruction set this build has no kernels for falls
// back to the scalar ones.
const KernelTable* const kTables[] = {
    &kScalarKernels,
#if defined(STELLIX_X86_KERNELS)
    &kAvx2Kernels,
    &kAvx512Kernels,
#else
    &kScalarKernels,
    &kScalarKernels,
#endif
};

constexpr int kIsaCount = static_cast<int>(sizeof kTables / sizeof kTables[0]);

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

bool detect(Isa isa) {
  if (isa == Isa::kScalar) return true;
  const Cpuid basic = cpuid(1, 0);
  const bool osxsave = (basic.ecx & (1u << 27)) != 0;
  const bool avx = (basic.ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return false;
  const unsigned long long state = enabled_state();
  const bool ymm_state = (state & 0x6) == 0x6;  // SSE and AVX registers
  const Cpuid extended = cpuid(7, 0);
  const bool avx2 = (extended.ebx & (1u << 5)) != 0;
  if (isa == Isa::kAvx2) return ymm_state && avx2;
  // Opmask, upper halves of zmm0-15 and zmm16-31.
  const bool zmm_state = (state & 0xE6) == 0xE6;
  const bool avx512f = (extended.ebx & (1u << 16)) != 0;
  return zmm_state && avx2 && avx512f;
}
#else
bool detect(Isa isa) {
  return isa == Isa::kScalar;
}
#endif

struct Support {
  bool supported[kIsaCount];
};

Support probe() {
  Support s{};
  for (int k = 0; k < kIsaCount; ++k)
    s.supported[k] = detect(static_cast<Isa>(k));
  return s;
}

// Computed once, on first use, with the thread-safe initialisation of a
// function-local static; nothing a caller can observe is ever written.
const Support& support() {
  static const Support s = probe();
  return s;
}

int index_of(Isa isa) {
  const int k = static_cast<int>(isa);
  return k >= 0 && k < kIsaCount ? k : 0;
}

}  // namespace

const KernelTable& kernel_table(Isa isa) {
  return *kTables[index_of(isa)];
}

bool isa_supported(Isa isa) {
  const int k = static_cast<int>(isa);
  return k >= 0 && k < kIsaCount && support().supported[k];
}

const KernelTable& active_kernels() {
  static const KernelTable& best = []() -> const KernelTable& {
    for (int k = kIsaCount - 1; k > 0; --k) {
      if (support().supported[k]) return *kTables[k];
    }
    return *kTables[0];
  }();
  return best;
}

}  // namespace stellix::detail
