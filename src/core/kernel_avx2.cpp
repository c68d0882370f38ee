// The generic kernels on 256-bit vectors (four doubles). This unit alone is
// compiled with AVX2 enabled; it is entered only after the dispatcher has
// checked the CPU and the operating system.
#include "kernel_family.h"

// The build compiles it with AVX2 on x86-64 alone (cmake/stellixIsas.cmake);
// compiled without, it says that this build has no such kernels.
#if defined(__AVX2__)
#include "x86_intrinsics.h"

namespace stellix::detail {
namespace {

struct Avx2 {
  using Reg = __m256d;
  static constexpr bool kBroadcastOperand = false;
  static constexpr int kWidth = 4;

  // Lanes below `count` all ones, the rest zero.
  static __m256i first_lanes(Index count) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
  }

  static Reg load(const double* p) { return _mm256_load_pd(p); }
  static Reg loadu(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, Reg v) { _mm256_store_pd(p, v); }
  static void storeu(double* p, Reg v) { _mm256_storeu_pd(p, v); }
  static void store_first(double* p, Reg v, Index count) {
    if (count == kWidth) {
      _mm256_storeu_pd(p, v);
    } else {
      _mm256_maskstore_pd(p, first_lanes(count), v);
    }
  }
  static constexpr bool kStreams = true;
  static void stream(double* p, Reg v) { _mm256_stream_pd(p, v); }
  static void fence() { _mm_sfence(); }
  static Reg set1(double v) { return _mm256_set1_pd(v); }
  static Reg add(Reg a, Reg b) { return _mm256_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm256_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm256_mul_pd(a, b); }
  static Reg div(Reg a, Reg b) { return _mm256_div_pd(a, b); }
  static Reg sqrt(Reg a) { return _mm256_sqrt_pd(a); }
  static Reg zero_lane(Reg v, Index k) {
    const __m256i lane = _mm256_cmpeq_epi64(_mm256_set1_epi64x(k), _mm256_setr_epi64x(0, 1, 2, 3));
    return _mm256_andnot_pd(_mm256_castsi256_pd(lane), v);
  }
  static void transpose(Reg* r) {
    const Reg t0 = _mm256_unpacklo_pd(r[0], r[1]);
    const Reg t1 = _mm256_unpackhi_pd(r[0], r[1]);
    const Reg t2 = _mm256_unpacklo_pd(r[2], r[3]);
    const Reg t3 = _mm256_unpackhi_pd(r[2], r[3]);
    r[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    r[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    r[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    r[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
  }
};

}  // namespace

}  // namespace stellix::detail

STELLIX_KERNELS(kAvx2, Avx2)

#else

STELLIX_NO_KERNELS(kAvx2)

#endif
