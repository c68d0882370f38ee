// A host that defines functions named printBodies and recordBodies, as a
// program with its own printers may well do. On ELF platforms the dynamic
// linker would bind the library's calls of those names to the host's
// definitions, unless the library calls its own writer directly. simulate's
// standard output and run file must be the library's text, byte for byte.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "reference.h"
#include "seeded_system.h"

namespace {
int host_calls = 0;
}

extern "C" {
void printBodies(const Body*, int32_t) {
  ++host_calls;
  std::fputs("the host's printBodies\n", stdout);
}
void recordBodies(FILE* stream, const Body*, int32_t) {
  ++host_calls;
  std::fputs("the host's recordBodies\n", stream);
}
}

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int failures = 0;

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "FAILED: %s\n", what);
  ++failures;
}

}  // namespace

int main() {
  char dir[] = "/tmp/stellix-interposing-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 2;
  std::vector<Body> bodies = testing_support::random_system(5, 91);
  const reference::RunResult want = reference::simulate(bodies, 600.0, 30, 4);

  // Standard output into a file of its own for the run.
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  if (saved < 0 || std::freopen("printed.txt", "w", stdout) == nullptr) return 2;
  std::vector<double> positions(want.positions.size());
  simulate(bodies.data(), 5, 600.0, 30, 4, 1, 1, 1, positions.data());
  std::fflush(stdout);
  if (dup2(saved, STDOUT_FILENO) < 0) return 2;
  close(saved);

  check(host_calls == 0, "simulate called the host's printBodies or recordBodies");
  check(read_all("printed.txt") == want.text, "standard output is the library's text");
  check(read_all("output.csv") == want.text, "the run file is the library's text");
  std::remove("printed.txt");
  std::remove("output.csv");
  rmdir(dir);
  std::fprintf(stderr, "interposing_host: %d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
