#include "run.h"

#include <stellix/stellix.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "checkpoint.h"
#include "fingerprint.h"
#include "output_files.h"
#include "report.h"
#include "samples.h"
#include "schedule.h"
#include "signals.h"
#include "systems.h"
#include "trajectory.h"
#include "viewer_page.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <process.h>
#define getpid _getpid
#endif

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
           call.record ? 1 : 0, call.store ? 1 : 0, 0, call.store ? positions : nullptr);
  return errno;
}

Call quiet_call(std::int64_t steps) {
  return Call{steps, 1, false, false, 0};
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
  System system = options.body_file
                      ? read_body_file(*options.body_file, *unit_preset(options.units))
                      : solar_system();
  if (options.com) {
    double mass = 0;
    for (const Body& b : system.bodies)
      mass += b.mass;
    if (!(mass > 0)) throw UsageError("--com needs bodies whose total mass is above zero");
    move_to_centre_of_mass(system.bodies);
    system.title += " (centre-of-mass frame)";
  }
  return system;
}

std::string absolute(const std::string& path) {
  std::error_code ignored;
  const std::filesystem::path made = std::filesystem::absolute(path, ignored);
  return made.empty() ? path : made.string();
}

// Two outputs that are one file would leave one of them lost, and an output
// that is the body file would replace the input: refused before the run.
void check_distinct_files(const Options& options) {
  std::vector<std::pair<const char*, const std::optional<std::string>*>> named = {
      {"--record", &options.record},
      {"--save", &options.save},
      {"--svg", &options.svg},
      {"--trajectory", &options.trajectory},
      {"--html", &options.html},
      {"--checkpoint", &options.checkpoint},
      {"the body file", &options.body_file}};
  std::vector<std::pair<const char*, FileIdentity>> seen;
  for (const auto& [what, path] : named) {
    if (!*path) continue;
    const FileIdentity file = identify(**path);
    for (const auto& [other, known] : seen) {
      // Devices such as /dev/null take any number of writers.
      if (file == known && !(file.exists && std::filesystem::is_character_file(**path))) {
        throw UsageError(std::string(what) + " and " + other + " name the same file, " +
                         printable(**path));
      }
    }
    seen.emplace_back(what, file);
  }
}

RunShape shape_of(const Options& options, const System& system) {
  return RunShape{options.steps,
                  options.stride(),
                  static_cast<std::int64_t>(system.bodies.size()),
                  options.print,
                  options.record.has_value(),
                  options.svg.has_value(),
                  options.keeps_states()};
}

}  // namespace

namespace {

// Carries out the run's schedule: makes its calls, writes its outputs,
// gathers the picture's points and the energy drift, checkpoints, and
// reports. Whoever writes the snapshots' text, it is what one simulate call
// over the whole run would write.
class Run {
 public:
  Run(const Options& options, std::optional<Checkpoint> resumed);
  int execute();

 private:
  void open_outputs();
  void open_state_outputs();
  void begin();
  void run_chunk(const Chunk& chunk);
  void program_text_chunk(const Chunk& chunk);
  void library_text_chunk(const Chunk& chunk);
  void lead_snapshot(const Chunk& chunk);
  void call(std::vector<Body>& state, const Call& call);
  void copy_library_text(bool skip_initial);
  void emit(const std::vector<Body>& state);
  void keep_state(const std::vector<Body>& state);
  void complete_state_outputs();
  void draw(const double* xyz, std::int64_t step);
  void draw(const std::vector<Body>& state, std::int64_t step);
  bool checkpoint_due() const;
  void write_progress(const std::string& path);
  int finish(int signal);
  void write_picture();
  void save_final_state();
  void report_stop(int signal);
  [[noreturn]] void fail_without_memory(int error) const;

