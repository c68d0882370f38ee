// A checkpoint: what a run needs to be finished by another process after it
// stopped or was killed, in a text file written whole or not at all. Every
// double is its 16 hex digits of binary64, so that the state is exact.
#ifndef STELLIX_PROGRAM_CHECKPOINT_H
#define STELLIX_PROGRAM_CHECKPOINT_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli_options.h"
#include "orbits_svg.h"
#include "samples.h"
#include "systems.h"

namespace stellix::program {

// Where a run stands after `done` steps.
struct Progress {
  std::int64_t done = 0;
  std::int64_t snapshots = 0;        // emitted as text
  std::int64_t non_finite_step = 0;  // the first one after which it is not finite, 0: none
  std::int64_t picture_step = -1;    // the step of the picture's last point
  EnergyState energy;
  // The run file's temporary file, empty once it was put in place, and how
  // many of its bytes hold the snapshots up to `done`.
  std::string record_temporary;
  std::int64_t record_bytes = 0;
  // The run's other temporary files and its scratch directory, which a
  // killed run leaves behind and the one that finishes it removes.
  std::vector<std::string> leftovers;
};

// Removes what `leftovers` names, if it is the program's own: a temporary
// file, or a scratch directory with the library's text.
void remove_leftovers(const std::vector<std::string>& leftovers);

struct Checkpoint {
  Options options;  // the command's, the centre-of-mass frame already applied
  System system;    // its state after `done` steps
  Progress progress;
  std::vector<Track> tracks;  // the picture's points so far
};

// Throws std::runtime_error naming the file.
void write_checkpoint(const std::string& path, const Checkpoint& checkpoint);
Checkpoint read_checkpoint(const std::string& path);

// The text a path takes in a command that a shell runs as given.
std::string shell_word(const std::string& text);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_CHECKPOINT_H
