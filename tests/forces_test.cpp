// Gravity factors and accelerations: the exact constant, symmetry, the +0.0
// diagonal, non-finite and degenerate systems, and bit-for-bit agreement of
// every kernel with the straightforward reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/kernels.h"
#include "core/simulation.h"
#include "reference.h"
#include "support.h"

namespace {

using stellix::detail::Isa;
using stellix::detail::isa_name;
using stellix::detail::isa_supported;
using stellix::detail::kernel_table;
using testing_support::random_system;
using testing_support::SameBits;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Body at(double x, double y, double z, double mass = 1.0) {
  return Body{x, y, z, 0, 0, 0, mass};
}

std::vector<double> garbage(std::size_t count) {
  // A signalling-NaN-like pattern nobody would compute.
  std::vector<double> v(count);
  const std::uint64_t bits = 0xFFF4DEADBEEF0123ull;
  for (double& d : v)
    std::memcpy(&d, &bits, sizeof d);
  return v;
}

TEST(GravityFactor, UnitDistanceGivesTheCubedConstantExactly) {
  const Body bodies[2] = {at(0, 0, 0), at(1, 0, 0)};
  std::vector<double> m = garbage(4);
  getInverseDistanceCubedMatrix(bodies, 2, m.data());
  EXPECT_EQ(m[1], 66699999999906.078125);
  EXPECT_EQ(m[2], 66699999999906.078125);
  EXPECT_EQ(testing_support::bits_of(m[0]), 0u);
  EXPECT_EQ(testing_support::bits_of(m[3]), 0u);
}

TEST(GravityFactor, SymmetricWithPositiveZeroDiagonalEvenForNaNAndGarbage) {
  std::vector<Body> bodies = random_system(9, 7);
  bodies[3].y = kNaN;
  bodies[5].x = -kInf;
  const int n = static_cast<int>(bodies.size());
  std::vector<double> m = garbage(n * n);
  getInverseDistanceCubedMatrix(bodies.data(), n, m.data());
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(testing_support::bits_of(m[n * i + i]), 0u) << "diagonal " << i;
    for (int j = 0; j < n; ++j) {
      EXPECT_EQ(testing_support::bits_of(m[n * i + j]), testing_support::bits_of(m[n * j + i]));
      if (i != j && (i == 3 || j == 3)) {
        EXPECT_TRUE(std::isnan(m[n * i + j]));
      }
    }
  }
}

TEST(GravityFactor, CoincidentBodiesGiveInfiniteFactorsAndNaNAccelerations) {
  const Body bodies[3] = {at(1, 2, 3), at(5, 5, 5), at(1, 2, 3)};
  std::vector<double> m(9), a(9);
  getAccelerationVectorArray(bodies, 3, a.data(), m.data());
  EXPECT_EQ(m[2], kInf);
  EXPECT_EQ(m[6], kInf);
  for (int k : {0, 1, 2, 6, 7, 8})
    EXPECT_TRUE(std::isnan(a[k])) << k;
}

TEST(GravityFactor, SwappingTwoBodiesPermutesTheMatrix) {
  std::vector<Body> bodies = random_system(6, 11);
  std::vector<Body> swapped = bodies;
  std::swap(swapped[1], swapped[4]);
  const int perm[6] = {0, 4, 2, 3, 1, 5};
  std::vector<double> m(36), ms(36);
  getInverseDistanceCubedMatrix(bodies.data(), 6, m.data());
  getInverseDistanceCubedMatrix(swapped.data(), 6, ms.data());
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 6; ++j)
      EXPECT_TRUE(testing_support::same_bits(m[6 * perm[i] + perm[j]], ms[6 * i + j]));
}

TEST(GravityFactor, InvsqrtFollowsTheLibrarySquareRoot) {
  EXPECT_EQ(invsqrt(0.0), kInf);
  EXPECT_EQ(invsqrt(-0.0), -kInf);
  EXPECT_EQ(testing_support::bits_of(invsqrt(kInf)), 0u);
  EXPECT_TRUE(std::isnan(invsqrt(-1.0)));
  EXPECT_TRUE(std::isnan(invsqrt(-kInf)));
  EXPECT_TRUE(std::isnan(invsqrt(kNaN)));
  EXPECT_EQ(invsqrt(4.0), 0.5);
  EXPECT_EQ(invsqrt(std::numeric_limits<double>::denorm_min()), 0x1p537);
  testing_support::Rng rng(3);
  for (int k = 0; k < 1000; ++k) {
    const double x = std::ldexp(rng.uniform(1, 2), static_cast<int>(rng.next() % 2000) - 1000);
    EXPECT_EQ(testing_support::bits_of(invsqrt(x)), testing_support::bits_of(1.0 / std::sqrt(x)));
  }
}

