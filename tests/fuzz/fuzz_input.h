// Turns fuzzer bytes into the values the library is called with: raw bit
// patterns, the special values, ordinary magnitudes, and copies or near
// copies of earlier values (coincident and near-coincident bodies).
#ifndef STELLIX_TESTS_FUZZ_FUZZ_INPUT_H
#define STELLIX_TESTS_FUZZ_FUZZ_INPUT_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "core/kernels.h"
#include "stellix/stellix.h"

namespace fuzzing {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int k = 0; k < 8; ++k)
      v = (v << 8) | byte();
    return v;
  }

  double raw_double() {
    const std::uint64_t bits = u64();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }

  // A value chosen to reach every path: specials, subnormals, huge and tiny
  // magnitudes, ordinary physics, and values close to one seen before.
  double value() {
    static constexpr double kSpecials[] = {
        0.0,
        -0.0,
        1.0,
        -1.0,
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        std::numeric_limits<double>::quiet_NaN(),
        -std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::denorm_min(),
        -std::numeric_limits<double>::min(),
        std::numeric_limits<double>::max(),
        1e-300,
        0.0078125,
        0.0234375,
        1.5e11,
        5.972,
    };
    double v;
    switch (byte() % 6) {
      case 0:
        v = raw_double();
        break;
      case 1:
        v = kSpecials[byte() % (sizeof kSpecials / sizeof kSpecials[0])];
        break;
      case 2:  // ordinary magnitudes with a random exponent
        v = std::ldexp(static_cast<double>(static_cast<std::int32_t>(u64() >> 32)),
                       static_cast<int>(byte() % 96) - 60);
        break;
      case 3:
        v = static_cast<double>(static_cast<std::int8_t>(byte()));
        break;
      case 4:  // a value seen before: coincident bodies
        v = history_.empty() ? 0.0 : history_[byte() % history_.size()];
        break;
      default:  // a few ulps from a value seen before: near-coincident bodies
        v = history_.empty() ? 0.0 : history_[byte() % history_.size()];
        for (int k = byte() % 4; k > 0; --k)
          v = std::nextafter(v, (byte() & 1) ? 1e308 : -1e308);
    }
    if (history_.size() < 64) history_.push_back(v);
    return v;
  }

  std::vector<Body> bodies(int n) {
    std::vector<Body> b(static_cast<std::size_t>(n > 0 ? n : 0));
    for (Body& body : b) {
      double* f = &body.x;
      for (int k = 0; k < 7; ++k)
        f[k] = value();
    }
    return b;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::vector<double> history_;
};

inline bool same_bits(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Stops the fuzzer with the first differing element.
inline void require_same(const char* what, const char* variant, const double* expected,
                         const double* actual, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    if (!same_bits(expected[k], actual[k])) {
      std::fprintf(stderr, "%s differs (%s) at %zu: expected %a, got %a\n", what, variant, k,
                   expected[k], actual[k]);
      std::abort();
    }
  }
}

inline const char* isa_name(stellix::detail::Isa isa) {
  return stellix::detail::kernel_table(isa).name;
}

inline std::vector<stellix::detail::Isa> supported_isas() {
  using stellix::detail::Isa;
  std::vector<Isa> isas;
  for (Isa isa : {Isa::kScalar, Isa::kAvx2, Isa::kAvx512}) {
    if (stellix::detail::isa_supported(isa)) isas.push_back(isa);
  }
  return isas;
}

}  // namespace fuzzing

#endif  // STELLIX_TESTS_FUZZ_FUZZ_INPUT_H
