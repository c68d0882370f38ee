// Which kernels the exported functions use: the automatic choice, a choice
// fixed by the build (STELLIX_FORCE_ISA), and the CPU probe behind both.
#include <gtest/gtest.h>

#include <optional>

#include "core/kernels.h"

namespace {

using stellix::detail::active_kernels;
using stellix::detail::choose_isa;
using stellix::detail::forced_isa;
using stellix::detail::Isa;
using stellix::detail::isa_supported;
using stellix::detail::kernel_table;

// Whether this build has kernels of its own for `isa` (x86-64 builds with
// GCC or Clang have the vector ones).
bool built(Isa isa) {
  return kernel_table(isa).isa == isa;
}

Isa best_supported() {
  Isa best = Isa::kScalar;
  for (Isa isa : stellix::detail::kEveryIsa) {
    if (isa_supported(isa)) best = isa;
  }
  return best;
}

bool all(Isa) {
  return true;
}
bool no_avx512(Isa isa) {
  return isa != Isa::kAvx512;
}
bool scalar_only(Isa isa) {
  return isa == Isa::kScalar;
}

// The choice the dispatcher must make when `supported` says what runs: the
// last, so fastest, instruction set that this build has kernels for.
Isa best_built(bool (*supported)(Isa)) {
  Isa best = Isa::kScalar;
  for (Isa isa : stellix::detail::kEveryIsa) {
    if (built(isa) && supported(isa)) best = isa;
  }
  return best;
}

TEST(Dispatch, ForcedKernelsWinOnlyWhereTheyRun) {
  EXPECT_EQ(choose_isa(std::nullopt, &scalar_only), Isa::kScalar);
  EXPECT_EQ(choose_isa(std::nullopt, &all), best_built(&all));
  for (Isa isa : stellix::detail::kEveryIsa) {
    EXPECT_EQ(choose_isa(isa, &scalar_only), Isa::kScalar);
    // Forcing kernels this build lacks must not select a table that does
    // not exist.
    EXPECT_EQ(choose_isa(isa, &all), built(isa) ? isa : best_built(&all));
  }
  if (built(Isa::kAvx2) && built(Isa::kAvx512)) {
    EXPECT_EQ(choose_isa(std::nullopt, &no_avx512), Isa::kAvx2);
    // A forced instruction set the machine lacks falls back to the best it has.
    EXPECT_EQ(choose_isa(Isa::kAvx512, &no_avx512), Isa::kAvx2);
  }
}

// The build's own statement of what it forced, independent of the library.
TEST(Dispatch, ActiveKernelsFollowTheBuild) {
#if defined(STELLIX_TEST_FORCED_ISA)
  const std::optional<Isa> forced = stellix::detail::isa_named(STELLIX_TEST_FORCED_ISA);
  ASSERT_TRUE(forced.has_value()) << STELLIX_TEST_FORCED_ISA;
#else
  const std::optional<Isa> forced = std::nullopt;
#endif
  EXPECT_EQ(forced_isa(), forced);
  const Isa want = forced.has_value() && isa_supported(*forced) ? *forced : best_supported();
  EXPECT_EQ(active_kernels().isa, want);
  EXPECT_EQ(&active_kernels(), &kernel_table(want));
  std::printf("active kernels: %s (%s)\n", active_kernels().name,
              forced.has_value() ? "forced by the build" : "automatic");
}

// The library reads CPUID and XGETBV itself; the compiler's runtime reads
// them independently.
TEST(Dispatch, CpuProbeAgreesWithTheCompilerRuntime) {
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
  __builtin_cpu_init();
  if (built(Isa::kAvx2)) {
    EXPECT_EQ(isa_supported(Isa::kAvx2), __builtin_cpu_supports("avx2") != 0);
  }
  if (built(Isa::kAvx512)) {
    EXPECT_EQ(isa_supported(Isa::kAvx512),
              __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("avx512f") != 0);
  }
#else
  GTEST_SKIP() << "no independent CPU probe on this platform";
#endif
  EXPECT_TRUE(isa_supported(Isa::kScalar));
}

}  // namespace
