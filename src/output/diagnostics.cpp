#include <cstdint>

#include "stellix/stellix.h"
#include "text_writer.h"

extern "C" {

// A fixed fifteen digits after the point, not fifteen significant ones: a
// value below 5e-16 prints as zero (the factors of bodies a solar system
// apart, about 1e-20, among them) and no value shows beyond its fifteenth
// decimal. Each value is followed by a space, the last one of a row too.
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
