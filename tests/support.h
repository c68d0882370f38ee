// Shared test helpers: seeded systems, bit-exact comparison, standard output
// captured at the file-descriptor level (the library writes through C stdio),
// and a private working directory for tests that touch the run file. The
// comparisons live in support.cpp, the file and descriptor helpers in
// support_posix.cpp (tests/windows has their Windows counterparts).
#ifndef STELLIX_TESTS_SUPPORT_H
#define STELLIX_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "seeded_system.h"
#include "stellix/stellix.h"

namespace testing_support {

inline std::uint64_t bits_of(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// Equal bits, or both NaN (a NaN's sign and payload carry no meaning).
inline bool same_bits(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || bits_of(a) == bits_of(b);
}

::testing::AssertionResult SameBits(const double* expected, const double* actual,
                                    std::size_t count);
::testing::AssertionResult SameBodies(const std::vector<Body>& expected,
                                      const std::vector<Body>& actual);

// Runs `body` with file descriptor 1 redirected to a temporary file and
// returns everything written to it.
std::string capture_stdout(const std::function<void()>& body);

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// Each test gets a fresh working directory, so tests that write "output.csv"
// can run in parallel.
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::string dir_;

 private:
  std::string previous_;
};

}  // namespace testing_support

#endif  // STELLIX_TESTS_SUPPORT_H
