// The portable kernels: the generic algorithm with one body per "register".
// They serve on every architecture and wherever no vector instruction set is
// available, and follow the same tile order as the vector kernels.
#include <cmath>

#include "kernel_family.h"

namespace stellix::detail {
namespace {

struct Scalar {
  using Reg = double;
  static constexpr bool kBroadcastOperand = false;
  static constexpr int kWidth = 1;
  static Reg load(const double* p) { return *p; }
  static Reg loadu(const double* p) { return *p; }
  static void store(double* p, Reg v) { *p = v; }
  static void storeu(double* p, Reg v) { *p = v; }
  static void store_first(double* p, Reg v, Index) { *p = v; }
  static constexpr bool kStreams = false;
  static void stream(double* p, Reg v) { *p = v; }
  static void fence() {}
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
