#include "support.h"

#include <cstdio>

namespace testing_support {

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

}  // namespace testing_support
