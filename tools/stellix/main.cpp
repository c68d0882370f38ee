// stellix, the command-line program: integrates a system of bodies (the Sun
// and the eight planets for one year unless a body file is given), shows its
// progress, reports the energy drift, and can draw the orbits as an SVG file,
// record the snapshots, save the final state for a later run to continue,
// checkpoint a long run and finish it after a crash.
#include <stellix/stellix.h>

#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>

#include "cli_options.h"
#include "output_files.h"
#include "run.h"
#include "self_check.h"

namespace program = stellix::program;

int main(int argc, char** argv) {
  const bool output_open = program::guard_standard_streams();
  program::Options options;
  program::Request request = program::Request::run;
  try {
    request = program::parse(argc, argv, options);
  } catch (const program::UsageError& e) {
    std::fprintf(stderr, "stellix: %s\n(try --help)\n", e.what());
    return 2;
  }
  try {
    if (!output_open) throw std::runtime_error("standard output is closed");
    if (request == program::Request::run || request == program::Request::resume) {
      return program::run(options);
    }
    if (request == program::Request::self_check) {
      const int status = program::self_check(stdout);
      program::finish_standard_output();
      return status;
    }
    if (request == program::Request::help) {
      std::fputs(program::kUsage, stdout);
    } else {
      std::printf("stellix %d.%d.%d\n", STELLIX_VERSION_MAJOR, STELLIX_VERSION_MINOR,
                  STELLIX_VERSION_PATCH);
    }
    program::finish_standard_output();
    return 0;
  } catch (const program::UsageError& e) {
    std::fprintf(stderr, "stellix: %s\n", e.what());
    return 2;
  } catch (const std::bad_alloc&) {
    // Prepared: nothing may be allocated to say it.
    std::fputs("stellix: out of memory: Cannot allocate memory\n", stderr);
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stellix: %s\n", e.what());
    return 1;
  }
}
