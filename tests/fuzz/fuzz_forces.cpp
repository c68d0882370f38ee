// Factor matrix and accelerations of every kernel, and of the exported
// functions, against the straightforward reference, bit for bit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::Input in(data, size);
  // Now and then a larger system: several groups of line tiles (n > 128),
  // of the row sweep (n > 256), and, one input in about 1300, a matrix
  // written with streaming stores (n >= 2048).
  const int n = in.count(40, {130, 260, 300, 2048}, 32);
  const std::vector<Body> bodies = in.bodies(n);
  const std::size_t nn = static_cast<std::size_t>(n) * n;

  std::vector<double> want_m(nn), want_a(3 * n);
  reference::accelerations(bodies.data(), n, want_a.data(), want_m.data());

  // Garbage on entry must never leak into a result. The matrix sits at any
  // offset within a cache line, between guards that must survive.
  const double garbage = in.raw_double();
  const std::size_t offset = in.byte() % 8;
  constexpr double kGuard = -7.25;
  std::vector<double> storage(nn + 24);
  double* line = storage.data();
  while (reinterpret_cast<std::uintptr_t>(line) % 64 != 0)
    ++line;
  double* const matrix = line + 8 + offset;
  const auto require_guards = [&](const char* what, const char* variant) {
    for (std::size_t i = 0; i < storage.size(); ++i) {
      const double* p = storage.data() + i;
      if ((p < matrix || p >= matrix + nn) && storage[i] != kGuard) {
        std::fprintf(stderr, "%s (%s) wrote outside the matrix at offset %zu\n", what, variant,
                     offset);
        std::abort();
      }
    }
  };
  for (stellix::detail::Isa isa : fuzzing::supported_isas()) {
    const auto& k = stellix::detail::kernel_table(isa);
    const char* name = fuzzing::isa_name(isa);
    std::vector<double> a(3 * n, garbage);
    std::fill(storage.begin(), storage.end(), kGuard);
    std::fill(matrix, matrix + nn, garbage);
    if (n > 0) k.factor_matrix(bodies.data(), n, matrix);
    fuzzing::require_same("factor matrix", name, want_m.data(), matrix, nn);
    require_guards("factor matrix", name);

    std::fill(matrix, matrix + nn, garbage);
    if (n > 0) k.accelerations_and_matrix(bodies.data(), n, a.data(), matrix);
    fuzzing::require_same("matrix of accelerations", name, want_m.data(), matrix, nn);
    fuzzing::require_same("accelerations with matrix", name, want_a.data(), a.data(), 3 * n);
    require_guards("matrix of accelerations", name);

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
