// The generic kernels on 512-bit vectors (eight doubles). This unit alone is
// compiled with AVX-512F enabled; it is entered only after the dispatcher has
// checked the CPU and the operating system.
#include "kernel_family.h"

// The build compiles it with AVX-512F on x86-64 alone (cmake/stellixIsas.cmake);
// compiled without, it says that this build has no such kernels.
#if defined(__AVX512F__)
#include "x86_intrinsics.h"

namespace stellix::detail {
namespace {

struct Avx512 {
  using Reg = __m512d;
  static constexpr bool kBroadcastOperand = true;
  static constexpr int kWidth = 8;

  static __mmask8 first_lanes(Index count) {
    return static_cast<__mmask8>((1u << static_cast<unsigned>(count)) - 1u);
  }

  static Reg load(const double* p) { return _mm512_load_pd(p); }
  static Reg loadu(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, Reg v) { _mm512_store_pd(p, v); }
  static void storeu(double* p, Reg v) { _mm512_storeu_pd(p, v); }
  static void store_first(double* p, Reg v, Index count) {
    if (count == kWidth) {
      _mm512_storeu_pd(p, v);
    } else {
      _mm512_mask_storeu_pd(p, first_lanes(count), v);
    }
  }
  static constexpr bool kStreams = true;
  static void stream(double* p, Reg v) { _mm512_stream_pd(p, v); }
  static void fence() { _mm_sfence(); }
  static Reg set1(double v) { return _mm512_set1_pd(v); }
  static Reg add(Reg a, Reg b) { return _mm512_add_pd(a, b); }
  static Reg sub(Reg a, Reg b) { return _mm512_sub_pd(a, b); }
  static Reg mul(Reg a, Reg b) { return _mm512_mul_pd(a, b); }
  static Reg div(Reg a, Reg b) { return _mm512_div_pd(a, b); }
  static Reg sqrt(Reg a) { return _mm512_sqrt_pd(a); }
  static Reg zero_lane(Reg v, Index k) {
    return _mm512_mask_mov_pd(v, static_cast<__mmask8>(1u << static_cast<unsigned>(k)),
                              _mm512_setzero_pd());
  }
  // Two rounds of pair interleaving, then two of 128-bit lane shuffles.
  static void transpose(Reg* r) {
    const Reg t0 = _mm512_unpacklo_pd(r[0], r[1]);
    const Reg t1 = _mm512_unpackhi_pd(r[0], r[1]);
    const Reg t2 = _mm512_unpacklo_pd(r[2], r[3]);
    const Reg t3 = _mm512_unpackhi_pd(r[2], r[3]);
    const Reg t4 = _mm512_unpacklo_pd(r[4], r[5]);
    const Reg t5 = _mm512_unpackhi_pd(r[4], r[5]);
    const Reg t6 = _mm512_unpacklo_pd(r[6], r[7]);
    const Reg t7 = _mm512_unpackhi_pd(r[6], r[7]);
    const Reg u0 = _mm512_shuffle_f64x2(t0, t2, 0x88);
    const Reg u1 = _mm512_shuffle_f64x2(t0, t2, 0xDD);
    const Reg u2 = _mm512_shuffle_f64x2(t1, t3, 0x88);
    const Reg u3 = _mm512_shuffle_f64x2(t1, t3, 0xDD);
    const Reg u4 = _mm512_shuffle_f64x2(t4, t6, 0x88);
    const Reg u5 = _mm512_shuffle_f64x2(t4, t6, 0xDD);
    const Reg u6 = _mm512_shuffle_f64x2(t5, t7, 0x88);
    const Reg u7 = _mm512_shuffle_f64x2(t5, t7, 0xDD);
    r[0] = _mm512_shuffle_f64x2(u0, u4, 0x88);
    r[4] = _mm512_shuffle_f64x2(u0, u4, 0xDD);
    r[2] = _mm512_shuffle_f64x2(u1, u5, 0x88);
    r[6] = _mm512_shuffle_f64x2(u1, u5, 0xDD);
    r[1] = _mm512_shuffle_f64x2(u2, u6, 0x88);
    r[5] = _mm512_shuffle_f64x2(u2, u6, 0xDD);
    r[3] = _mm512_shuffle_f64x2(u3, u7, 0x88);
    r[7] = _mm512_shuffle_f64x2(u3, u7, 0xDD);
  }
};

}  // namespace

}  // namespace stellix::detail

STELLIX_KERNELS(kAvx512, Avx512)

#else

STELLIX_NO_KERNELS(kAvx512)

#endif
