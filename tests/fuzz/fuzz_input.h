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
#include <initializer_list>
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

  // A count below `small`, mostly; where the byte picks small - 1, now and
  // then one of the larger counts in `large` (each about one input in
  // 40 * large_odds).
  int count(int small, std::initializer_list<int> large, int large_odds) {
    const int n = byte() % small;
    if (n != small - 1) return n;
    const int pick = byte() % large_odds;
    if (pick >= static_cast<int>(large.size())) return n;
    return large.begin()[pick] + byte() % 9;
  }

  // Bodies from the input. Where the input runs out beyond the first
  // kFromInputOnly bodies, ordinary ones follow (a large system of zeros
  // would be all coincident, every result NaN): spread out, masses
  // positive, from a generator seeded by the input's length.
  std::vector<Body> bodies(int n) {
    std::vector<Body> b(static_cast<std::size_t>(n > 0 ? n : 0));
    std::uint64_t state = size_;
    for (std::size_t i = 0; i < b.size(); ++i) {
      double* f = &b[i].x;
      const bool ordinary = i >= kFromInputOnly && pos_ >= size_;
      for (int k = 0; k < 7; ++k)
        f[k] = ordinary ? spread(state, k) : value();
    }
    return b;
  }

 private:
  static constexpr std::size_t kFromInputOnly = 40;

  // Positions within 1e11, speeds within 1e4, masses 1 .. 1e3 (splitmix64).
  static double spread(std::uint64_t& state, int field) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    const double u = static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
    if (field < 3) return (u - 0.5) * 2e11;
    if (field < 6) return (u - 0.5) * 2e4;
    return 1.0 + u * 1e3;
  }

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
  for (Isa isa : stellix::detail::kEveryIsa) {
    if (stellix::detail::isa_supported(isa)) isas.push_back(isa);
  }
  return isas;
}

}  // namespace fuzzing

#endif  // STELLIX_TESTS_FUZZ_FUZZ_INPUT_H
