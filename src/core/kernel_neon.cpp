// The generic kernels on 128-bit Advanced SIMD vectors (two doubles), the
// vector unit every aarch64 processor has. Its multiply and add stay two
// instructions: the fused fmla would round once where the results are
// defined with two roundings.
#include "kernel_family.h"

#if defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>

#include <cstdint>

namespace stellix::detail {
namespace {

struct Neon {
  using Reg = float64x2_t;
  static constexpr bool kBroadcastOperand = false;
  static constexpr int kWidth = 2;

  static Reg load(const double* p) { return vld1q_f64(p); }
  static Reg loadu(const double* p) { return vld1q_f64(p); }
  static void store(double* p, Reg v) { vst1q_f64(p, v); }
  static void storeu(double* p, Reg v) { vst1q_f64(p, v); }
  static void store_first(double* p, Reg v, Index count) {
    if (count == kWidth) {
      vst1q_f64(p, v);
    } else {
      vst1q_lane_f64(p, v, 0);
    }
  }
  // The non-temporal pair store has no intrinsic; ordinary stores serve.
  static constexpr bool kStreams = false;
  static void stream(double* p, Reg v) { vst1q_f64(p, v); }
  static void fence() {}
  static Reg set1(double v) { return vdupq_n_f64(v); }
  static Reg add(Reg a, Reg b) { return vaddq_f64(a, b); }
  static Reg sub(Reg a, Reg b) { return vsubq_f64(a, b); }
  static Reg mul(Reg a, Reg b) { return vmulq_f64(a, b); }
  static Reg div(Reg a, Reg b) { return vdivq_f64(a, b); }
  static Reg sqrt(Reg a) { return vsqrtq_f64(a); }
  static Reg zero_lane(Reg v, Index k) {
    const uint64x2_t lanes = vcombine_u64(vcreate_u64(0), vcreate_u64(1));
    const uint64x2_t hit = vceqq_u64(vdupq_n_u64(static_cast<std::uint64_t>(k)), lanes);
    return vreinterpretq_f64_u64(vbicq_u64(vreinterpretq_u64_f64(v), hit));
  }
  static void transpose(Reg* r) {
    const Reg low = vzip1q_f64(r[0], r[1]);
    r[1] = vzip2q_f64(r[0], r[1]);
    r[0] = low;
  }
};

}  // namespace

}  // namespace stellix::detail

STELLIX_KERNELS(kNeon, Neon)

#else

STELLIX_NO_KERNELS(kNeon)

#endif