TEST(Acceleration, EmptyAndNegativeCountsWriteNothing) {
  const Body bodies[1] = {at(1, 1, 1)};
  for (int n : {0, -1, -46340}) {
    std::vector<double> m = garbage(4), a = garbage(6);
    getInverseDistanceCubedMatrix(bodies, n, m.data());
    getAccelerationVectorArray(bodies, n, a.data(), m.data());
    EXPECT_TRUE(SameBits(garbage(4).data(), m.data(), 4));
    EXPECT_TRUE(SameBits(garbage(6).data(), a.data(), 6));
  }
}

TEST(Acceleration, SingleBodyFeelsNothing) {
  const Body bodies[1] = {at(3, -4, 5, 7)};
  std::vector<double> m = garbage(1), a = garbage(3);
  getAccelerationVectorArray(bodies, 1, a.data(), m.data());
  EXPECT_EQ(testing_support::bits_of(m[0]), 0u);
  for (double v : a)
    EXPECT_EQ(testing_support::bits_of(v), 0u);
}

TEST(Acceleration, TwoBodiesAttractAlongTheirAxis) {
  const double d = 3.5e8, m0 = 5.972, m1 = 0.07346;
  const Body bodies[2] = {at(0, 0, 0, m0), at(d, 0, 0, m1)};
  std::vector<double> m(4), a(6);
  getAccelerationVectorArray(bodies, 2, a.data(), m.data());
  const double q = reference::coupling_root() / std::sqrt((d * d + 0.0) + 0.0);
  const double f = (q * q) * q;
  EXPECT_EQ(a[0], d * (f * m1));
  EXPECT_EQ(a[3], (-d) * (f * m0));
  EXPECT_GT(a[0], 0.0);
  EXPECT_LT(a[3], 0.0);
  for (int k : {1, 2, 4, 5})
    EXPECT_EQ(testing_support::bits_of(a[k]), 0u) << k;
}

TEST(Acceleration, ZeroMassBodyActsOnNothing) {
  std::vector<Body> bodies = random_system(5, 21);
  std::vector<Body> with = bodies;
  with.insert(with.begin() + 2, at(1e9, -2e9, 3e8, 0.0));
  std::vector<double> a(15), m(25), aw(18), mw(36);
  getAccelerationVectorArray(bodies.data(), 5, a.data(), m.data());
  getAccelerationVectorArray(with.data(), 6, aw.data(), mw.data());
  const int others[5] = {0, 1, 3, 4, 5};
  for (int k = 0; k < 5; ++k)
    EXPECT_TRUE(SameBits(&a[3 * k], &aw[3 * others[k]], 3)) << k;
  for (int c = 0; c < 3; ++c)
    EXPECT_TRUE(std::isfinite(aw[6 + c]));
}

TEST(Acceleration, NonFiniteOwnTermPoisonsOnlyThatBody) {
  // A body of infinite mass far away: its own term (0*inf) is NaN; the others
  // receive infinite accelerations rather than NaN.
  std::vector<Body> bodies = {at(0, 0, 0), at(1, 0, 0), at(1e3, 0, 0, kInf)};
  std::vector<double> a(9), m(9);
  getAccelerationVectorArray(bodies.data(), 3, a.data(), m.data());
  EXPECT_TRUE(std::isnan(a[6]));
  EXPECT_EQ(a[0], kInf);
}

// Systems that exercise every path of the kernels: sizes around vector
// widths, non-finite and subnormal values, coincident and zero-mass bodies.
std::vector<Body> hostile_system(int n, std::uint64_t seed) {
  std::vector<Body> bodies = random_system(n, seed);
  testing_support::Rng rng(seed ^ 0xABCDEFull);
  const double specials[] = {kNaN, kInf, -kInf, 0.0, -0.0, 4.9e-324, 1e300, -1e-300};
  for (int k = 0; k < n / 4; ++k) {
    Body& b = bodies[rng.next() % n];
    double* field = &b.x + rng.next() % 7;
    *field = specials[rng.next() % 8];
  }
  if (n >= 3) bodies[n - 1] = bodies[n / 2];  // a coincident pair
  if (n >= 2) bodies[0].mass = 0.0;
  return bodies;
}

class EveryKernel : public ::testing::TestWithParam<Isa> {
 protected:
  void SetUp() override {
    if (!isa_supported(GetParam())) GTEST_SKIP() << "not supported on this machine";
  }
};

