// --trajectory FILE.h5: the full state of every snapshot, in exact binary64,
// in the HDF5 layout of docs/file-formats.md that Python's
// stellix.read_trajectory reads too.
#ifndef STELLIX_PROGRAM_TRAJECTORY_H
#define STELLIX_PROGRAM_TRAJECTORY_H

#include <stellix/stellix.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output_files.h"

namespace stellix::program {

// Whether this build has HDF5 (the Windows build has none).
bool trajectories_available();

struct TrajectoryHeader {
  std::int64_t bodies = 0;
  double dt = 0;
  std::int64_t interval = 0;
  std::string units = "si";
  std::vector<std::string> names;
  std::vector<double> masses;
};

// Written into a temporary file beside the target (an Output's, with its
// permission bits) and renamed over it by place(); destroyed before, it
// leaves the target as it was and no temporary file behind. Every failure throws std::runtime_error
// naming the file and HDF5's reason.
class TrajectoryFile {
 public:
  TrajectoryFile(const std::string& path, const TrajectoryHeader& header);
  ~TrajectoryFile();
  TrajectoryFile(const TrajectoryFile&) = delete;
  TrajectoryFile& operator=(const TrajectoryFile&) = delete;

  // The next snapshot, the state after step `step`.
  void write(std::int64_t step, const std::vector<Body>& state);
  // The state after the last of `total_steps` steps and its fingerprint;
  // then the file is closed, whole, beside its target. A run stopped early
  // completes it with the snapshots it took.
  void complete(const std::vector<Body>& final_state, const std::string& fingerprint,
                std::int64_t total_steps);
  // Renames the completed file over the target.
  void place();

  struct Handles;

 private:
  std::string path_;
  TrajectoryHeader header_;
  std::unique_ptr<Output> output_;    // the temporary file, removed unless placed
  std::unique_ptr<Handles> handles_;  // closed before the file is removed
};

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_TRAJECTORY_H
