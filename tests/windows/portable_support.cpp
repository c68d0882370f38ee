// The helpers of support.h without POSIX calls, for the test programs built
// for Windows. Files are read in text mode, so the CR LF that a Windows
// text-mode stream writes reads back as the "\n" the tests expect.
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support.h"

namespace testing_support {
namespace {

std::filesystem::path unique_temp_path(const char* prefix) {
  std::random_device seed;
  std::mt19937_64 rng(seed());
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto path = base / (prefix + std::to_string(rng()));
    if (!std::filesystem::exists(path)) return path;
  }
  throw std::runtime_error("no free temporary name");
}

}  // namespace

std::uint64_t Rng::next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Rng::uniform(double lo, double hi) {
  return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1.0p-53);
}

std::vector<Body> random_system(int n, std::uint64_t seed) {
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

::testing::AssertionResult SameBits(const double* expected, const double* actual,
                                    std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    if (!same_bits(expected[k], actual[k])) {
      return ::testing::AssertionFailure()
             << "element " << k << ": expected bits 0x" << std::hex << bits_of(expected[k])
             << ", got 0x" << bits_of(actual[k]);
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameBodies(const std::vector<Body>& expected,
                                      const std::vector<Body>& actual) {
  if (expected.size() != actual.size()) {
    return ::testing::AssertionFailure() << "body counts differ";
  }
  return SameBits(reinterpret_cast<const double*>(expected.data()),
                  reinterpret_cast<const double*>(actual.data()), 7 * expected.size());
}

std::string capture_stdout(const std::function<void()>& body) {
  std::fflush(stdout);
  const std::string path = unique_temp_path("stellix-stdout-").string();
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) throw std::runtime_error("cannot create " + path);
  const int saved = _dup(_fileno(stdout));
  _dup2(_fileno(file), _fileno(stdout));
  body();
  std::fflush(stdout);
  _dup2(saved, _fileno(stdout));
  _close(saved);
  std::fclose(file);
  std::string text = read_file(path);
  std::remove(path.c_str());
  return text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  return std::filesystem::exists(path);
}

void InTempDir::SetUp() {
  previous_ = std::filesystem::current_path().string();
  const auto dir = unique_temp_path("stellix-test-");
  ASSERT_TRUE(std::filesystem::create_directory(dir));
  dir_ = dir.string();
  std::filesystem::current_path(dir_);
}

void InTempDir::TearDown() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace testing_support
