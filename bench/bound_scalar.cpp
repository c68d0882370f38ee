#include <cmath>
#include <cstdint>

#include "bound.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bound {
namespace {

void run(const double* in, double* out, std::size_t count) {
  const double c = 40554.77018;
  for (std::size_t k = 0; k < count; ++k)
    out[k] = c / std::sqrt(in[k]);
}

}  // namespace

const Kernel kScalar = &run;

void fill(double* out, std::size_t count, double value, bool stream) {
#if defined(__SSE2__)
  // Four 16-byte stores in a row fill a line, which the write-combining
  // buffer sends out whole, as the kernels' wider stores are.
  if (stream) {
    std::size_t k = 0;
    for (; k < count && reinterpret_cast<std::uintptr_t>(out + k) % 16 != 0; ++k)
      out[k] = value;
    const __m128d v = _mm_set1_pd(value);
    for (; k + 2 <= count; k += 2)
      _mm_stream_pd(out + k, v);
    for (; k < count; ++k)
      out[k] = value;
    _mm_sfence();
    return;
  }
#endif
  (void)stream;
  for (std::size_t k = 0; k < count; ++k)
    out[k] = value;
}

}  // namespace bound
