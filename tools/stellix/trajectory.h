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

namespace stellix::program {

// Whether this build has HDF5 (the Windows build has none).
bool trajectories_available();

struct TrajectoryHeader {
  std::int64_t snapshots = 0;
  std::int64_t bodies = 0;
  double dt = 0;
  std::int64_t steps = 0;
  std::int64_t interval = 0;
  std::string units = "si";
  std::vector<std::string> names;
  std::vector<double> masses;
};

// Written into a temporary file beside the target and renamed over it by
// finish(); destroyed unfinished, it leaves the target as it was and no
// temporary file behind. Every failure throws std::runtime_error naming the
// file and HDF5's reason.
class TrajectoryFile {
 public:
  TrajectoryFile(const std::string& path, const TrajectoryHeader& header);
  ~TrajectoryFile();
  TrajectoryFile(const TrajectoryFile&) = delete;
  TrajectoryFile& operator=(const TrajectoryFile&) = delete;

  // Snapshot `index` (from 0), the state after step `step`.
  void write(std::int64_t index, std::int64_t step, const std::vector<Body>& state);
  // The state after the last step and its fingerprint; then the file is
  // closed and put in place.
  void finish(const std::vector<Body>& final_state, const std::string& fingerprint);

  struct Handles;

 private:
  std::string path_, temporary_;
  TrajectoryHeader header_;
  std::unique_ptr<Handles> handles_;
};

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_TRAJECTORY_H
