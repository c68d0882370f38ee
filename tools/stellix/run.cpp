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

#include "fingerprint.h"
#include "output_files.h"
#include "report.h"
#include "samples.h"
#include "schedule.h"
#include "systems.h"

namespace stellix::program {

namespace {

bool finite_state(const std::vector<Body>& bodies) {
  return std::all_of(bodies.begin(), bodies.end(), [](const Body& b) {
    return std::isfinite(b.x) && std::isfinite(b.y) && std::isfinite(b.z) && std::isfinite(b.vx) &&
           std::isfinite(b.vy) && std::isfinite(b.vz);
  });
}

// Makes `call` on `bodies`, storing into `positions` if it stores; returns
// errno after it, cleared before it.
int make_call(std::vector<Body>& bodies, double dt, const Call& call, double* positions) {
  errno = 0;
  simulate(bodies.data(), static_cast<std::int32_t>(bodies.size()), dt,
           static_cast<std::int32_t>(call.steps), static_cast<std::int32_t>(call.interval),
           call.record ? 1 : 0, call.store ? 1 : 0, call.print ? 1 : 0,
           call.store ? positions : nullptr);
  return errno;
}

// Steps without a channel, for replays.
Call quiet_call(std::int64_t steps) {
  return Call{steps, 1, false, false, false, 0};
}

// The first step after which the state is not finite, given the state after
// step `from` and knowing it is not finite after step `to`. A run split into
// calls gives the bits of one call, so replaying step by step finds it.
std::int64_t first_non_finite_step(std::vector<Body> state, std::int64_t from, std::int64_t to,
                                   double dt) {
  for (std::int64_t step = from + 1; step < to; ++step) {
    if (make_call(state, dt, quiet_call(1), nullptr) != 0) return to;
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

RunShape shape_of(const Options& options, const System& system) {
  return RunShape{options.steps, options.stride(), static_cast<std::int64_t>(system.bodies.size()),
                  options.print, options.record.has_value()};
}

// Carries out the run's schedule: makes its calls, writes its outputs,
// gathers the picture's points and the energy drift, and reports. A run in
// chunks makes each simulate call with no text channel on and emits the
// snapshots itself through printBodies and recordBodies, so its text is what
// one simulate call over the whole run would write.
class Run {
 public:
  explicit Run(const Options& options);
  int execute();

 private:
  void run_in_one_call();
  void find_non_finite_by_replay();
  void run_in_chunks();
  void simulate_chunk(const Call& call);
  void finish_chunk(const Chunk& chunk, const std::vector<Body>& chunk_start);
  void begin_outputs();
  void emit(const std::vector<Body>& state);
  [[noreturn]] void fail_without_memory(int error) const;
  void report();
  void save_final_state();

  const Options& options_;
  System system_;
  std::vector<Body>& bodies_ = system_.bodies;
  const std::vector<Body> initial_ = bodies_;
  const std::int64_t n_ = static_cast<std::int64_t>(bodies_.size());
  Schedule schedule_{shape_of(options_, system_), kOneCallRuns};
  // Every output is opened before any work, so that a path that cannot be
  // written is known before the run rather than after it.
  OutputFile svg_;
  std::optional<OutputFile> csv_, saved_;
  std::unique_ptr<RunFileDirectory> run_directory_;
  std::FILE* run_file_ = nullptr;
  Findings findings_;
  Tracks tracks_{system_};
  std::vector<double> positions_;
  EnergyDrift energy_;
  Clock::time_point started_;
};

Run::Run(const Options& options)
    : options_(options), system_(load_system(options)), svg_(options.svg) {
  if (options.record) csv_.emplace(*options.record);
  if (options.save) saved_.emplace(*options.save);
  // Without a private directory for the library's run file, the program
  // writes that file itself.
  if (schedule_.one_call() && csv_) {
    run_directory_ = RunFileDirectory::make(*options_.record);
    if (!run_directory_) schedule_ = Schedule(schedule_.shape(), false);
  }
}

int Run::execute() {
  started_ = Clock::now();
  if (schedule_.one_call())
    run_in_one_call();
  else
    run_in_chunks();
  findings_.seconds = since(started_);
  report();
  return 0;
}

void Run::run_in_one_call() {
  const Call call = schedule_.whole_call();
  positions_.resize(static_cast<std::size_t>(3 * n_ * call.stored));
  if (options_.print) buffer_standard_output();
  if (run_directory_) run_directory_->enter();
  const int error = make_call(bodies_, options_.dt, call, positions_.data());
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
  findings_.snapshots = schedule_.snapshots();
  for (const std::int64_t k : schedule_.picture_snapshots())
    tracks_.add(positions_.data() + 3 * n_ * k);
  if (schedule_.picture_ends_with_final_state()) tracks_.add(bodies_);
  energy_.start(initial_);
  if (!finite_state(bodies_)) find_non_finite_by_replay();
}

// Replayed snapshot by snapshot, as the text has them, and step by step in
// the first stretch that ends not finite.
void Run::find_non_finite_by_replay() {
  const std::int64_t steps = options_.steps, interval = schedule_.shape().interval;
  std::vector<Body> state = initial_;
  if (!finite_state(state)) findings_.non_finite_snapshot = 0;
  for (std::int64_t from = 0, k = 1; from < steps; ++k) {
    const std::int64_t to = std::min(snapshot_step(k, interval), steps);
    std::vector<Body> stretch_start = state;
    const int error = make_call(state, options_.dt, quiet_call(to - from), nullptr);
    if (error != 0 || !finite_state(state)) {
      findings_.non_finite_step =
          error != 0 ? to : first_non_finite_step(std::move(stretch_start), from, to, options_.dt);
      if (findings_.non_finite_snapshot < 0 && to == snapshot_step(k, interval)) {
        findings_.non_finite_snapshot = k;
      }
      return;
    }
    from = to;
  }
}

void Run::run_in_chunks() {
  ProgressBar bar(is_terminal(stderr) && !(options_.print && is_terminal(stdout)));
  // Refined by every chunk.
  double evaluation_seconds = first_evaluation_guess(n_);
  std::vector<Body> chunk_start;
  for (std::int64_t done = 0; done < options_.steps;) {
    const Chunk chunk = schedule_.chunk_after(done, chunk_length(evaluation_seconds));
    if (findings_.non_finite_step == 0) chunk_start = bodies_;
    const auto chunk_began = Clock::now();
    simulate_chunk(chunk.call);
    evaluation_seconds =
        std::max(since(chunk_began) / static_cast<double>(chunk.call.steps + 1), 1e-9);
    finish_chunk(chunk, chunk_start);
    done = chunk.to;
    bar.update(done, options_.steps, options_.dt);
  }
  if (csv_) csv_->close();
}

void Run::simulate_chunk(const Call& call) {
  if (call.store) positions_.resize(static_cast<std::size_t>(3 * n_ * call.stored));
  const int error = make_call(bodies_, options_.dt, call, positions_.data());
  if (error == ENOMEM) fail_without_memory(error);
  if (error != 0) fail("the run failed", error);
}

// The points the call stored after 1 + j*stride steps of it, then its end.
void Run::finish_chunk(const Chunk& chunk, const std::vector<Body>& chunk_start) {
  if (chunk.from == 0) begin_outputs();
  if (findings_.non_finite_step == 0 && !finite_state(bodies_)) {
    findings_.non_finite_step =
        first_non_finite_step(chunk_start, chunk.from, chunk.to, options_.dt);
  }
  for (std::int64_t j = 1; j < chunk.call.stored; ++j)
    tracks_.add(positions_.data() + 3 * n_ * j);
  if (chunk.snapshot > 0) emit(bodies_);
  tracks_.add(bodies_);
  if (chunk.to < options_.steps) energy_.sample(bodies_, started_);
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
    printBodies(state.data(), static_cast<std::int32_t>(n_));
    check_standard_output(errno);
  }
  if (run_file_ != nullptr) {
    errno = 0;
    recordBodies(run_file_, state.data(), static_cast<std::int32_t>(n_));
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

void Run::report() {
  findings_.title = system_.title;
  findings_.bodies = static_cast<std::int32_t>(n_);
  findings_.drift = energy_.finish(bodies_);
  findings_.worst_drift = energy_.worst();
  findings_.drift_defined = energy_.defined();
  findings_.undefined_drift = energy_.undefined_reason();
  if (options_.fingerprint) findings_.fingerprint = fingerprint(bodies_);

  const std::string picture = orbits_picture(options_, findings_, tracks_.tracks());
  std::fwrite(picture.data(), 1, picture.size(), svg_.begin());
  svg_.close();
  warn_non_finite(options_, findings_);
  if (saved_) save_final_state();
  print_summary(options_, findings_);
  finish_standard_output();
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
