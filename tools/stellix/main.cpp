// stellix, the command-line program: integrates a system of bodies (the Sun
// and the eight planets for one year unless a body file is given), shows its
// progress, reports the energy drift, draws the orbits as an SVG file and can
// record the snapshots and save the final state for a later run to continue.
#include <stellix/stellix.h>

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "cli_options.h"
#include "output_files.h"
#include "run.h"

int main(int argc, char** argv) {
  const bool output_open = cli::guard_standard_streams();
  cli::Options options;
  cli::Request request = cli::Request::run;
  try {
    request = cli::parse(argc, argv, options);
  } catch (const cli::UsageError& e) {
    std::fprintf(stderr, "stellix: %s\n(try --help)\n", e.what());
    return 2;
  }
  try {
    if (!output_open) throw std::runtime_error("standard output is closed");
    if (request == cli::Request::run) return cli::run(options);
    if (request == cli::Request::help) {
      std::fputs(cli::kUsage, stdout);
    } else {
      std::printf("stellix %d.%d.%d\n", STELLIX_VERSION_MAJOR, STELLIX_VERSION_MINOR,
                  STELLIX_VERSION_PATCH);
    }
    cli::finish_standard_output();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stellix: %s\n", e.what());
    return 1;
  }
}
