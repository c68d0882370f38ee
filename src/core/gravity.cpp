#include <cmath>

#include "kernels.h"

using stellix::detail::active_kernels;

extern "C" {

STELLIX_API void getInverseDistanceCubedMatrix(const Body* bodies, int32_t n, double* matrix) {
  if (n <= 0) return;
  active_kernels().factor_matrix(bodies, n, matrix);
}

STELLIX_API double invsqrt(double x) { return 1.0 / std::sqrt(x); }

STELLIX_API void getAccelerationVectorArray(const Body* bodies, int32_t n, double* accelerations,
                                            double* matrix) {
  if (n <= 0) return;
  active_kernels().accelerations_and_matrix(bodies, n, accelerations, matrix);
}

}  // extern "C"
