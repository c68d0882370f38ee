#include "kernels.h"

namespace stellix::detail {

extern const KernelTable kScalarKernels;

const KernelTable& kernel_table(Isa) {
  return kScalarKernels;
}

bool isa_supported(Isa isa) {
  return isa == Isa::kScalar;
}

const KernelTable& active_kernels() {
  return kScalarKernels;
}

}  // namespace stellix::detail
