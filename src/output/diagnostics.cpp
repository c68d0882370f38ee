#include <cstdint>

#include "stellix/stellix.h"
#include "text_writer.h"

extern "C" {

// Fifteen decimals show every value the library computes at full useful
// precision; each value is followed by a space, the last one of a row too.
STELLIX_API void printSquareMatrix(const double* values, int32_t n) {
  if (n <= 0) return;
  stellix::detail::TextWriter out(stdout);
  const std::int64_t order = n;
  for (std::int64_t i = 0; i < order; ++i) {
    const double* row = values + order * i;
    for (std::int64_t j = 0; j < order; ++j) {
      out.fixed(row[j], 15);
      out.put(' ');
    }
    out.put('\n');
  }
}

// No newline at all: the host's next output continues on the same line.
STELLIX_API void printVector(const double* values, int32_t n) {
  if (n <= 0) return;
  stellix::detail::TextWriter out(stdout);
  for (std::int64_t i = 0; i < n; ++i) {
    out.fixed(values[i], 15);
    out.put(' ');
  }
}

}  // extern "C"