TEST_P(EveryKernel, MatchesTheReferenceBitForBit) {
  const auto& k = kernel_table(GetParam());
  for (int n :
       {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 31, 33, 63, 64, 65, 100, 129, 255, 257, 300}) {
    for (std::uint64_t seed : {1ull, 2ull}) {
      for (bool hostile : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << "n=" << n << " seed=" << seed << " hostile=" << hostile);
        const std::vector<Body> b = hostile ? hostile_system(n, seed) : random_system(n, seed);
        const std::size_t nn = static_cast<std::size_t>(n) * n;
        std::vector<double> want_m(nn), want_a(3 * n);
        reference::accelerations(b.data(), n, want_a.data(), want_m.data());

        std::vector<double> m = garbage(nn), a = garbage(3 * n);
        k.factor_matrix(b.data(), n, m.data());
        ASSERT_TRUE(SameBits(want_m.data(), m.data(), nn));

        m = garbage(nn);
        k.accelerations_and_matrix(b.data(), n, a.data(), m.data());
        ASSERT_TRUE(SameBits(want_m.data(), m.data(), nn));
        ASSERT_TRUE(SameBits(want_a.data(), a.data(), 3 * n));

        a = garbage(3 * n);
        std::vector<double> workspace = garbage(k.workspace_doubles(n));
        k.accelerations(b.data(), n, a.data(), workspace.data());
        ASSERT_TRUE(SameBits(want_a.data(), a.data(), 3 * n));
      }
    }
  }
}

// Bodies whose differences, squares and masses are subnormal or underflow to
// zero, mixed with ordinary ones: vector units must neither flush them nor
// round them differently.
std::vector<Body> subnormal_system(int n, std::uint64_t seed) {
  testing_support::Rng rng(seed);
  std::vector<Body> bodies(static_cast<std::size_t>(n));
  const double tiny = std::numeric_limits<double>::denorm_min();
  for (int i = 0; i < n; ++i) {
    Body& b = bodies[i];
    switch (rng.next() % 4) {
      case 0:  // coordinates a few subnormal steps apart
        b = at(tiny * static_cast<double>(rng.next() % 64), -tiny * static_cast<double>(i % 7), 0.0,
               tiny * static_cast<double>(1 + rng.next() % 5));
        break;
      case 1:  // squares of the differences underflow, the differences do not
        b = at(1e-160 * rng.uniform(-1, 1), 1e-170 * rng.uniform(-1, 1), 0.0,
               rng.uniform(1e-310, 1e-308));
        break;
      case 2:  // near the top of the range: squares overflow
        b = at(1e154 * rng.uniform(-1, 1), 0.0, 1e150, 2.0);
        break;
      default:
        b = at(rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(0, 1));
    }
  }
  return bodies;
}

// Every array at an address that is a multiple of 8 bytes but of no larger
// power of two: the kernels must not assume any alignment of the caller's
// arrays, and must align their own workspace themselves.
template <class T>
T* misaligned(std::vector<double>& storage) {
  auto* p = storage.data();
  while (reinterpret_cast<std::uintptr_t>(p) % 16 != 8)
    ++p;
  return reinterpret_cast<T*>(p);
}

TEST_P(EveryKernel, SubnormalAndExtremeValuesMatchTheReference) {
  const auto& k = kernel_table(GetParam());
  for (int n : {2, 9, 37, 130}) {
    SCOPED_TRACE(::testing::Message() << "n=" << n);
    const std::vector<Body> b = subnormal_system(n, 77 + n);
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    std::vector<double> want_m(nn), want_a(3 * n);
    reference::accelerations(b.data(), n, want_a.data(), want_m.data());
    std::vector<double> m = garbage(nn), a = garbage(3 * n);
    k.accelerations_and_matrix(b.data(), n, a.data(), m.data());
    EXPECT_TRUE(SameBits(want_m.data(), m.data(), nn));
    EXPECT_TRUE(SameBits(want_a.data(), a.data(), 3 * n));
    std::vector<double> workspace(k.workspace_doubles(n));
    a = garbage(3 * n);
    k.accelerations(b.data(), n, a.data(), workspace.data());
    EXPECT_TRUE(SameBits(want_a.data(), a.data(), 3 * n));
  }
}

