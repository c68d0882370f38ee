// stellix --self-check: a few fixed problems that reach every path of the
// kernels, whose fingerprints are pinned here and in docs/reproducibility.md.
// A cluster node or a new laptop proves with it that it computes the
// project's bits.
#ifndef STELLIX_PROGRAM_SELF_CHECK_H
#define STELLIX_PROGRAM_SELF_CHECK_H

#include <cstdio>

namespace stellix::program {

// Runs every problem, writes one line each to `out`, and returns the exit
// status: 0 when every fingerprint is the pinned one, 1 otherwise.
int self_check(std::FILE* out);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_SELF_CHECK_H
