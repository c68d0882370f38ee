// Gravity factors and accelerations: the exact constant, symmetry, the +0.0
// diagonal, non-finite and degenerate systems, and bit-for-bit agreement of
// every kernel with the straightforward reference.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/kernels.h"
#include "reference.h"
#include "support.h"

namespace {

using stellix::detail::Isa;
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

std::string isa_name(Isa isa) {
  switch (isa) {
    case Isa::kAvx2:
      return "avx2";
    case Isa::kAvx512:
      return "avx512";
    default:
      return "scalar";
  }
}

class EveryKernel : public ::testing::TestWithParam<Isa> {
 protected:
  void SetUp() override {
    if (!isa_supported(GetParam())) GTEST_SKIP() << "not supported on this machine";
  }
};

TEST_P(EveryKernel, MatchesTheReferenceBitForBit) {
  const auto& k = kernel_table(GetParam());
  for (int n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100, 129}) {
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

INSTANTIATE_TEST_SUITE_P(Isa, EveryKernel,
                         ::testing::Values(Isa::kScalar, Isa::kAvx2, Isa::kAvx512),
                         [](const auto& info) { return isa_name(info.param); });

TEST(EveryKernel, ExportedFunctionsMatchTheReference) {
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
