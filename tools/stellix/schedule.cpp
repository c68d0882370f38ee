#include "schedule.h"

#include <algorithm>
#include <stdexcept>

namespace stellix::program {

namespace {

// How long a call lasts, by the cost model: short enough for the progress
// bar to move and for a signal to stop the run within about a second, long
// enough for what each call costs beyond one long call to stay small. That
// is one evaluation of the starting state's accelerations, and with the
// library's text two more (the lead snapshot's step) and a copy of the text.
constexpr double kChunkSeconds = 0.2;
constexpr double kLibraryTextChunkSeconds = 1.0;
// Formatting one body's line of text, by the same model.
constexpr double kTextSecondsPerBody = 5e-7;
// The longest call, well inside the library's 32-bit step count.
constexpr double kLongestChunk = 2e9;
// Text closer than this many steps would end a call at nearly every snapshot,
// each call evaluating the forces of its starting state once more (over 1.5%
// of the run): the library writes such text, many snapshots a call.
constexpr std::int64_t kLibraryTextStride = 64;
// The positions one call with the library's text stores for the picture, and
// the text it writes to the scratch file (a line of seven "%lf" numbers
// rarely reaches 160 bytes).
constexpr double kStoreBytes = 64.0 * 1024 * 1024;
constexpr double kTextBytes = 64.0 * 1024 * 1024;
constexpr double kLineBytes = 160.0;

// Points of each track in the picture: enough for a smooth orbit, few enough
// for the file to stay small with many bodies.
std::int64_t picture_samples(std::int64_t bodies) {
  return std::clamp<std::int64_t>(1'000'000 / bodies, kFewestSamples, 720);
}

}  // namespace

std::int64_t snapshot_count(std::int64_t steps, std::int64_t interval) {
  return 1 + (steps - 1) / interval;
}

std::int64_t snapshot_step(std::int64_t k, std::int64_t interval) {
  return k == 0 ? 0 : k * interval + 1;
}

std::int64_t first_snapshot_from(std::int64_t step, std::int64_t interval) {
  return step < 1 ? 0 : step == 1 ? 1 : (step - 2) / interval + 1;
}

std::int64_t snapshot_interval(std::int64_t steps, std::optional<std::int64_t> interval) {
  return interval ? *interval : (steps + 999) / 1000;
}

double evaluation_guess(std::int64_t bodies) {
  return 1e-9 * static_cast<double>(bodies) * static_cast<double>(bodies) + 1e-7;
}

Schedule::Schedule(const RunShape& shape, bool library_text_allowed) : shape_(shape) {
  if (shape.steps < 1 || shape.interval < 1 || shape.bodies < 1) {
    throw std::invalid_argument("a run needs at least one step, interval and body");
  }
  snapshots_ = snapshot_count(shape.steps, shape.interval);
  picture_stride_ = std::max<std::int64_t>(1, shape.steps / picture_samples(shape.bodies));
  library_text_ = library_text_allowed && choose_library_text();
  chunk_steps_ = choose_chunk_steps();
}

// Not where a whole interval outlasts a call: a signal would wait for it.
bool Schedule::choose_library_text() const {
  return emitting() && !shape_.states && shape_.interval < kLibraryTextStride &&
         static_cast<double>(shape_.interval) * evaluation_guess(shape_.bodies) <=
             kLibraryTextChunkSeconds;
}

std::int64_t Schedule::choose_chunk_steps() const {
  const double n = static_cast<double>(shape_.bodies);
  if (!library_text_) {
    return static_cast<std::int64_t>(
        std::clamp(kChunkSeconds / evaluation_guess(shape_.bodies) - 1, 1.0, kLongestChunk));
  }
  const double interval = static_cast<double>(shape_.interval);
  const double step_seconds = evaluation_guess(shape_.bodies) + kTextSecondsPerBody * n / interval;
  double steps =
      std::min(kLibraryTextChunkSeconds / step_seconds, kTextBytes / (kLineBytes * n) * interval);
  if (shape_.picture) steps = std::min(steps, kStoreBytes / (3 * sizeof(double) * n) * interval);
  // A whole number of intervals, so that every call after the first starts
  // one step before a snapshot.
  const auto whole = static_cast<std::int64_t>(std::clamp(steps, 1.0, kLongestChunk));
  return std::max<std::int64_t>(whole / shape_.interval, 1) * shape_.interval;
}

// The picture takes no more points than a run without text would.
std::int64_t Schedule::picture_every() const {
  return std::max<std::int64_t>(1, picture_stride_ / shape_.interval);
}

Chunk Schedule::chunk_after(std::int64_t done) const {
  return library_text_ ? library_text_chunk(done) : program_text_chunk(done);
}

// A call ends where a snapshot falls, so that the run emits the states one
// call over the whole run would; the picture's points inside it come from
// the store channel, which costs no extra call.
Chunk Schedule::program_text_chunk(std::int64_t done) const {
  Chunk chunk;
  chunk.from = done;
  chunk.to = std::min(done + chunk_steps_, shape_.steps);
  const std::int64_t k = first_snapshot_from(done + 1, shape_.interval);
  if (emitting() && snapshot_step(k, shape_.interval) <= chunk.to) {
    chunk.to = snapshot_step(k, shape_.interval);
    chunk.snapshot = k;
  }
  const std::int64_t length = chunk.to - done;
  const std::int64_t stored = shape_.picture ? snapshot_count(length, picture_stride_) : 0;
  chunk.call = Call{length, picture_stride_, false, stored > 1, stored > 1 ? stored : 0};
  return chunk;
}

// Every call but the last ends on a whole number of intervals: the next one
// starts one step before the run's snapshot `done / interval`.
Chunk Schedule::library_text_chunk(std::int64_t done) const {
  Chunk chunk;
  chunk.from = done;
  chunk.to = std::min(done + chunk_steps_, shape_.steps);
  chunk.base = done / shape_.interval;
  chunk.skips_initial = done > 0;
  chunk.lead = done > 0 ? chunk.base : -1;
  const std::int64_t length = chunk.to - done;
  chunk.call = Call{length, shape_.interval, true, shape_.picture,
                    shape_.picture ? snapshot_count(length, shape_.interval) : 0};
  return chunk;
}

}  // namespace stellix::program
