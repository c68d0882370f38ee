// On x86-64 compiled twice, with AVX2 and with AVX-512F enabled
// (STELLIX_BOUND_AVX512); elsewhere once, with the baseline vectors of
// aarch64 where it is that.
#include "bound.h"

#if defined(STELLIX_X86_KERNELS)
#include "core/x86_intrinsics.h"

namespace bound {
namespace {

#if defined(STELLIX_BOUND_AVX512)
void run(const double* in, double* out, std::size_t count) {
  const __m512d c = _mm512_set1_pd(40554.77018);
  for (std::size_t k = 0; k < count; k += 8) {
    _mm512_store_pd(out + k, _mm512_div_pd(c, _mm512_sqrt_pd(_mm512_load_pd(in + k))));
  }
}
#else
void run(const double* in, double* out, std::size_t count) {
  const __m256d c = _mm256_set1_pd(40554.77018);
  for (std::size_t k = 0; k < count; k += 4) {
    _mm256_store_pd(out + k, _mm256_div_pd(c, _mm256_sqrt_pd(_mm256_load_pd(in + k))));
  }
}
#endif

}  // namespace

#if defined(STELLIX_BOUND_AVX512)
const Kernel kAvx512 = &run;
#else
const Kernel kAvx2 = &run;
// Defined once, in the AVX2 object, which every x86-64 build has.
const Kernel kNeon = nullptr;
#endif

}  // namespace bound
#elif defined(__aarch64__)
#include <arm_neon.h>

namespace bound {
namespace {

void run(const double* in, double* out, std::size_t count) {
  const float64x2_t c = vdupq_n_f64(40554.77018);
  for (std::size_t k = 0; k < count; k += 2)
    vst1q_f64(out + k, vdivq_f64(c, vsqrtq_f64(vld1q_f64(in + k))));
}

}  // namespace

const Kernel kAvx2 = nullptr;
const Kernel kAvx512 = nullptr;
const Kernel kNeon = &run;

}  // namespace bound
#else
namespace bound {
const Kernel kAvx2 = nullptr;
const Kernel kAvx512 = nullptr;
const Kernel kNeon = nullptr;
}  // namespace bound
#endif
