// Pinned bit patterns of simulate results for three small fixed systems.
// Every other test compares the library with the reference code; these
// compare both with numbers written down once, so the two cannot drift
// together unnoticed. The systems come from an integer generator in this
// file, so the test stands on its own on any platform.
#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "reference.h"
#include "stellix/stellix.h"

namespace {

// 64-bit linear congruential generator (Knuth's MMIX constants); the top 53
// bits of the state make a double in [0, 1).
class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : state_(seed) {}
  double uniform(double lo, double hi) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return lo + (hi - lo) * (static_cast<double>(state_ >> 11) * 0x1.0p-53);
  }

 private:
  std::uint64_t state_;
};

std::vector<Body> fixed_system(int n, std::uint64_t seed) {
  Lcg g(seed);
  std::vector<Body> bodies(static_cast<std::size_t>(n));
  for (Body& b : bodies) {
    b.x = g.uniform(-2e11, 2e11);
    b.y = g.uniform(-2e11, 2e11);
    b.z = g.uniform(-2e10, 2e10);
    b.vx = g.uniform(-3e4, 3e4);
    b.vy = g.uniform(-3e4, 3e4);
    b.vz = g.uniform(-3e3, 3e3);
    b.mass = g.uniform(1e-2, 2e3);
  }
  return bodies;
}

struct Case {
  const char* name;
  int n;
  std::uint64_t seed;
  double dt;
  int steps;
  int interval;
  // Body 0 after the run (x, y, z, vx, vy, vz), then x and vx of the last
  // body, body 1's stored position in snapshot 1, the last stored double,
  // an FNV-1a digest of the bits of every final body and stored double, and
  // how many doubles were stored.
  std::uint64_t golden[14];
};

// n = 3: one short block. n = 13: whole and short blocks of every vector
// width. n = 41: enough blocks that the pair tiles delay column uses.
const Case kCases[] = {
    {"three",
     3,
     1,
     3600.0,
     12,
     4,
     {0xc21ce3bbcc17b862ull, 0x41f0defc3fd91ae3ull, 0x41f61b9666e67c08ull, 0xc0bb747022ea1965ull,
      0x40d14fcb22945e00ull, 0x40084c858c470b06ull, 0xc237d659b85bddb5ull, 0x40b0e8893faef090ull,
      0xc24434b1f08b5502ull, 0x423fa600dd06b729ull, 0xc2066930b7aa9264ull, 0xc1e6eb7572baf271ull,
      0xb847374020e18f91ull, 0x000000000000001bull}},
    {"thirteen",
     13,
     2,
     7200.0,
     9,
     3,
     {0x4238db3b08785c74ull, 0x42434a77249d5783ull, 0x41fc702c99efbaa9ull, 0xc0bfb9f6fe8fb864ull,
      0xc0d12ded7f3809faull, 0xc073e6901b4a8828ull, 0xc2428dafc8d4c86aull, 0xc0d53dc9cb2ffcd4ull,
      0x4239be0d09baee68ull, 0xc23c2af8740b033aull, 0x4210c7303c92fc61ull, 0xc2129118902f7f20ull,
      0x81a78793bad889abull, 0x0000000000000075ull}},
    {"forty_one",
     41,
     3,
     1800.0,
     6,
     5,
     {0xc24205dd578d48b6ull, 0xc2304be6f4839e24ull, 0x420173b647b82060ull, 0xc0c2071349414c34ull,
      0x40bbe9ca3d499cadull, 0xc0868c321fa1f599ull, 0x42240d9839978b12ull, 0x40cfc0e953ad2df2ull,
      0xc1f6428b434f7606ull, 0x4214311597ed15eeull, 0x41fe10c2a21c65a0ull, 0xc1fc6509f11d8affull,
      0xd07238a78ad00babull, 0x00000000000000f6ull}},
};

struct Outcome {
  std::vector<Body> bodies;
  std::vector<double> positions;
};

std::uint64_t bits(double v) {
  return std::bit_cast<std::uint64_t>(v);
}

std::vector<std::uint64_t> summary(const Outcome& o) {
  const Body& first = o.bodies.front();
  const Body& last = o.bodies.back();
  std::uint64_t digest = 0xcbf29ce484222325ull;
  auto mix = [&](double v) {
    const std::uint64_t b = bits(v);
    for (int k = 0; k < 8; ++k) {
      digest ^= (b >> (8 * k)) & 0xff;
      digest *= 0x100000001b3ull;
    }
  };
  for (const Body& b : o.bodies) {
    for (double v : {b.x, b.y, b.z, b.vx, b.vy, b.vz, b.mass})
      mix(v);
  }
  for (double v : o.positions)
    mix(v);
  const std::size_t n = o.bodies.size();
  return {bits(first.x),
          bits(first.y),
          bits(first.z),
          bits(first.vx),
          bits(first.vy),
          bits(first.vz),
          bits(last.x),
          bits(last.vx),
          bits(o.positions[3 * n + 3]),
          bits(o.positions[3 * n + 4]),
          bits(o.positions[3 * n + 5]),
          bits(o.positions.back()),
          digest,
          static_cast<std::uint64_t>(o.positions.size())};
}

std::string as_source(const Case& c, const std::vector<std::uint64_t>& got) {
  char head[128];
  std::snprintf(head, sizeof head, "    {\"%s\", %d, %" PRIu64 ", %.17g, %d, %d,\n     {", c.name,
                c.n, c.seed, c.dt, c.steps, c.interval);
  std::string s = head;
  for (std::size_t k = 0; k < got.size(); ++k) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%016" PRIx64 "ull", got[k]);
    s += (k == 0 ? "" : k % 3 == 0 ? ",\n      " : ", ") + std::string(hex);
  }
  return s + "}},\n";
}

void expect_golden(const Case& c, const Outcome& o, const char* who) {
  const std::vector<std::uint64_t> got = summary(o);
  const std::vector<std::uint64_t> want(std::begin(c.golden), std::end(c.golden));
  EXPECT_EQ(got, want) << who << " drifted from the pinned bits of system '" << c.name
                       << "'. If (and only if) the change of results is intended, replace its "
                          "entry in kCases in tests/golden_test.cpp with:\n"
                       << as_source(c, got);
}

class Golden : public ::testing::TestWithParam<Case> {};

TEST_P(Golden, LibraryKeepsThePinnedBits) {
  const Case& c = GetParam();
  Outcome o{fixed_system(c.n, c.seed), {}};
  o.positions.assign(
      static_cast<std::size_t>(3 * c.n * reference::snapshot_count(c.steps, c.interval)), 0.0);
  simulate(o.bodies.data(), c.n, c.dt, c.steps, c.interval, 0, 1, 0, o.positions.data());
  expect_golden(c, o, "simulate");
}

TEST_P(Golden, ReferenceKeepsThePinnedBits) {
  const Case& c = GetParam();
  reference::RunResult r =
      reference::simulate(fixed_system(c.n, c.seed), c.dt, c.steps, c.interval);
  expect_golden(c, Outcome{r.bodies, r.positions}, "the reference");
}

INSTANTIATE_TEST_SUITE_P(Systems, Golden, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
