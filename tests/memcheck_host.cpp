// A host for memcheck: every exported function on ordinary, empty,
// single-body, odd-sized and non-finite systems, with every channel on.
// Exits nonzero only through valgrind's --error-exitcode.
#include <stellix/stellix.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

int main() {
  char dir[] = "/tmp/stellix-memcheck-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 2;
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
  for (int n : {0, 1, 2, 9, 17, 70}) {
    std::vector<Body> bodies(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      const double t = i;
      bodies[i] = Body{1e9 * std::cos(t), 1e9 * std::sin(t), 1e7 * t, 1e3 * t, -2e3, 0.5, 1 + t};
    }
    if (n == 17) {
      bodies[3].x = std::numeric_limits<double>::quiet_NaN();
      bodies[5] = bodies[6];
    }
    const int steps = 9, interval = 2;
    const int snapshots = 1 + (steps - 1) / interval;
    std::vector<double> positions(3 * static_cast<std::size_t>(n) * snapshots);
    std::vector<double> matrix(static_cast<std::size_t>(n) * n), accelerations(3 * n);
    simulate(bodies.data(), n, 60.0, steps, interval, 1, 1, 1, positions.data());
    simulate(bodies.data(), n, 60.0, steps, 0, 1, 0, 1, nullptr);
    getInverseDistanceCubedMatrix(bodies.data(), n, matrix.data());
    getAccelerationVectorArray(bodies.data(), n, accelerations.data(), matrix.data());
    printSquareMatrix(matrix.data(), n);
    printVector(accelerations.data(), 3 * n);
    printBodies(bodies.data(), n);
  }
  std::remove("output.csv");
  return chdir("/") == 0 && rmdir(dir) == 0 ? 0 : 3;
}
