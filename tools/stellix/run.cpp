#include "run.h"

#include <stellix/stellix.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "output_files.h"
#include "report.h"
#include "samples.h"
#include "systems.h"

namespace stellix::program {

namespace {

// How the run is cut into simulate calls. Each call evaluates the
// accelerations of its starting state once more than one long call would, so
// calls last long enough for that to be small, and short enough for the
// progress bar to move.
constexpr double kChunkSeconds = 0.2;
// Text closer than this many steps would end a call at nearly every snapshot,
// each call evaluating the forces of its starting state once more (over 1.5%
// of the run): such a run is one call with the library's own text channels,
// its positions stored for the picture within this much memory. It shows no
// progress bar and samples the energy at its start and end only.
constexpr std::int64_t kOneCallStride = 64;
constexpr double kOneCallStoreBytes = 256.0 * 1024 * 1024;

bool finite_state(const std::vector<Body>& bodies) {
  return std::all_of(bodies.begin(), bodies.end(), [](const Body& b) {
    return std::isfinite(b.x) && std::isfinite(b.y) && std::isfinite(b.z) && std::isfinite(b.vx) &&
           std::isfinite(b.vy) && std::isfinite(b.vz);
  });
}

// The first step after which the state is not finite, given the state after
// step `from` and knowing it is not finite after step `to`. A run split into
// calls gives the bits of one call, so replaying step by step finds it.
std::int64_t first_non_finite_step(std::vector<Body> state, std::int64_t from, std::int64_t to,
                                   double dt) {
  for (std::int64_t step = from + 1; step < to; ++step) {
    errno = 0;
    simulate(state.data(), static_cast<std::int32_t>(state.size()), dt, 1, 1, 0, 0, 0, nullptr);
    if (errno != 0) return to;
    if (!finite_state(state)) return step;
  }
  return to;
}

System load_system(const Options& options) {
  System system = options.body_file ? read_body_file(*options.body_file) : solar_system();
  if (options.com) {
    move_to_centre_of_mass(system.bodies);
    system.title += " (centre-of-mass frame)";
  }
  return system;
}

// The library emits snapshot 0 and then the states after k*interval + 1
// steps. A run in chunks (for the progress bar) makes each simulate call with
// no text channel on, and emits those same states itself through printBodies
// and recordBodies, so its text is what one simulate call over the whole run
// would write.
class Run {
 public:
  explicit Run(const Options& options);
  int execute();

 private:
  bool choose_one_call();
  void run_in_one_call();
  void add_one_call_samples();
  void find_non_finite_by_replay();
  void run_in_chunks();
  std::int64_t simulate_chunk(std::int64_t length);
  void begin_outputs();
  void emit(const std::vector<Body>& state);
  [[noreturn]] void fail_without_memory(int error) const;
  void save_final_state();

