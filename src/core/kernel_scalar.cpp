// The portable kernels: the generic algorithm with one body per "register".
// They serve on every architecture and wherever no vector instruction set is
// available, and follow the same tile order as the vector kernels.
#include <bit>
#include <cmath>

#include "kernel_family.h"

#if defined(__x86_64__) || defined(_M_X64)
#define STELLIX_SCALAR_X86_64 1
#include <emmintrin.h>
#endif

namespace stellix::detail {
namespace {

// A large matrix goes to memory in whole lines here too, with scalar
// non-temporal stores: clang has a builtin for them everywhere; GCC only
// the x86-64 one for integers (movnti, baseline SSE2), which takes the bits
// of the double. Elsewhere the matrix takes the row sweep.
#if defined(__clang__)
constexpr bool kScalarStreams = true;
void stream_double(double* p, double v) {
  __builtin_nontemporal_store(v, p);
}
#elif defined(STELLIX_SCALAR_X86_64)
constexpr bool kScalarStreams = true;
void stream_double(double* p, double v) {
  _mm_stream_si64(reinterpret_cast<long long*>(p), std::bit_cast<long long>(v));
}
#else
constexpr bool kScalarStreams = false;
void stream_double(double* p, double v) {
  *p = v;
}
#endif

// Non-temporal stores are weakly ordered; the fence orders them before any
// later store, such as the one that hands the matrix on.
#if defined(STELLIX_SCALAR_X86_64)
void fence_streams() {
  _mm_sfence();
}
#elif defined(__GNUC__)
void fence_streams() {
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
#else
void fence_streams() {}
#endif

struct Scalar {
  using Reg = double;
  static constexpr bool kBroadcastOperand = false;
  static constexpr int kWidth = 1;
  static Reg load(const double* p) { return *p; }
  static Reg loadu(const double* p) { return *p; }
  static void store(double* p, Reg v) { *p = v; }
  static void storeu(double* p, Reg v) { *p = v; }
  static void store_first(double* p, Reg v, Index) { *p = v; }
  static constexpr bool kStreams = kScalarStreams;
  static void stream(double* p, Reg v) { stream_double(p, v); }
  static void fence() { fence_streams(); }
  static Reg set1(double v) { return v; }
  static Reg add(Reg a, Reg b) { return a + b; }
  static Reg sub(Reg a, Reg b) { return a - b; }
  static Reg mul(Reg a, Reg b) { return a * b; }
  static Reg div(Reg a, Reg b) { return a / b; }
  static Reg sqrt(Reg a) { return std::sqrt(a); }
  static Reg zero_lane(Reg, Index) { return 0.0; }
  static void transpose(Reg*) {}
};

}  // namespace
}  // namespace stellix::detail

STELLIX_KERNELS(kScalar, Scalar)
