// The largest allowed body count: the run completes with the memory it really
// needs (O(n), not the n*n of a factor matrix) and sampled bodies carry the
// bits that a second, direct implementation gives them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "reference.h"
#include "support.h"

namespace {

// Peak resident set of this process, in bytes (Linux).
long long peak_resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atoll(line + 6);
  }
  std::fclose(f);
  return kib * 1024;
}

// a_i from its defining sum over every j ascending, factor by factor.
void direct_acceleration(const std::vector<Body>& b, std::size_t i, double out[3]) {
  const double c = reference::coupling_root();
  out[0] = out[1] = out[2] = 0.0;
  for (std::size_t j = 0; j < b.size(); ++j) {
    double f = 0.0;
    if (j != i) {
      const double dx = b[i].x - b[j].x, dy = b[i].y - b[j].y, dz = b[i].z - b[j].z;
      const double q = c / std::sqrt((dx * dx + dy * dy) + dz * dz);
      f = (q * q) * q;
    }
    const double w = f * b[j].mass;
    out[0] = (b[j].x - b[i].x) * w + out[0];
    out[1] = (b[j].y - b[i].y) * w + out[1];
    out[2] = (b[j].z - b[i].z) * w + out[2];
  }
}

TEST(LargeSystem, LargestBodyCountRunsInLinearMemoryWithExactBits) {
  const int n = STELLIX_MAX_BODIES;
  const double dt = 3600.0;
  const std::vector<Body> start = testing_support::random_system(n, 46340);
  std::vector<Body> bodies = start;
  const long long before = peak_resident_bytes();
  simulate(bodies.data(), n, dt, 1, 1, 0, 0, 0, nullptr);
  const long long after = peak_resident_bytes();
  if (before > 0 && after > 0) {
    EXPECT_LT(after - before, 64ll << 20) << "peak memory grew by " << (after - before) << " bytes";
  }

  testing_support::Rng rng(1);
  std::vector<std::size_t> samples = {0, 1, 7, 8, 63, 64, static_cast<std::size_t>(n - 1)};
  for (int k = 0; k < 25; ++k)
    samples.push_back(rng.next() % n);
  for (std::size_t i : samples) {
    SCOPED_TRACE(i);
    double a0[3], a1[3];
    direct_acceleration(start, i, a0);
    Body want = start[i];
    reference::advance_position(want, a0, dt);
    EXPECT_TRUE(testing_support::SameBits(&want.x, &bodies[i].x, 3));
    // The new accelerations from the run's own new positions.
    direct_acceleration(bodies, i, a1);
    reference::advance_velocity(want, a0, a1, dt);
    EXPECT_TRUE(testing_support::SameBits(&want.vx, &bodies[i].vx, 3));
  }
}

}  // namespace
