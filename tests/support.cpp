#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testing_support {

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
      char msg[160];
      std::snprintf(msg, sizeof msg, "element %zu: expected %a (0x%016llx), got %a (0x%016llx)", k,
                    expected[k], static_cast<unsigned long long>(bits_of(expected[k])), actual[k],
                    static_cast<unsigned long long>(bits_of(actual[k])));
      return ::testing::AssertionFailure() << msg;
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
  char path[] = "/tmp/stellix-stdout-XXXXXX";
  const int file = mkstemp(path);
  if (file < 0) throw std::runtime_error("mkstemp failed");
  const int saved = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  body();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(file);
  std::string text = read_file(path);
  unlink(path);
  return text;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void InTempDir::SetUp() {
  previous_ = std::filesystem::current_path().string();
  char templ[] = "/tmp/stellix-test-XXXXXX";
  const char* made = mkdtemp(templ);
  ASSERT_NE(made, nullptr);
  dir_ = made;
  std::filesystem::current_path(dir_);
}

void InTempDir::TearDown() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(dir_, ignored);
}

}  // namespace testing_support
