// Portable kernels: one body at a time, in exactly the order and grouping the
// results are defined by. They serve on every architecture and are the
// fallback when no vector instruction set is available.
#include <cmath>

#include "kernels.h"

namespace stellix::detail {
namespace {

// F_ij = (q*q)*q with q = c/sqrt(s). The constant goes inside the cube: c^3/r^3
// grouped any other way differs in the last bits.
inline double pair_factor(const Body& a, const Body& b) {
  const double dx = a.x - b.x;
  const double dy = a.y - b.y;
  const double dz = a.z - b.z;
  const double s = (dx * dx + dy * dy) + dz * dz;
  const double q = kCouplingRoot / std::sqrt(s);
  return (q * q) * q;
}

void factor_matrix(const Body* bodies, Index n, double* matrix) {
  for (Index i = 0; i < n; ++i) {
    for (Index j = 0; j < i; ++j) {
      // The mirror element is copied, not recomputed: symmetry is then exact
      // and every pair costs one square root and one division.
      const double f = pair_factor(bodies[i], bodies[j]);
      matrix[n * i + j] = f;
      matrix[n * j + i] = f;
    }
  }
  // Written last so that the diagonal is +0.0 whatever the positions hold,
  // NaN included.
  for (Index k = 0; k < n; ++k)
    matrix[n * k + k] = 0.0;
}

// One term of body i's running sum: (r_j - r_i) * (F_ij * m_j) + a_i.
inline void add_term(double* a, const Body& receiver, const Body& source, double factor) {
  const double w = factor * source.mass;
  a[0] = (source.x - receiver.x) * w + a[0];
  a[1] = (source.y - receiver.y) * w + a[1];
  a[2] = (source.z - receiver.z) * w + a[2];
}

void accelerations_and_matrix(const Body* bodies, Index n, double* accelerations, double* matrix) {
  factor_matrix(bodies, n, matrix);
  for (Index i = 0; i < n; ++i) {
    double* a = accelerations + 3 * i;
    a[0] = 0.0;
    a[1] = 0.0;
    a[2] = 0.0;
    const double* row = matrix + n * i;
    for (Index j = 0; j < n; ++j)
      add_term(a, bodies[i], bodies[j], row[j]);
  }
}

// Walking the upper triangle row by row hands every body its terms in
// ascending source order: body j receives from i = 0, 1, ..., j-1 while rows
// 0..j-1 are walked, then its own term and the rest in row j. Each pair's
// factor is computed once and serves both bodies, since (x_i - x_j)^2 and
// (x_j - x_i)^2 are the same binary64 value.
void accelerations(const Body* bodies, Index n, double* accelerations, double*) {
  for (Index k = 0; k < 3 * n; ++k)
    accelerations[k] = 0.0;
  for (Index i = 0; i < n; ++i) {
    double* ai = accelerations + 3 * i;
    // The own term, with F_ii = +0.0: nothing for finite data, NaN otherwise.
    add_term(ai, bodies[i], bodies[i], 0.0);
    for (Index j = i + 1; j < n; ++j) {
      const double f = pair_factor(bodies[i], bodies[j]);
      add_term(ai, bodies[i], bodies[j], f);
      add_term(accelerations + 3 * j, bodies[j], bodies[i], f);
    }
  }
}

std::size_t no_workspace(Index) {
  return 0;
}

}  // namespace

extern const KernelTable kScalarKernels = {Isa::kScalar,   "scalar",
                                           &factor_matrix, &accelerations_and_matrix,
                                           &accelerations, &no_workspace};

}  // namespace stellix::detail
