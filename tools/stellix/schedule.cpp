#include "schedule.h"

#include <algorithm>
#include <stdexcept>

namespace stellix::program {

namespace {

// How the run is cut into simulate calls. Each call evaluates the
// accelerations of its starting state once more than one long call would, so
// calls last long enough for that to be small, and short enough for the
// progress bar to move.
constexpr double kChunkSeconds = 0.2;
// The longest call, well inside the library's 32-bit step count.
constexpr double kLongestChunk = 2e9;
// Text closer than this many steps would end a call at nearly every snapshot,
// each call evaluating the forces of its starting state once more (over 1.5%
// of the run): such a run is one call with the library's own text channels,
// its positions stored for the picture within this much memory. It shows no
// progress bar and samples the energy at its start and end only.
constexpr std::int64_t kOneCallStride = 64;
constexpr double kOneCallStoreBytes = 256.0 * 1024 * 1024;

// Points of each track in the picture: enough for a smooth orbit, few enough
// for the file to stay small with many bodies.
std::int64_t picture_samples(std::int64_t bodies) {
  return std::clamp<std::int64_t>(1'000'000 / bodies, kFewestSamples, 720);
}

// The first snapshot after `done` steps (snapshot 0 precedes every step).
std::int64_t next_snapshot(std::int64_t done, std::int64_t interval) {
  return done < 1 ? 1 : (done - 1) / interval + 1;
}

}  // namespace

std::int64_t snapshot_count(std::int64_t steps, std::int64_t interval) {
  return 1 + (steps - 1) / interval;
}

std::int64_t snapshot_step(std::int64_t k, std::int64_t interval) {
  return k == 0 ? 0 : k * interval + 1;
}

std::int64_t snapshot_interval(std::int64_t steps, std::optional<std::int64_t> interval) {
  return interval ? *interval : (steps + 999) / 1000;
}

std::int64_t chunk_length(double evaluation_seconds) {
  return static_cast<std::int64_t>(
      std::clamp(kChunkSeconds / evaluation_seconds - 1, 1.0, kLongestChunk));
}

double first_evaluation_guess(std::int64_t bodies) {
  return 1e-9 * static_cast<double>(bodies) * static_cast<double>(bodies) + 1e-7;
}

Schedule::Schedule(const RunShape& shape, bool one_call_allowed) : shape_(shape) {
  if (shape.steps < 1 || shape.interval < 1 || shape.bodies < 1) {
    throw std::invalid_argument("a run needs at least one step, interval and body");
  }
  snapshots_ = snapshot_count(shape.steps, shape.interval);
  picture_stride_ = std::max<std::int64_t>(1, shape.steps / picture_samples(shape.bodies));
  one_call_ = one_call_allowed && choose_one_call();
}

// The run as one call draws the snapshots, enough points for the picture
// when they are at least as close as its samples or at least its fewest.
// Beyond the memory for them it stays in chunks.
bool Schedule::choose_one_call() const {
  const double store_bytes =
      3.0 * static_cast<double>(shape_.bodies) * sizeof(double) * static_cast<double>(snapshots_);
  return emitting() && shape_.interval < kOneCallStride &&
         (shape_.interval <= picture_stride_ || snapshots_ >= kFewestSamples) &&
         store_bytes <= kOneCallStoreBytes;
}

Call Schedule::whole_call() const {
  return Call{shape_.steps, shape_.interval, shape_.record, true, shape_.print, snapshots_};
}

// The picture takes no more points than a run without text would.
std::int64_t Schedule::picture_every() const {
  return std::max<std::int64_t>(1, picture_stride_ / shape_.interval);
}

std::vector<std::int64_t> Schedule::picture_snapshots() const {
  std::vector<std::int64_t> drawn;
  for (std::int64_t k = 0; k < snapshots_; k += picture_every())
    drawn.push_back(k);
  return drawn;
}

bool Schedule::picture_ends_with_final_state() const {
  const std::int64_t last = (snapshots_ - 1) / picture_every() * picture_every();
  return snapshot_step(last, shape_.interval) != shape_.steps;
}

// A chunk ends where a snapshot falls, so that the run emits the states one
// call over the whole run would; the picture's points inside it come from
// the store channel, which costs no extra call.
Chunk Schedule::chunk_after(std::int64_t done, std::int64_t wanted) const {
  Chunk chunk{done, std::min(done + std::max<std::int64_t>(wanted, 1), shape_.steps), {}, -1};
  const std::int64_t k = next_snapshot(done, shape_.interval);
  if (emitting() && snapshot_step(k, shape_.interval) <= chunk.to) {
    chunk.to = snapshot_step(k, shape_.interval);
    chunk.snapshot = k;
  }
  const std::int64_t length = chunk.to - done;
  const std::int64_t stored = snapshot_count(length, picture_stride_);
  chunk.call = Call{length, picture_stride_, false, stored > 1, false, stored > 1 ? stored : 0};
  return chunk;
}

}  // namespace stellix::program