  Options options_;
  System system_;
  std::vector<Body>& bodies_ = system_.bodies;
  const std::int64_t n_ = static_cast<std::int64_t>(bodies_.size());
  Progress progress_;
  Schedule schedule_{shape_of(options_, system_), kLibraryText};
  std::optional<Output> record_, saved_, svg_, html_;
  std::unique_ptr<TrajectoryFile> trajectory_;
  std::unique_ptr<ViewerPage> viewer_;
  double initial_energy_ = 0;
  std::unique_ptr<ScratchDirectory> scratch_;
  Tracks tracks_{system_};
  EnergyDrift energy_;
  std::vector<double> positions_;
  bool record_placed_ = false;
  Clock::time_point started_ = Clock::now(), last_checkpoint_ = started_;
};

Run::Run(const Options& options, std::optional<Checkpoint> resumed)
    : options_(resumed ? resumed->options : options),
      system_(resumed ? std::move(resumed->system) : load_system(options)) {
  options_.com = false;  // done: the state is in that frame
  // --dt in the preset's time unit, one multiplication; a checkpoint holds
  // it in seconds.
  if (!resumed) options_.dt = options.dt * unit_preset(options.units)->time;
  check_distinct_files(options_);
  if (resumed) {
    remove_leftovers(resumed->progress.leftovers);
    progress_ = resumed->progress;
    progress_.leftovers.clear();
    energy_.restore(progress_.energy);
    // A checkpoint without points leaves the tracks as a fresh run has them.
    if (options_.svg && !resumed->tracks.empty()) tracks_.tracks() = std::move(resumed->tracks);
  }
  open_outputs();
}

void Run::open_outputs() {
  if (options_.record) record_.emplace(*options_.record);
  if (options_.save) saved_.emplace(*options_.save);
  if (options_.svg) svg_.emplace(*options_.svg);
  if (record_) record_->continue_from(progress_.record_temporary, progress_.record_bytes);
  open_state_outputs();
  progress_.record_temporary.clear();
  if (!schedule_.library_text()) return;
  // A run continued where the program wrote the text goes on so: the
  // library's calls start on a whole number of intervals.
  if (progress_.done % schedule_.shape().interval != 0) {
    schedule_ = Schedule(schedule_.shape(), false);
    return;
  }
  // The library's text, a second of it at most, goes to memory where the
  // system offers a file system there, else to the temporary directory.
  const char* tmpdir = std::getenv("TMPDIR");
  for (const char* parent : {"/dev/shm", tmpdir != nullptr && *tmpdir != 0 ? tmpdir : "/tmp"}) {
    if (!scratch_) scratch_ = ScratchDirectory::make(parent);
  }
  if (!scratch_) schedule_ = Schedule(schedule_.shape(), false);
}

// The trajectory and the viewer page keep every snapshot's state, which a
// checkpoint does not hold: a resumed run writes neither.
void Run::open_state_outputs() {
  if (!options_.keeps_states()) return;
  std::vector<std::string> names;
  std::vector<double> masses;
  for (std::size_t i = 0; i < bodies_.size(); ++i) {
    names.push_back(body_label(system_, i));
    masses.push_back(bodies_[i].mass);
  }
  if (options_.trajectory) {
    TrajectoryHeader header{n_, options_.dt, schedule_.shape().interval, "si", names, masses};
    trajectory_ = std::make_unique<TrajectoryFile>(*options_.trajectory, header);
  }
  if (options_.html) {
    html_.emplace(*options_.html);
    viewer_ = std::make_unique<ViewerPage>("stellix: " + system_.title, names, masses,
                                           schedule_.snapshots(), options_.dt);
  }
}

int Run::execute() {
  if (progress_.done == 0) begin();
  if (options_.checkpoint) write_progress(*options_.checkpoint);
  ProgressBar bar(is_terminal(stderr) && !(options_.print && is_terminal(stdout)));
  while (progress_.done < options_.steps) {
    if (stop_signal() != 0) {
      bar.cut();
      return finish(stop_signal());
    }
    const Chunk chunk = schedule_.chunk_after(progress_.done);
    run_chunk(chunk);
    progress_.done = chunk.to;
    bar.update(progress_.done, options_.steps, options_.dt);
    if (checkpoint_due()) write_progress(*options_.checkpoint);
  }
  return finish(0);
}

// The initial state, drawn and, when the program writes the text, emitted.
void Run::begin() {
  energy_.start(bodies_);
  initial_energy_ = total_energy(bodies_);
  progress_.energy = energy_.state();
  if (schedule_.library_text()) return;
  if (schedule_.emitting()) emit(bodies_);
  draw(bodies_, 0);
}

void Run::run_chunk(const Chunk& chunk) {
  const bool finite_so_far = progress_.non_finite_step == 0;
  const std::vector<Body> start = finite_so_far ? bodies_ : std::vector<Body>();
  if (schedule_.library_text())
    library_text_chunk(chunk);
  else
    program_text_chunk(chunk);
  if (finite_so_far && !finite_state(bodies_)) {
    progress_.non_finite_step = first_non_finite_step(start, chunk.from, chunk.to, options_.dt);
  }
  if (chunk.to < options_.steps) energy_.sample(bodies_, started_);
  progress_.energy = energy_.state();
}

// The points the call stored after 1 + j*stride steps of it, then its end.
void Run::program_text_chunk(const Chunk& chunk) {
  call(bodies_, chunk.call);
  for (std::int64_t j = 1; j < chunk.call.stored; ++j)
    draw(positions_.data() + 3 * n_ * j, chunk.from + j * chunk.call.interval + 1);
  if (chunk.snapshot > 0) emit(bodies_);
  draw(bodies_, chunk.to);
}

void Run::library_text_chunk(const Chunk& chunk) {
  if (chunk.lead >= 0) lead_snapshot(chunk);
  if (chunk.call.store) positions_.resize(static_cast<std::size_t>(3 * n_ * chunk.call.stored));
  scratch_->enter();
  const int error = make_call(bodies_, options_.dt, chunk.call, positions_.data());
  scratch_->leave();
  if (error == ENOMEM) fail_without_memory(error);
  if (error != 0) {
    fail(record_ ? "cannot write " + printable(record_->path()) : "cannot write the snapshots",
         error);
  }
  copy_library_text(chunk.skips_initial);
  const std::int64_t made = snapshot_count(chunk.call.steps, chunk.call.interval);
  progress_.snapshots += made - (chunk.skips_initial ? 1 : 0);
  for (std::int64_t j = chunk.skips_initial ? 1 : 0; j < chunk.call.stored; ++j) {
    if (schedule_.draws_snapshot(chunk.base + j)) {
      draw(positions_.data() + 3 * n_ * j, snapshot_step(chunk.base + j, chunk.call.interval));
    }
  }
}

// The run's snapshot one step into the call, which the call's own text
// lacks: a copy of the starting state takes that step alone.
void Run::lead_snapshot(const Chunk& chunk) {
  std::vector<Body> lead = bodies_;
  call(lead, quiet_call(1));
  emit(lead);
  if (schedule_.draws_snapshot(chunk.lead)) draw(lead, chunk.from + 1);
}

void Run::call(std::vector<Body>& state, const Call& call) {
  if (call.store) positions_.resize(static_cast<std::size_t>(3 * n_ * call.stored));
  const int error = make_call(state, options_.dt, call, positions_.data());
  if (error == ENOMEM) fail_without_memory(error);
  if (error != 0) fail("the run failed", error);
}

#ifndef _WIN32
// Where the text after the first `lines` lines of `fd` begins.
std::int64_t offset_after_lines(int fd, std::int64_t lines) {
  std::vector<char> buffer(1 << 16);
  std::int64_t offset = 0;
  while (lines > 0) {
    const auto got = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got < 0) fail("cannot read the library's snapshots", errno);
    if (got == 0) fail("the library's snapshots end early", EIO);
    const char* end = buffer.data() + got;
    const char* at = buffer.data();
    for (; lines > 0 && (at = std::find(at, end, '\n')) != end; ++at)
      --lines;
    offset += lines > 0 ? got : at - buffer.data();
  }
  return offset;
}

