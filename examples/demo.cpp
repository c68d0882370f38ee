// Demo host: the Sun, the Earth and the Moon for one year, in metres,
// seconds and 10^24 kg, with a summary of what the library computed.
#include <stellix/stellix.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr double kG = 66699999999906.078125;  // c^3 in the library's units (m^3 / (10^24 kg s^2))

double total_energy(const std::vector<Body>& bodies) {
  double kinetic = 0.0, potential = 0.0;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const Body& a = bodies[i];
    kinetic += 0.5 * a.mass * (a.vx * a.vx + a.vy * a.vy + a.vz * a.vz);
    for (std::size_t j = i + 1; j < bodies.size(); ++j) {
      const Body& b = bodies[j];
      const double r = std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) +
                                 (a.z - b.z) * (a.z - b.z));
      potential -= kG * a.mass * b.mass / r;
    }
  }
  return kinetic + potential;
}

}  // namespace

int main() {
  std::vector<Body> bodies = {
      {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1988500.0},                            // Sun
      {1.496e11, 0.0, 0.0, 0.0, 29780.0, 0.0, 5.9722},                      // Earth
      {1.496e11 + 3.844e8, 0.0, 0.0, 0.0, 29780.0 + 1022.0, 0.0, 0.07346},  // Moon
  };
  const double dt = 3600.0;
  const int steps = 24 * 365;
  const int interval = 24 * 30;
  const int n = static_cast<int>(bodies.size());
  const int snapshots = 1 + (steps - 1) / interval;
  std::vector<double> positions(3 * static_cast<std::size_t>(n) * snapshots);

  const double energy_before = total_energy(bodies);
  simulate(bodies.data(), n, dt, steps, interval, 0, 1, 0, positions.data());
  const double energy_after = total_energy(bodies);

  std::printf("stellix demo: Sun, Earth and Moon, %d steps of %.0f s (one year)\n", steps, dt);
  std::printf("%d snapshots stored; Earth's position at each (10^9 m):\n", snapshots);
  for (int k = 0; k < snapshots; ++k) {
    const double* earth = &positions[3 * (static_cast<std::size_t>(n) * k + 1)];
    std::printf("  %2d  x=%8.2f  y=%8.2f\n", k, earth[0] / 1e9, earth[1] / 1e9);
  }
  std::printf("final state:\n");
  printBodies(bodies.data(), n);
  std::printf("relative energy drift: %.3e\n",
              (energy_after - energy_before) / std::fabs(energy_before));
  return 0;
}
