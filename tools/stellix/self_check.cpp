#include "self_check.h"

#include <stellix/stellix.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fingerprint.h"

namespace stellix::program {
namespace {

// splitmix64: the same integers on every platform. Doubles are made from
// them by exact conversions and correctly rounded operations only, so the
// problems themselves are the same bits everywhere.
class Sequence {
 public:
  explicit Sequence(std::uint64_t seed) : state_(seed) {}
  // Uniform in [lo, hi).
  double uniform(double lo, double hi) {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return lo + (hi - lo) * (static_cast<double>(z >> 11) * 0x1.0p-53);
  }

 private:
  std::uint64_t state_;
};

// Bodies within 1e11 m of the origin, moving at up to 3e4 m/s, of up to
// 1e6 (x 1e24 kg).
std::vector<Body> system_of(int n, std::uint64_t seed) {
  Sequence random(seed);
  std::vector<Body> bodies(static_cast<std::size_t>(n));
  for (Body& b : bodies) {
    b = {random.uniform(-1e11, 1e11), random.uniform(-1e11, 1e11), random.uniform(-1e11, 1e11),
         random.uniform(-3e4, 3e4),   random.uniform(-3e4, 3e4),   random.uniform(-3e4, 3e4),
         random.uniform(0.0, 1e6)};
  }
  return bodies;
}

struct Problem {
  const char* name;
  std::string (*compute)();
  const char* pinned;
};

// A run: the fingerprint of its final state, then of its stored positions.
std::string run(std::vector<Body> bodies, int steps, int interval) {
  const int n = static_cast<int>(bodies.size());
  const std::int64_t snapshots = 1 + (steps - 1) / interval;
  std::vector<double> positions(static_cast<std::size_t>(3 * n * snapshots));
  simulate(bodies.data(), n, 3600.0, steps, interval, 0, 1, 0, positions.data());
  return fingerprint(bodies) + fingerprint(positions.data(), positions.size());
}

// The exported matrix functions: accelerations, then the matrix.
std::string field(int n, std::uint64_t seed) {
  const std::vector<Body> bodies = system_of(n, seed);
  std::vector<double> a(3 * static_cast<std::size_t>(n));
  std::vector<double> m(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  getAccelerationVectorArray(bodies.data(), n, a.data(), m.data());
  return fingerprint(a.data(), a.size()) + fingerprint(m.data(), m.size());
}

std::string few_with_coincident_pair() {
  std::vector<Body> bodies = system_of(6, 1);
  bodies[5] = bodies[2];  // their factor is infinite: the run turns to NaN
  return run(bodies, 100, 10);
}
std::string over_256() {
  return run(system_of(300, 2), 4, 2);
}
std::string from_2048() {
  return run(system_of(2048, 3), 2, 1);
}
std::string lines_of_8() {
  return field(264, 4);
}
std::string any_order() {
  return field(263, 5);
}

const Problem kProblems[] = {
    {"simulate, 6 bodies with a coincident pair", &few_with_coincident_pair,
     "fa7a9f475b4d7f3f9fa80d18c21943da978b7fd9a3b0bf4ad2e4080e3674c289"
     "bc7d49d4868f1dacac2eb65610a4ea616148086d9fc93bdeff4c1a2d8bf7c6b4"},
    {"simulate, 300 bodies", &over_256,
     "c14a077794657b56c7b5861fe059d03b1f0069dc61513f26112ddd152c56a0f6"
     "d6d8d0ae1da3eebf8cd327d2ff17c17cb6586fb18180c01a6bdb0699017df6aa"},
    {"simulate, 2048 bodies", &from_2048,
     "5cefbb573030cbcc440df7d4008cb56d2c12987f35bc0f2f3e73b7fc515220df"
     "928ad1d64100b3596f053238db29713d831584bf1ed473b5ea701a7fd3744b12"},
    {"accelerations and matrix, 264 bodies", &lines_of_8,
     "64749162bd18472b3897a110f0a4392eab469d004b7d5b52a88f1256388166ed"
     "fb9a9fccb16aeaf155c034ea4007dad28e81407a39e3671a0b9c27dac70c1873"},
    {"accelerations and matrix, 263 bodies", &any_order,
     "825feba323369e266697edb42e5c60969dcf175cc1a72b8b6d8f13bd88c8c9d6"
     "9ea73eb44aaf2045b3bf80a7b5d29177a84ed569d77ded2fe4b89432a6e32050"},
};

}  // namespace

int self_check(std::FILE* out) {
  int failed = 0;
  for (const Problem& problem : kProblems) {
    // Two fingerprints back to back; the first 16 digits of each are shown.
    const std::string got = problem.compute();
    const bool same = got == problem.pinned;
    if (!same) ++failed;
    std::fprintf(out, "%-44s %.16s %.16s  %s\n", problem.name, got.c_str(), got.c_str() + 64,
                 same ? "ok" : "DIFFERENT");
    if (!same) std::fprintf(out, "  computed %s\n  pinned   %s\n", got.c_str(), problem.pinned);
  }
  std::fprintf(out,
               failed == 0 ? "self-check passed: this machine computes stellix's bits\n"
                           : "self-check FAILED: %d of the problems differ\n",
               failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace stellix::program