// The call's text, less its initial state when that is none of the run's
// snapshots, goes where the run's text goes.
void Run::copy_library_text(bool skip_initial) {
  const int fd = open(scratch_->file().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot read the library's snapshots", errno);
  const std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
    ::close(*f);
    delete f;
  });
  struct stat status {};
  if (fstat(fd, &status) != 0) fail("cannot read the library's snapshots", errno);
  const std::int64_t from = skip_initial ? offset_after_lines(fd, n_) : 0;
  const std::int64_t length = static_cast<std::int64_t>(status.st_size) - from;
  if (options_.print) append_standard_output(fd, from, length);
  if (record_) record_->append_file(fd, from, length);
}

#else
// Windows runs write their text themselves (kLibraryText).
void Run::copy_library_text(bool) {
  fail("cannot read the library's snapshots", ENOSYS);
}
#endif

void Run::emit(const std::vector<Body>& state) {
  if (options_.print) {
    errno = 0;
    printBodies(state.data(), static_cast<std::int32_t>(n_));
    check_standard_output(errno);
  }
  if (record_) {
    errno = 0;
    recordBodies(record_->stream(), state.data(), static_cast<std::int32_t>(n_));
    record_->check(errno);
  }
  keep_state(state);
  ++progress_.snapshots;
}

