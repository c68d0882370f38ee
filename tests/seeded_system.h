// Seeded systems for tests, benchmarks and golden records: splitmix64, a
// fixed integer generator, so that every seed names one system on every
// platform and compiler. Header-only and free of GoogleTest, so that
// stand-alone programs can use it too.
#ifndef STELLIX_TESTS_SEEDED_SYSTEM_H
#define STELLIX_TESTS_SEEDED_SYSTEM_H

#include <cstdint>
#include <vector>

#include "stellix/stellix.h"

namespace testing_support {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [lo, hi).
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1.0p-53);
  }

 private:
  std::uint64_t state_;
};

// Bodies scattered uniformly: positions within 2e11 (1e10 off the plane),
// speeds within 3e4, masses 1e-3..2e3, in the units the library's constant
// implies. Ordinary magnitudes only: the system is neither bound nor
// rotating.
inline std::vector<Body> random_system(int n, std::uint64_t seed) {
  Rng rng(seed);
  std::vector<Body> bodies(static_cast<std::size_t>(n > 0 ? n : 0));
  for (Body& b : bodies) {
    b.x = rng.uniform(-2e11, 2e11);
    b.y = rng.uniform(-2e11, 2e11);
    b.z = rng.uniform(-1e10, 1e10);
    b.vx = rng.uniform(-3e4, 3e4);
    b.vy = rng.uniform(-3e4, 3e4);
    b.vz = rng.uniform(-1e3, 1e3);
    b.mass = rng.uniform(1e-3, 2e3);
  }
  return bodies;
}

}  // namespace testing_support

#endif  // STELLIX_TESTS_SEEDED_SYSTEM_H