  const Options& options_;
  System system_;
  std::vector<Body>& bodies_ = system_.bodies;
  const std::int32_t n_ = static_cast<std::int32_t>(bodies_.size());
  const std::int64_t steps_ = options_.steps, interval_ = options_.stride();
  const std::int64_t snapshot_count_ = 1 + (steps_ - 1) / interval_;
  // Every output is opened before any work, so that a path that cannot be
  // written is known before the run rather than after it.
  OutputFile svg_;
  std::optional<OutputFile> csv_, saved_;
  std::FILE* run_file_ = nullptr;
  Findings findings_;
  Tracks tracks_;
  std::vector<double> positions_;
  std::unique_ptr<RunFileDirectory> run_directory_;
  bool one_call_ = false;
  const std::vector<Body> initial_ = bodies_;
  EnergyDrift energy_;
  Clock::time_point started_;
};

Run::Run(const Options& options)
    : options_(options),
      system_(load_system(options)),
      svg_(options.svg),
      tracks_(system_, steps_) {
  if (options.record) csv_.emplace(*options.record);
  if (options.save) saved_.emplace(*options.save);
  one_call_ = choose_one_call();
}

// The run as one call draws the snapshots, enough points for the picture
// when they are at least as close as its samples or at least its fewest.
// Beyond the memory for them it stays in chunks.
bool Run::choose_one_call() {
  const bool one_call =
      kOneCallRuns && options_.emitting() && interval_ < kOneCallStride &&
      (interval_ <= tracks_.stride() || snapshot_count_ >= kFewestSamples) &&
      3.0 * n_ * sizeof(double) * static_cast<double>(snapshot_count_) <= kOneCallStoreBytes;
  if (!one_call || !csv_) return one_call;
  run_directory_ = RunFileDirectory::make(*options_.record);
  return run_directory_ != nullptr;
}

int Run::execute() {
  started_ = Clock::now();
  if (one_call_)
    run_in_one_call();
  else
    run_in_chunks();
  findings_.seconds = since(started_);
  findings_.title = system_.title;
  findings_.bodies = n_;
  findings_.drift = energy_.finish(bodies_);
  findings_.worst_drift = energy_.worst();
  findings_.drift_defined = energy_.defined();
  findings_.undefined_drift = energy_.undefined_reason();

  const std::string picture = orbits_picture(options_, findings_, tracks_.tracks());
  std::fwrite(picture.data(), 1, picture.size(), svg_.begin());
  svg_.close();
  warn_non_finite(options_, findings_);
  if (saved_) save_final_state();
  print_summary(options_, findings_);
  finish_standard_output();
  return 0;
}

void Run::run_in_one_call() {
  positions_.resize(static_cast<std::size_t>(3 * n_ * snapshot_count_));
  if (options_.print) buffer_standard_output();
  errno = 0;
  if (run_directory_) run_directory_->enter();
  simulate(bodies_.data(), n_, options_.dt, static_cast<std::int32_t>(steps_),
           static_cast<std::int32_t>(interval_), csv_ ? 1 : 0, 1, options_.print ? 1 : 0,
           positions_.data());
  const int error = errno;
  if (run_directory_) run_directory_->leave();
  if (error == ENOMEM) fail_without_memory(error);
  if (options_.print) recheck_standard_output();
  // Past ENOMEM only the run file can fail; guard anyway rather than read an
  // empty name.
  if (error != 0) {
    fail(options_.record ? "cannot write " + printable(*options_.record) : "the run failed", error);
  }
  if (run_directory_) {
    run_directory_->commit();
    csv_->adopt();
  }
  findings_.snapshots = snapshot_count_;
  add_one_call_samples();
  energy_.start(initial_);
  if (!finite_state(bodies_)) find_non_finite_by_replay();
}

// The picture takes no more points than a run without text would.
void Run::add_one_call_samples() {
  const std::int64_t every = std::max<std::int64_t>(1, tracks_.stride() / interval_);
  std::int64_t last = 0;
  for (std::int64_t k = 0; k < snapshot_count_; k += every) {
    tracks_.add(positions_.data() + 3 * n_ * k);
    last = k;
  }
  if (last == 0 || last * interval_ + 1 != steps_) tracks_.add(bodies_);
}

// Replayed snapshot by snapshot, as the text has them, and step by step in
// the first stretch that ends not finite.
void Run::find_non_finite_by_replay() {
  std::vector<Body> state = initial_;
  if (!finite_state(state)) findings_.non_finite_snapshot = 0;
  for (std::int64_t from = 0, k = 1; from < steps_; ++k) {
    const std::int64_t to = std::min(k * interval_ + 1, steps_);
    std::vector<Body> stretch_start = state;
    errno = 0;
    simulate(state.data(), n_, options_.dt, static_cast<std::int32_t>(to - from), 1, 0, 0, 0,
             nullptr);
    if (errno != 0 || !finite_state(state)) {
      findings_.non_finite_step =
          errno != 0 ? to : first_non_finite_step(std::move(stretch_start), from, to, options_.dt);
      if (findings_.non_finite_snapshot < 0 && to == k * interval_ + 1) {
        findings_.non_finite_snapshot = k;
      }
      return;
    }
    from = to;
  }
}

void Run::run_in_chunks() {
  ProgressBar bar(is_terminal(stderr) && !(options_.print && is_terminal(stdout)));
  // A first guess of one evaluation's time, refined by every chunk.
  double evaluation_seconds = 1e-9 * n_ * static_cast<double>(n_) + 1e-7;
  std::int64_t done = 0, next_emit = options_.emitting() ? interval_ + 1 : steps_ + 1;
  std::vector<Body> chunk_start;
  while (done < steps_) {
    const double wanted = std::clamp(kChunkSeconds / evaluation_seconds - 1, 1.0, 2e9);
    std::int64_t target = std::min(done + static_cast<std::int64_t>(wanted), steps_);
    if (next_emit > done && next_emit < target) target = next_emit;
    if (findings_.non_finite_step == 0) chunk_start = bodies_;
    const auto chunk_began = Clock::now();
    const std::int64_t stored = simulate_chunk(target - done);
    evaluation_seconds =
        std::max(since(chunk_began) / static_cast<double>(target - done + 1), 1e-9);
    if (done == 0) begin_outputs();
    if (findings_.non_finite_step == 0 && !finite_state(bodies_)) {
      findings_.non_finite_step = first_non_finite_step(chunk_start, done, target, options_.dt);
    }
    for (std::int64_t j = 1; j < stored; ++j)
      tracks_.add(positions_.data() + 3 * n_ * j);
    done = target;
    if (done == next_emit) {
      emit(bodies_);
      next_emit += interval_;
    }
    tracks_.add(bodies_);
    if (done < steps_) energy_.sample(bodies_, started_);
    bar.update(done, steps_, options_.dt);
  }
  if (csv_) csv_->close();
}

// The picture's points inside a chunk come from the store channel, which
// costs no extra call: positions after j*stride + 1 steps of it. Returns how
// many it stored.
std::int64_t Run::simulate_chunk(std::int64_t length) {
  const std::int64_t stored = 1 + (length - 1) / tracks_.stride();
  if (stored > 1) positions_.resize(static_cast<std::size_t>(3 * n_ * stored));
  errno = 0;
  simulate(bodies_.data(), n_, options_.dt, static_cast<std::int32_t>(length),
           static_cast<std::int32_t>(tracks_.stride()), 0, stored > 1 ? 1 : 0, 0,
           stored > 1 ? positions_.data() : nullptr);
  const int error = errno;
  if (error == ENOMEM) fail_without_memory(error);
  if (error != 0) fail("the run failed", error);
  return stored;
}

// The initial state is emitted once the first chunk has shown that the run
// can happen: a run without scratch memory must not replace older output.
void Run::begin_outputs() {
  if (csv_) run_file_ = csv_->begin();
  emit(initial_);
  tracks_.add(initial_);
  energy_.start(initial_);
}

void Run::emit(const std::vector<Body>& state) {
  if (options_.print) {
    errno = 0;
    printBodies(state.data(), n_);
    check_standard_output(errno);
  }
  if (run_file_ != nullptr) {
    errno = 0;
    recordBodies(run_file_, state.data(), n_);
    csv_->check(errno);
  }
  if (findings_.non_finite_snapshot < 0 && !finite_state(state)) {
    findings_.non_finite_snapshot = findings_.snapshots;
  }
  ++findings_.snapshots;
}

void Run::fail_without_memory(int error) const {
  fail("no memory for the run of " + count(n_, "body", "bodies") + "; nothing was computed", error);
}

void Run::save_final_state() {
  // A body file holds finite numbers only: this one could not be read back.
  if (!finite_state(bodies_)) {
    throw std::runtime_error("the final state is not finite: not saved to " +
                             printable(*options_.save));
  }
  const std::string text = body_file_text(bodies_, system_.names);
  std::FILE* save_file = saved_->begin();
  errno = 0;
  std::fwrite(text.data(), 1, text.size(), save_file);
  saved_->check(errno);
  saved_->close();
}

}  // namespace

int run(const Options& options) {
  return Run(options).execute();
}

}  // namespace stellix::program