void Run::keep_state(const std::vector<Body>& state) {
  const std::int64_t index = progress_.snapshots;
  const std::int64_t step = snapshot_step(index, schedule_.shape().interval);
  if (trajectory_) trajectory_->write(step, state);
  if (!viewer_) return;
  double error = std::nan("");
  if (viewer_->wants_energy(index)) {
    error = (total_energy(state) - initial_energy_) / std::fabs(initial_energy_);
  }
  viewer_->add(index, step, state, error);
}

// Whole beside their targets, with the snapshots taken so far.
void Run::complete_state_outputs() {
  if (trajectory_) trajectory_->complete(bodies_, fingerprint(bodies_), progress_.done);
  if (viewer_) {
    const std::string page = viewer_->text();
    html_->write(page.data(), page.size());
    html_->complete();
  }
}

void Run::draw(const double* xyz, std::int64_t step) {
  if (!options_.svg) return;
  tracks_.add(xyz);
  progress_.picture_step = step;
}

void Run::draw(const std::vector<Body>& state, std::int64_t step) {
  if (!options_.svg) return;
  tracks_.add(state);
  progress_.picture_step = step;
}

bool Run::checkpoint_due() const {
  return options_.checkpoint && progress_.done < options_.steps &&
         since(last_checkpoint_) >= options_.checkpoint_every;
}

// The outputs' paths are made absolute, so that the run can be finished from
// any directory.
void Run::write_progress(const std::string& path) {
  Checkpoint c{options_, system_, progress_, {}};
  for (auto* path_of : {&c.options.record, &c.options.save, &c.options.svg}) {
    if (*path_of) *path_of = absolute(**path_of);
  }
  c.options.checkpoint.reset();
  if (record_ && !record_placed_) {
    c.progress.record_bytes = record_->flush();
    c.progress.record_temporary = record_->temporary();
  }
  for (const auto* output : {&saved_, &svg_}) {
    if (*output && !(*output)->temporary().empty()) {
      c.progress.leftovers.push_back((*output)->temporary());
    }
  }
  if (scratch_) c.progress.leftovers.push_back(scratch_->path());
  // Removed just after this checkpoint is written; a kill in between leaves
  // it for the next run to remove.
  if (record_ && !record_->earlier().empty()) c.progress.leftovers.push_back(record_->earlier());
  if (options_.svg) c.tracks = tracks_.tracks();
  write_checkpoint(path, c);
  if (record_) record_->forget_earlier();
  last_checkpoint_ = Clock::now();
}

