// What a run will do, decided before anything is read, written or computed:
// the simulate calls it makes, the snapshots each of them emits and the
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
// The first snapshot taken after `step` steps or at that step.
std::int64_t first_snapshot_from(std::int64_t step, std::int64_t interval);
// The interval asked for, or about a thousand snapshots at most.
std::int64_t snapshot_interval(std::int64_t steps, std::optional<std::int64_t> interval);

// The modelled time of one force evaluation of `bodies` bodies on a current
// x86 core.
double evaluation_guess(std::int64_t bodies);

// What the command line asks of a run.
struct RunShape {
  std::int64_t steps = 1, interval = 1, bodies = 1;
  bool print = false, record = false, picture = true;
  // Every snapshot's whole state is kept (a trajectory, the viewer page):
  // each one ends a call, for the program to see it.
  bool states = false;
};

// One simulate call. `stored` snapshots go to the positions buffer, none
// when `store` is off. `record` is the library's own run file.
struct Call {
  std::int64_t steps = 0, interval = 0;
  bool record = false, store = false;
  std::int64_t stored = 0;
};

// A call of the run, which takes it from `from` to `to` steps done.
//
// When the program writes the text itself, the call's end is snapshot
// `snapshot` of the run, or none when negative; the call stores the
// picture's points inside it.
//
// When the library writes the text, the call records every snapshot into a
// scratch file. Its snapshot j is the run's snapshot `base` + j, except that
// after the first call the call's initial state (j = 0) is none of the run's,
// and the run's snapshot `base`, one step later, is `lead`: made by one more
// step of a copy of the starting state, and emitted before the call's text.
struct Chunk {
  std::int64_t from = 0, to = 0;
  Call call;
  std::int64_t snapshot = -1;
  std::int64_t base = 0, lead = -1;
  bool skips_initial = false;
};

class Schedule {
 public:
  // `library_text_allowed`: whether the library may write the snapshots'
  // text into a scratch file for the program to copy. Throws
  // std::invalid_argument for counts below 1.
  Schedule(const RunShape& shape, bool library_text_allowed);

  const RunShape& shape() const { return shape_; }
  bool emitting() const { return shape_.print || shape_.record || shape_.states; }
  std::int64_t snapshots() const { return snapshots_; }
  // The steps between the points a call stores for the picture.
  std::int64_t picture_stride() const { return picture_stride_; }
  // Snapshots too close to end a call at each: the library writes them.
  bool library_text() const { return library_text_; }
  // With library text: whether the picture draws snapshot k.
  bool draws_snapshot(std::int64_t k) const { return k % picture_every() == 0; }
  // The steps of a call, fixed for the run so that the calls, and with them
  // the picture, never depend on timing.
  std::int64_t chunk_steps() const { return chunk_steps_; }

  // The call that starts after `done` steps, a step at which an earlier
  // call of this schedule ended.
  Chunk chunk_after(std::int64_t done) const;

 private:
  bool choose_library_text() const;
  std::int64_t picture_every() const;
  std::int64_t choose_chunk_steps() const;
  Chunk program_text_chunk(std::int64_t done) const;
  Chunk library_text_chunk(std::int64_t done) const;

  RunShape shape_;
  std::int64_t snapshots_, picture_stride_;
  bool library_text_;
  std::int64_t chunk_steps_;
};

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_SCHEDULE_H