TEST_P(EveryKernel, UnalignedArraysAndExactWorkspace) {
  const auto& k = kernel_table(GetParam());
  for (int n : {1, 7, 17, 70}) {
    SCOPED_TRACE(::testing::Message() << "n=" << n);
    const std::vector<Body> b = hostile_system(n, 9);
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    std::vector<double> want_m(nn), want_a(3 * n);
    reference::accelerations(b.data(), n, want_a.data(), want_m.data());

    std::vector<double> body_store(7 * n + 2), m_store(nn + 2), a_store(3 * n + 2);
    Body* bodies = misaligned<Body>(body_store);
    std::memcpy(bodies, b.data(), b.size() * sizeof(Body));
    double* m = misaligned<double>(m_store);
    double* a = misaligned<double>(a_store);
    k.accelerations_and_matrix(bodies, n, a, m);
    EXPECT_TRUE(SameBits(want_m.data(), m, nn));
    EXPECT_TRUE(SameBits(want_a.data(), a, 3 * n));

    // The workspace exactly as large as asked for, at an odd address, and
    // followed by guards that must survive.
    const std::size_t ws = k.workspace_doubles(n);
    std::vector<double> ws_store(ws + 2 + 8, 1234.5);
    double* workspace = misaligned<double>(ws_store);
    const std::size_t guard = static_cast<std::size_t>(workspace - ws_store.data()) + ws;
    std::fill(a, a + 3 * n, -1.0);
    k.accelerations(bodies, n, a, workspace);
    EXPECT_TRUE(SameBits(want_a.data(), a, 3 * n));
    for (std::size_t g = guard; g < ws_store.size(); ++g)
      EXPECT_EQ(ws_store[g], 1234.5) << g;
  }
}

// When n is a multiple of eight, every row of the matrix starts at the same
// offset within a cache line, and the vector kernels lay their tiles on the
// lines. Each offset of the matrix within a line moves the edges of the
// tiles; nothing may be written outside the matrix, whose neighbours may
// share its first and last lines. From n = 2048 on the lines are streamed
// past the caches.
TEST_P(EveryKernel, MatrixAtEveryOffsetWithinACacheLine) {
  const auto& k = kernel_table(GetParam());
  constexpr double kGuard = -7.25;
  const std::uint64_t lines[] = {8, 16, 40, 136, 2048};
  for (std::uint64_t n : lines) {
    const std::vector<Body> b =
        n < 2048 ? hostile_system(static_cast<int>(n), n) : random_system(static_cast<int>(n), 5);
    const std::size_t nn = n * n;
    std::vector<double> want_m(nn), want_a(3 * n);
    reference::accelerations(b.data(), static_cast<int>(n), want_a.data(), want_m.data());
    // The largest order is checked at two offsets only, to keep the suite
    // quick; the edges of its tiles are those of the smaller orders.
    const int offsets = n < 2048 ? 8 : 2;
    std::vector<double> storage(nn + 3 * 8);
    for (int offset = 0; offset < offsets; ++offset) {
      SCOPED_TRACE(::testing::Message() << "n=" << n << " offset=" << offset);
      std::fill(storage.begin(), storage.end(), kGuard);
      double* line = storage.data();
      while (reinterpret_cast<std::uintptr_t>(line) % 64 != 0)
        ++line;
      double* m = line + 8 + offset;
      const std::vector<double> a_garbage = garbage(3 * n);
      std::vector<double> a = a_garbage;
      if (offset % 2 == 0) {
        k.factor_matrix(b.data(), static_cast<std::int64_t>(n), m);
      } else {
        k.accelerations_and_matrix(b.data(), static_cast<std::int64_t>(n), a.data(), m);
        ASSERT_TRUE(SameBits(want_a.data(), a.data(), 3 * n));
      }
      ASSERT_TRUE(SameBits(want_m.data(), m, nn));
      for (double* g = storage.data(); g < m; ++g)
        ASSERT_EQ(*g, kGuard) << "before the matrix at " << (m - g);
      for (double* g = m + nn; g < storage.data() + storage.size(); ++g)
        ASSERT_EQ(*g, kGuard) << "after the matrix at " << (g - m - nn);
    }
  }
}

TEST_P(EveryKernel, ResultsDoNotDependOnWhatTheWorkspaceHeld) {
  const auto& k = kernel_table(GetParam());
  const int n = 41;
  const std::vector<Body> b = random_system(n, 13);
  std::vector<double> first(3 * n), second(3 * n);
  std::vector<double> workspace = garbage(k.workspace_doubles(n));
  k.accelerations(b.data(), n, first.data(), workspace.data());
  // Left over from another system of the same size, as in a run whose
  // workspace is reused from step to step.
  const std::vector<Body> other = hostile_system(n, 14);
  k.accelerations(other.data(), n, second.data(), workspace.data());
  k.accelerations(b.data(), n, second.data(), workspace.data());
  EXPECT_TRUE(SameBits(first.data(), second.data(), 3 * n));
}