// A run that is complete, or that a signal stopped, writes every output for
// the work done; a stopped one also the checkpoint that finishes it.
int Run::finish(int signal) {
  Findings findings;
  findings.title = system_.title;
  findings.bodies = static_cast<std::int32_t>(n_);
  findings.steps = progress_.done;
  findings.snapshots = progress_.snapshots;
  findings.seconds = since(started_);
  findings.non_finite_step = progress_.non_finite_step;
  if (record_) {
    progress_.record_bytes = record_->flush();
    record_->complete();
  }
  if (svg_) write_picture();
  if (saved_) save_final_state();
  complete_state_outputs();
  // Every output is whole before any replaces an older file: one that cannot
  // be written costs none of the others.
  for (auto* output : {&record_, &svg_, &saved_, &html_}) {
    if (*output) (*output)->place();
  }
  if (trajectory_) trajectory_->place();
  record_placed_ = true;
  if (record_) record_->forget_earlier();
  findings.saved = saved_.has_value();
  if (signal != 0) report_stop(signal);
  if (signal == 0 && options_.checkpoint) std::remove(options_.checkpoint->c_str());
  energy_.restore(progress_.energy);
  findings.drift = energy_.finish(bodies_);
  findings.worst_drift = energy_.worst();
  findings.drift_defined = energy_.defined();
  findings.undefined_drift = energy_.undefined_reason();
  if (options_.fingerprint) findings.fingerprint = fingerprint(bodies_);
  warn_non_finite(options_, findings);
  print_summary(options_, findings);
  finish_standard_output();
  if (signal != 0) return stopped_status(signal);
  return progress_.non_finite_step != 0 ? 3 : 0;
}

void Run::write_picture() {
  std::vector<Track> tracks = tracks_.tracks();
  if (progress_.picture_step != progress_.done) {
    for (std::size_t i = 0; i < tracks.size(); ++i) {
      tracks[i].x.push_back(bodies_[i].x);
      tracks[i].y.push_back(bodies_[i].y);
    }
  }
  Findings drawn;
  drawn.title = system_.title;
  drawn.steps = progress_.done;
  EnergyDrift energy;
  energy.restore(progress_.energy);
  drawn.drift = energy.finish(bodies_);
  drawn.drift_defined = energy.defined();
  const std::string picture = orbits_picture(options_, drawn, tracks);
  svg_->write(picture.data(), picture.size());
  svg_->complete();
}

void Run::save_final_state() {
  // A body file holds finite numbers only: this one could not be read back.
  if (!finite_state(bodies_)) {
    std::fprintf(stderr, "stellix: the final state is not finite: not saved to %s\n",
                 printable(*options_.save).c_str());
    saved_.reset();
    return;
  }
  const std::string text = body_file_text(bodies_, system_.names, *unit_preset(options_.units));
  saved_->write(text.data(), text.size());
  saved_->complete();
}

void Run::report_stop(int signal) {
  const std::string path =
      options_.checkpoint
          ? *options_.checkpoint
          : "stellix-" + std::to_string(static_cast<long long>(getpid())) + ".checkpoint";
  std::fprintf(stderr, "stellix: stopped by %s after %lld of %d steps\n", signal_name(signal),
               static_cast<long long>(progress_.done), options_.steps);
  try {
    write_progress(path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stellix: the run cannot be continued: %s\n", e.what());
    return;
  }
  std::fprintf(stderr, "  continue it with: stellix --resume %s\n", shell_word(path).c_str());
  if (options_.keeps_states()) {
    std::fprintf(stderr,
                 "  (the trajectory and the viewer page hold the snapshots up to here; "
                 "the continued run does not write them)\n");
  }
}

void Run::fail_without_memory(int error) const {
  fail("no memory for the run of " + count(n_, "body", "bodies") + "; nothing was computed", error);
}

}  // namespace

int run(const Options& options) {
  // Before any temporary file exists: a signal must not leave one behind.
  catch_stop_signals();
  std::optional<Checkpoint> resumed;
  if (options.resume) resumed = read_checkpoint(*options.resume);
  return Run(options, std::move(resumed)).execute();
}

}  // namespace stellix::program
