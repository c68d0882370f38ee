// The text of one snapshot, for the exported printBodies and recordBodies
// and for the run, which calls it directly: hidden, so that no host symbol
// can stand in for it.
#ifndef STELLIX_SRC_OUTPUT_SNAPSHOT_H
#define STELLIX_SRC_OUTPUT_SNAPSHOT_H

#include <cstdint>
#include <cstdio>

#include "stellix/stellix.h"

namespace stellix::detail {

// One line per body, each field as "%lf" writes it (every NaN as "nan"),
// six followed by a space and the mass by the newline.
void write_snapshot(std::FILE* stream, const Body* bodies, std::int32_t n);

}  // namespace stellix::detail

#endif  // STELLIX_SRC_OUTPUT_SNAPSHOT_H
