// Factor matrix and accelerations of every kernel, and of the exported
// functions, against the straightforward reference, bit for bit.
#include <vector>

#include "fuzz_input.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::Input in(data, size);
  const int n = in.byte() % 40;
  const std::vector<Body> bodies = in.bodies(n);
  const std::size_t nn = static_cast<std::size_t>(n) * n;

  std::vector<double> want_m(nn), want_a(3 * n);
  reference::accelerations(bodies.data(), n, want_a.data(), want_m.data());

  // Garbage on entry must never leak into a result.
  const double garbage = in.raw_double();
  for (stellix::detail::Isa isa : fuzzing::supported_isas()) {
    const auto& k = stellix::detail::kernel_table(isa);
    const char* name = fuzzing::isa_name(isa);
    std::vector<double> m(nn, garbage), a(3 * n, garbage);
    if (n > 0) k.factor_matrix(bodies.data(), n, m.data());
    fuzzing::require_same("factor matrix", name, want_m.data(), m.data(), nn);

    std::fill(m.begin(), m.end(), garbage);
    if (n > 0) k.accelerations_and_matrix(bodies.data(), n, a.data(), m.data());
    fuzzing::require_same("matrix of accelerations", name, want_m.data(), m.data(), nn);
    fuzzing::require_same("accelerations with matrix", name, want_a.data(), a.data(), 3 * n);

    std::fill(a.begin(), a.end(), garbage);
    std::vector<double> workspace(n > 0 ? k.workspace_doubles(n) : 0, garbage);
    if (n > 0) k.accelerations(bodies.data(), n, a.data(), workspace.data());
    fuzzing::require_same("fused accelerations", name, want_a.data(), a.data(), 3 * n);
  }

  std::vector<double> m(nn, garbage), a(3 * n, garbage);
  getAccelerationVectorArray(bodies.data(), n, a.data(), m.data());
  fuzzing::require_same("exported accelerations", "dispatch", want_a.data(), a.data(), 3 * n);
  fuzzing::require_same("exported matrix", "dispatch", want_m.data(), m.data(), nn);
  return 0;
}
