// The kernels of one instruction set, from its traits: included by that
// instruction set's translation unit alone, which defines the traits and
// then its table with one line,
//
//   STELLIX_KERNELS(kAvx2, Avx2)
//
// or, where the unit is compiled without its instruction set (another
// processor, another compiler), says that this build has none:
//
//   STELLIX_NO_KERNELS(kAvx2)
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
constexpr KernelTable make_kernel_table(Isa isa) {
  return KernelTable{isa,
                     isa_name(isa),
                     &factor_matrix<V>,
                     &accelerations_and_matrix<V>,
                     &PairTiles<V>::accelerations,
                     &PairTiles<V>::workspace_doubles};
}

}  // namespace
}  // namespace stellix::detail

#define STELLIX_KERNELS(enumerator, Traits)                                           \
  namespace stellix::detail {                                                         \
  template <>                                                                         \
  const KernelTable* kernels_of<Isa::enumerator>() {                                  \
    static constexpr KernelTable kTable = make_kernel_table<Traits>(Isa::enumerator); \
    return &kTable;                                                                   \
  }                                                                                   \
  }

#define STELLIX_NO_KERNELS(enumerator)               \
  namespace stellix::detail {                        \
  template <>                                        \
  const KernelTable* kernels_of<Isa::enumerator>() { \
    return nullptr;                                  \
  }                                                  \
  }

#endif  // STELLIX_SRC_CORE_KERNEL_FAMILY_H
