// What a run will do, decided before anything is read, written or computed:
// the simulate calls it makes, the snapshots each of them ends on and the
// points it keeps for the picture. The run itself (run.cpp) carries this out.
#ifndef STELLIX_PROGRAM_SCHEDULE_H
#define STELLIX_PROGRAM_SCHEDULE_H

#include <cstdint>
#include <optional>
#include <vector>

namespace stellix::program {

// The fewest points of a track in the picture.
inline constexpr std::int64_t kFewestSamples = 50;

// The snapshots of a simulate call of `steps` (>= 1) steps every `interval`
// (>= 1): the initial state and the states after k*interval + 1 steps.
std::int64_t snapshot_count(std::int64_t steps, std::int64_t interval);
// How many steps snapshot k comes after.
std::int64_t snapshot_step(std::int64_t k, std::int64_t interval);
// The interval asked for, or about a thousand snapshots at most.
std::int64_t snapshot_interval(std::int64_t steps, std::optional<std::int64_t> interval);

// How many steps the next call takes to last about as long as the progress
// bar may wait, given the measured time of one force evaluation.
std::int64_t chunk_length(double evaluation_seconds);
// That time before any call has measured it.
double first_evaluation_guess(std::int64_t bodies);

// What the command line asks of a run.
struct RunShape {
  std::int64_t steps = 1, interval = 1, bodies = 1;
  bool print = false, record = false;
};

// One simulate call. `stored` snapshots go to the positions buffer, none
// when `store` is off.
struct Call {
  std::int64_t steps = 0, interval = 0;
  bool record = false, store = false, print = false;
  std::int64_t stored = 0;
};

// A call of a run in chunks, which takes it from `from` to `to` steps done.
// Its state is snapshot `snapshot` of the run, or none when negative.
struct Chunk {
  std::int64_t from = 0, to = 0;
  Call call;
  std::int64_t snapshot = -1;
};

class Schedule {
 public:
  // `one_call_allowed`: whether the library's own text channels may write
  // the snapshots. Throws std::invalid_argument for counts below 1.
  Schedule(const RunShape& shape, bool one_call_allowed);

  const RunShape& shape() const { return shape_; }
  bool emitting() const { return shape_.print || shape_.record; }
  std::int64_t snapshots() const { return snapshots_; }
  // The steps between the points a chunk's call stores for the picture.
  std::int64_t picture_stride() const { return picture_stride_; }

  // The run as one call with every channel it asks for; else in chunks.
  bool one_call() const { return one_call_; }
  Call whole_call() const;
  // Which of the whole call's stored snapshots the picture draws, and
  // whether the final state follows them.
  std::vector<std::int64_t> picture_snapshots() const;
  bool picture_ends_with_final_state() const;

  // The chunk that starts after `done` steps and takes at most `wanted`.
  Chunk chunk_after(std::int64_t done, std::int64_t wanted) const;

 private:
  bool choose_one_call() const;
  std::int64_t picture_every() const;

  RunShape shape_;
  std::int64_t snapshots_, picture_stride_;
  bool one_call_;
};

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_SCHEDULE_H
