// Whole runs with every kernel against the reference run: stored positions
// (and nothing written past them), final bodies, and the run file's text.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/simulation.h"
#include "fuzz_input.h"
#include "reference.h"

namespace {

std::string slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The run file goes to a private directory; printed snapshots go nowhere.
  char dir[] = "/tmp/stellix-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
  std::FILE* sink = std::freopen("/dev/null", "w", stdout);
  (void)sink;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace stellix::detail;
  fuzzing::Input in(data, size);
  // Now and then enough bodies that the pair tiles delay their column uses
  // (four blocks and more of every vector width).
  const int n = in.count(11, {24, 40, 70}, 8) - 1;
  const int steps = static_cast<int>(in.byte() % 16) - 3;
  const int interval = static_cast<int>(in.byte() % 9) - 4;
  const std::uint8_t flags = in.byte();
  const bool record = flags & 1, store = flags & 2, print = flags & 4;
  const double dt = (flags & 8) ? in.value() : static_cast<double>(in.byte() % 100) * 60.0;
  const std::vector<Body> start = in.bodies(n);

  const reference::RunResult want = reference::simulate(start, dt, steps, interval);
  const std::size_t stored = store ? want.positions.size() : 0;
  constexpr double kSentinel = 8.5;

  for (Isa isa : fuzzing::supported_isas()) {
    const char* name = fuzzing::isa_name(isa);
    std::vector<Body> bodies = start;
    std::vector<double> positions(stored + 4, kSentinel);
    std::remove("output.csv");
    run_simulation(bodies.data(), n, RunOptions{dt, steps, interval, record, store, print},
                   store ? positions.data() : nullptr, kernel_table(isa), system_allocator());
    std::fflush(stdout);
    fuzzing::require_same("final bodies", name, reinterpret_cast<const double*>(want.bodies.data()),
                          reinterpret_cast<const double*>(bodies.data()), 7 * bodies.size());
    fuzzing::require_same("stored positions", name, want.positions.data(), positions.data(),
                          stored);
    for (std::size_t k = stored; k < positions.size(); ++k) {
      if (positions[k] != kSentinel) {
        std::fprintf(stderr, "write past the stored snapshots (%s)\n", name);
        std::abort();
      }
    }
    const bool exists = access("output.csv", F_OK) == 0;
    if (exists != record) {
      std::fprintf(stderr, "run file %s (%s)\n", exists ? "written unasked" : "missing", name);
      std::abort();
    }
    if (record && slurp("output.csv") != want.text) {
      std::fprintf(stderr, "run file text differs (%s)\n", name);
      std::abort();
    }
  }
  return 0;
}
