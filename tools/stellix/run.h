// The run itself: integrates the system the options name, writes the
// snapshots, the picture and the saved state, and reports.
#ifndef STELLIX_EXAMPLES_RUN_H
#define STELLIX_EXAMPLES_RUN_H

#include "cli_options.h"

namespace cli {

// Returns the exit status; throws std::runtime_error on a failure.
int run(const Options& options);

}  // namespace cli

#endif  // STELLIX_EXAMPLES_RUN_H