// The whole run with each kernel table: positions of every snapshot and the
// final bodies equal the straightforward run's.
TEST_P(EveryKernel, SimulationRunMatchesTheReference) {
  const auto& k = kernel_table(GetParam());
  for (int n : {1, 2, 9, 33}) {
    for (bool hostile : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "n=" << n << " hostile=" << hostile);
      const std::vector<Body> initial = hostile ? hostile_system(n, 21) : random_system(n, 21);
      const int steps = 7, interval = 3;
      const reference::RunResult want = reference::simulate(initial, 3600.0, steps, interval);
      std::vector<Body> bodies = initial;
      std::vector<double> positions(want.positions.size());
      const stellix::detail::RunOptions options{3600.0, steps, interval, false, true, false};
      stellix::detail::run_simulation(bodies.data(), n, options, positions.data(), k,
                                      stellix::detail::system_allocator());
      EXPECT_TRUE(testing_support::SameBodies(want.bodies, bodies));
      EXPECT_TRUE(SameBits(want.positions.data(), positions.data(), positions.size()));
    }
  }
}

// The run asks for all its scratch at once, and at the largest order that
// must stay under 5 MiB whatever the kernels keep in their workspace. The
// allocator notes the request and refuses it, so nothing is computed.
TEST_P(EveryKernel, ScratchOfTheLargestRunStaysUnderFiveMiB) {
  struct Asked {
    std::size_t bytes = 0;
    int times = 0;
  } asked;
  const stellix::detail::ScratchAllocator refusing{[](std::size_t bytes, void* context) -> void* {
                                                     auto* a = static_cast<Asked*>(context);
                                                     a->bytes += bytes;
                                                     ++a->times;
                                                     return nullptr;
                                                   },
                                                   [](void*, void*) {}, &asked};
  const int n = STELLIX_MAX_BODIES;
  std::vector<Body> bodies = random_system(n, 31);
  const std::vector<Body> before = bodies;
  const stellix::detail::RunOptions options{3600.0, 1, 1, false, false, false};
  EXPECT_EQ(stellix::detail::run_simulation(bodies.data(), n, options, nullptr,
                                            kernel_table(GetParam()), refusing),
            ENOMEM);
  EXPECT_TRUE(testing_support::SameBodies(before, bodies));
  EXPECT_EQ(asked.times, 1);
  EXPECT_GT(asked.bytes, 2 * 3 * sizeof(double) * static_cast<std::size_t>(n));
  EXPECT_LT(asked.bytes, std::size_t{5} << 20);
}

INSTANTIATE_TEST_SUITE_P(Isa, EveryKernel, ::testing::ValuesIn(stellix::detail::kEveryIsa),
                         [](const auto& info) { return isa_name(info.param); });

// Names the variants this machine ran (and skipped) in the test log and in
// the XML report; which of them the exported functions use is checked in
// dispatch_test.cpp, as a build may fix it.
TEST(KernelSelection, EveryTableIsItsOwn) {
  std::string ran, skipped;
  for (Isa isa : stellix::detail::kEveryIsa) {
    const auto& table = kernel_table(isa);
    if (isa_supported(isa)) {
      EXPECT_EQ(table.isa, isa);
      EXPECT_STREQ(isa_name(isa), table.name);
      ran += (ran.empty() ? "" : " ") + std::string(isa_name(isa));
    } else {
      skipped += (skipped.empty() ? "" : " ") + std::string(isa_name(isa));
    }
  }
  EXPECT_TRUE(isa_supported(Isa::kScalar));
  RecordProperty("kernels_run", ran);
  RecordProperty("kernels_skipped", skipped.empty() ? "none" : skipped);
  std::printf("kernel variants run here: %s; skipped: %s\n", ran.c_str(),
              skipped.empty() ? "none" : skipped.c_str());
}

// The kernels the exported functions chose, through the public entry points.
TEST(ExportedFunctions, MatchTheReferenceWithTheActiveKernels) {
  for (int n : {2, 13, 200}) {
    const std::vector<Body> b = hostile_system(n, 5);
    std::vector<double> want_m(n * n), want_a(3 * n), m(n * n), a(3 * n);
    reference::accelerations(b.data(), n, want_a.data(), want_m.data());
    getAccelerationVectorArray(b.data(), n, a.data(), m.data());
    EXPECT_TRUE(SameBits(want_m.data(), m.data(), m.size()));
    EXPECT_TRUE(SameBits(want_a.data(), a.data(), a.size()));
  }
}

}  // namespace
