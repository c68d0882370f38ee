// Writes what the shared library computes for a fixed set of seeded systems:
// every double as its hex bit pattern, and every text the library writes.
// Built for Linux it writes the golden record; built for Windows against the
// DLL and run under wine it must write the same (lines ending in CRLF where
// the library writes through a text-mode stream). Only integers are formatted
// here, never a double, so the platform's printf plays no part.
//
// Usage: golden <directory>   (writes stdout and the run files there)
#include <stellix/stellix.h>

#include "seeded_system.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// A NaN's sign and payload carry no meaning, so every NaN is written alike.
void bits(const char* label, const double* values, std::size_t count) {
  std::printf("%s %zu\n", label, count);
  for (std::size_t k = 0; k < count; ++k) {
    std::uint64_t b;
    std::memcpy(&b, &values[k], sizeof b);
    if (std::isnan(values[k]))
      std::printf("nan%s", k % 4 == 3 ? "\n" : " ");
    else
      std::printf("%016" PRIx64 "%s", b, k % 4 == 3 ? "\n" : " ");
  }
  std::printf("\n");
}

void system_record(const std::string& dir, int n, std::uint64_t seed) {
  std::printf("== system n=%d seed=%" PRIu64 "\n", n, seed);
  std::vector<Body> bodies = testing_support::random_system(n, seed);
  if (n >= 3) bodies[2] = bodies[1];  // coincident bodies: infinities and NaN
  const auto count = static_cast<std::size_t>(n);
  std::vector<double> matrix(count * count), accelerations(3 * count);
  getInverseDistanceCubedMatrix(bodies.data(), n, matrix.data());
  bits("matrix", matrix.data(), matrix.size());
  getAccelerationVectorArray(bodies.data(), n, accelerations.data(), matrix.data());
  bits("accelerations", accelerations.data(), accelerations.size());
  if (n <= 4) {
    std::printf("printSquareMatrix\n");
    printSquareMatrix(matrix.data(), n);
    std::printf("printVector\n");
    printVector(accelerations.data(), 3 * n);
    std::printf("\n");
  }

  if (n >= 3) bodies = testing_support::random_system(n, seed);  // a clean system for the run
  const int steps = 25, interval = 4;
  const std::size_t snapshots = 1 + (steps - 1) / interval;
  std::vector<double> positions(3 * count * snapshots);
  std::printf("simulate print\n");
  std::fflush(stdout);
  simulate(bodies.data(), n, 3600.0, steps, interval, 1, 1, 1, positions.data());
  std::fflush(stdout);
  bits("positions", positions.data(), positions.size());
  bits("final", reinterpret_cast<const double*>(bodies.data()), 7 * count);
  std::filesystem::rename(std::filesystem::path(dir) / "output.csv",
                          std::filesystem::path(dir) /
                              ("run-" + std::to_string(n) + "-" + std::to_string(seed) + ".csv"));
}

void special_values(const std::string& dir) {
  std::printf("== special values\n");
  const double inf = INFINITY, nan = std::nan(""), neg_nan = -std::nan("");
  const std::vector<Body> bodies = {
      {1.0, 2.0, 3.0, 0.0, -0.5, 0.0, 5.972},
      {0.0078125, 0.0234375, 1.0078125, -0.0, 1e-7, -1e-7, 0.5},
      {nan, neg_nan, 0.0 * inf, inf, -inf, 66699999999906.078125, 1e300},
      {-1e300, 5e-324, -2.5e-7, 2.5e-7, 0.9999995, 9.9999995, 123456789.1234565},
  };
  printBodies(bodies.data(), static_cast<std::int32_t>(bodies.size()));
  const double values[] = {1e-20, -2.0, 0.5, 1.0000000000000005, 2.5e-16, 66699999999906.078125,
                           inf,   nan,  -0.0};
  printVector(values, 9);
  std::printf("\n");
  const double edges[] = {4.0, 2.0, 0.0, -0.0, inf, -1.0, 1e-300, 1e300, 3.0};
  double inverse[9];
  for (int k = 0; k < 9; ++k)
    inverse[k] = invsqrt(edges[k]);
  bits("invsqrt", inverse, 9);
  std::fflush(stdout);
  std::FILE* file = std::fopen((std::filesystem::path(dir) / "record.csv").string().c_str(), "w");
  if (file == nullptr) {
    std::printf("cannot open record.csv\n");
    return;
  }
  recordBodies(file, bodies.data(), static_cast<std::int32_t>(bodies.size()));
  std::fclose(file);
}

// What simulate leaves in errno. The values themselves differ between the
// platforms' C libraries (a directory opened for writing is EISDIR on Linux,
// EACCES on Windows), so only whether the host's value survived is written.
void errno_contract() {
  std::printf("== errno\n");
  std::vector<Body> bodies = testing_support::random_system(3, 5);
  errno = EDOM;
  simulate(bodies.data(), 3, 60.0, 4, 2, 1, 0, 0, nullptr);
  std::printf("a whole run keeps the host's errno: %s\n", errno == EDOM ? "yes" : "no");
  std::filesystem::remove("output.csv");
  std::filesystem::create_directory("output.csv");
  errno = EDOM;
  simulate(bodies.data(), 3, 60.0, 4, 2, 1, 0, 0, nullptr);
  const bool lost = errno != EDOM && errno != 0;
  std::printf("a lost run file sets errno: %s\n", lost ? "yes" : "no");
  std::filesystem::remove("output.csv");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: golden <directory>\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::filesystem::current_path(dir);
  special_values(".");
  for (int n : {0, 1, 2, 3, 4, 19}) {
    for (std::uint64_t seed : {1u, 7u})
      system_record(".", n, seed);
  }
  errno_contract();
  std::fflush(stdout);
  return 0;
}
