// The kernels of one instruction set, from its traits: included by that
// instruction set's translation unit alone, which defines the traits and
// names the table, e.g.
//
//   extern const KernelTable kAvx2Kernels = make_kernel_table<Avx2>(Isa::kAvx2, "avx2");
//
// The formulas are in kernel_primitives.h; the three algorithms built on them
// are pair_tiles.h (accelerations for the run), row_sweep.h and
// line_tiles.h with line_matrix.h (the matrix functions).
#ifndef STELLIX_SRC_CORE_KERNEL_FAMILY_H
#define STELLIX_SRC_CORE_KERNEL_FAMILY_H

#include "line_matrix.h"
#include "pair_tiles.h"
#include "row_sweep.h"

namespace stellix::detail {
namespace {

template <VectorTraits V>
void factor_matrix(const Body* bodies, Index n, double* matrix) {
  if (LineTiles<V>::on_lines(n, matrix)) {
    line_matrix<V, false>(bodies, n, matrix, nullptr);
  } else {
    RowSweep<V>::template sweep<false>(bodies, n, nullptr, matrix);
  }
}

template <VectorTraits V>
void accelerations_and_matrix(const Body* bodies, Index n, double* out, double* matrix) {
  if (LineTiles<V>::on_lines(n, matrix)) {
    line_matrix<V, true>(bodies, n, matrix, out);
  } else {
    RowSweep<V>::template sweep<true>(bodies, n, out, matrix);
  }
}

template <VectorTraits V>
constexpr KernelTable make_kernel_table(Isa isa, const char* name) {
  return KernelTable{isa,
                     name,
                     &factor_matrix<V>,
                     &accelerations_and_matrix<V>,
                     &PairTiles<V>::accelerations,
                     &PairTiles<V>::workspace_doubles};
}

}  // namespace
}  // namespace stellix::detail

#endif  // STELLIX_SRC_CORE_KERNEL_FAMILY_H
