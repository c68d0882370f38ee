// The run itself: integrates the system the options name, writes the
// snapshots, the picture and the saved state, and reports.
#ifndef STELLIX_PROGRAM_RUN_H
#define STELLIX_PROGRAM_RUN_H

#include "cli_options.h"

namespace stellix::program {

// Returns the exit status; throws std::runtime_error on a failure.
int run(const Options& options);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_RUN_H
