// stellix, the command-line program: integrates a system of bodies (the Sun
// and the eight planets for one year unless a body file is given), shows its
// progress, reports the energy drift, draws the orbits as an SVG file and can
// record the snapshots and save the final state for a later run to continue.
#include <stellix/stellix.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "orbits_svg.h"
#include "systems.h"

namespace {

constexpr const char* kUsage =
    "usage: stellix [options] [BODY_FILE]\n"
    "\n"
    "Integrates a system of point masses with stellix and draws their orbits.\n"
    "Without BODY_FILE: the Sun and the eight planets for one year.\n"
    "\n"
    "BODY_FILE: one body per line, \"x y z vx vy vz mass [name]\" in metres, m/s\n"
    "and 10^24 kg (the run file's line format); '#' starts a comment.\n"
    "\n"
    "options (those taking a value accept --option=VALUE too):\n"
    "  --dt SECONDS      time step (default 3600)\n"
    "  --steps N         number of steps, N >= 1 (default 8766, one year of hours)\n"
    "  --interval N      snapshot stride for --record and --print, N >= 1\n"
    "                    (default: steps / 1000 rounded up, at most 1001 snapshots)\n"
    "  --record[=FILE]   write the snapshots to FILE (default output.csv)\n"
    "  --print           write the snapshots to standard output\n"
    "                    (snapshots closer than 64 steps: the run is one call,\n"
    "                    without a progress bar, its energy drift measured at\n"
    "                    the end only)\n"
    "  --save FILE       write the final state as a body file that continues the\n"
    "                    run to the bit\n"
    "  --com             move to the centre-of-mass frame before the run\n"
    "  --svg FILE        where to draw the orbits (default orbits.svg)\n"
    "  --version         show the library version\n"
    "  --help            show this text\n";

struct Options {
  double dt = 3600.0;
  std::int32_t steps = 8766;
  std::optional<std::int32_t> interval;
  std::optional<std::string> record;  // the run file
  bool print = false;
  bool com = false;
  std::optional<std::string> save;
  std::string svg = "orbits.svg";
  std::optional<std::string> body_file;

  // About a thousand snapshots at most unless told otherwise.
  std::int64_t stride() const { return interval ? *interval : (steps + 999) / 1000; }
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::int32_t positive_count(std::string_view option, std::string_view text) {
  std::int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value < 1 ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw UsageError(std::string(option) + " needs a whole number from 1 to 2147483647, not '" +
                     demo::printable(text) + "'");
  }
  return static_cast<std::int32_t>(value);
}

double time_step(std::string_view text) {
  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value) ||
      value == 0) {
    throw UsageError("--dt needs a finite, nonzero number of seconds, not '" +
                     demo::printable(text) + "'");
  }
  return value;
}

// An empty name would otherwise mean "no body file", or fail only after the
// run.
std::string file_name(std::string_view what, std::string_view text) {
  if (text.empty()) throw UsageError(std::string(what) + " needs a file name, not an empty one");
  return std::string(text);
}

enum class Request { run, help, version };

Request parse(int argc, char** argv, Options& options) {
  Request request = Request::run;
  for (int k = 1; k < argc; ++k) {
    std::string_view arg = argv[k];
    // "--option=value" is "--option value"; only options name themselves so.
    std::optional<std::string_view> attached;
    if (const auto equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      attached = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    }
    const std::string option = demo::printable(arg);
    auto value = [&]() -> std::string_view {
      if (attached) return *attached;
      if (k + 1 >= argc) throw UsageError(option + " needs a value");
      return argv[++k];
    };
    auto flag = [&] {
      if (attached) throw UsageError(option + " takes no value");
      return true;
    };
    if (arg == "--help" || arg == "-h")
      flag(), request = Request::help;
    else if (arg == "--version")
      flag(), request = request == Request::help ? request : Request::version;
    else if (arg == "--dt")
      options.dt = time_step(value());
    else if (arg == "--steps")
      options.steps = positive_count(arg, value());
    else if (arg == "--interval")
      options.interval = positive_count(arg, value());
    else if (arg == "--record")
      // The file only as --record=FILE: "--record FILE" would read as a run
      // file followed by the body file.
      options.record = attached ? file_name(arg, *attached) : "output.csv";
    else if (arg == "--print")
      options.print = flag();
    else if (arg == "--com")
      options.com = flag();
    else if (arg == "--save")
      options.save = file_name(arg, value());
    else if (arg == "--svg")
      options.svg = file_name(arg, value());
    else if (arg.size() > 1 && arg[0] == '-')
      throw UsageError("unknown option " + option);
    else if (options.body_file)
      throw UsageError("more than one body file given");
    else
      options.body_file = file_name("the body file", arg);
  }
  return request;
}

// "1 body", "2 bodies".
std::string count(std::int64_t number, const char* one, const char* many) {
  return std::to_string(number) + " " + (number == 1 ? one : many);
}

class ProgressBar {
 public:
  explicit ProgressBar(bool shown) : shown_(shown) {}
  void update(std::int64_t done, std::int64_t total, double seconds_per_step) {
    if (!shown_) return;
    const int width = 36;
    const int filled = static_cast<int>(width * done / total);
    if (filled == last_ && done != total) return;
    last_ = filled;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, '.');
    std::fprintf(stderr, "\r  [%s] %3d%%  %.1f of %.1f days", bar.c_str(),
                 static_cast<int>(100 * done / total), done * seconds_per_step / 86400.0,
                 total * seconds_per_step / 86400.0);
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  bool shown_;
  int last_ = -1;
};

std::string duration(double seconds) {
  char text[64];
  const double days = std::fabs(seconds) / 86400.0;
  if (days >= 730)
    std::snprintf(text, sizeof text, "%.2f years", days / 365.25);
  else if (days >= 2)
    std::snprintf(text, sizeof text, "%.1f days", days);
  else
    std::snprintf(text, sizeof text, "%.0f s", std::fabs(seconds));
  return text;
}

std::string reason(int error) {
  return error != 0 ? std::strerror(error) : "unknown error";
}

[[noreturn]] void fail(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + reason(error));
}

// Empties the file behind `stream` when it is a regular file; a device or a
// pipe has nothing to empty.
bool empty_regular_file(std::FILE* stream) {
#ifdef _WIN32
  struct _stat64 status;
  if (_fstat64(_fileno(stream), &status) != 0) return false;
  return (status.st_mode & _S_IFMT) != _S_IFREG || _chsize_s(_fileno(stream), 0) == 0;
#else
  struct stat status;
  if (fstat(fileno(stream), &status) != 0) return false;
  return !S_ISREG(status.st_mode) || ftruncate(fileno(stream), 0) == 0;
#endif
}

// An output file, opened before the run so that a path that cannot be written
// costs neither the run nor an older file: opening for appending creates the
// file but keeps what it holds until begin(), once the run has results. A file
// created here and never begun is removed again when the program fails.
class OutputFile {
 public:
  explicit OutputFile(std::string path) : path_(std::move(path)), name_(demo::printable(path_)) {
    std::error_code ignored;
    created_ = !std::filesystem::exists(std::filesystem::symlink_status(path_, ignored));
    stream_ = std::fopen(path_.c_str(), "a");
    if (stream_ == nullptr) fail("cannot create " + name_, errno);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() {
    if (stream_ != nullptr) std::fclose(stream_);
    if (created_ && !begun_) std::remove(path_.c_str());
  }

  std::FILE* begin() {
    begun_ = true;
    if (!empty_regular_file(stream_)) fail("cannot empty " + name_, errno);
    return stream_;
  }
  // The library wrote the file (and a rename may have replaced the one open
  // here): it is the program's to keep.
  void adopt() {
    begun_ = true;
    std::fclose(stream_);
    stream_ = nullptr;
  }
  // `error` is errno after the writes, cleared before them.
  void check(int error) const {
    if (std::ferror(stream_)) fail("cannot write " + name_, error);
  }
  void close() {
    errno = 0;
    const bool failed = std::fflush(stream_) != 0 || std::ferror(stream_);
    const int error = errno;
    const int closed = std::fclose(stream_);
    stream_ = nullptr;
    if (failed || closed != 0) fail("cannot write " + name_, failed ? error : errno);
  }

 private:
  std::string path_, name_;
  std::FILE* stream_ = nullptr;
  bool created_ = false, begun_ = false;
};

#ifndef _WIN32
// The library writes its run file only as "output.csv" in the current
// directory. A run made in one call writes it in a private directory next to
// its destination, entered for the call alone, and the complete file is
// renamed onto the destination: a failed run leaves what was there before.
// A destination that is a device or a FIFO has nothing to keep: the file in
// the private directory is then a link to it, written through.
class RunFileDirectory {
 public:
  // No directory can be made there: the caller writes the file itself.
  static std::unique_ptr<RunFileDirectory> make(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    // The destination exists (opened before the run). A link is followed,
    // as fopen follows it: its target is what gets replaced.
    const fs::path target = fs::canonical(path, error);
    if (error) return nullptr;
    struct stat status;
    if (stat(target.c_str(), &status) != 0) return nullptr;
    const bool through = !S_ISREG(status.st_mode);
    const fs::path beside = through ? fs::absolute(path, error) : target;
    if (error) return nullptr;
    std::string pattern = (beside.parent_path() / ".stellix-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return nullptr;
    auto made = std::make_unique<RunFileDirectory>(pattern, target.string(), demo::printable(path));
    if (through && symlink(target.c_str(), made->file_.c_str()) != 0) return nullptr;
    made->through_ = through;
    return made;
  }
  RunFileDirectory(std::string directory, std::string target, std::string name)
      : directory_(std::move(directory)),
        file_(directory_ + "/output.csv"),
        target_(std::move(target)),
        name_(std::move(name)) {}
  RunFileDirectory(const RunFileDirectory&) = delete;
  RunFileDirectory& operator=(const RunFileDirectory&) = delete;
  ~RunFileDirectory() {
    if (home_ >= 0) ::close(home_);
    unlink(file_.c_str());
    rmdir(directory_.c_str());
  }

  // Every path the program uses was opened or made absolute before the run;
  // nothing but the library's run file is opened in between.
  void enter() {
    home_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (home_ < 0) fail("cannot open the working directory", errno);
    if (chdir(directory_.c_str()) != 0) fail("cannot write " + name_, errno);
  }
  void leave() {
    if (fchdir(home_) != 0) fail("cannot return to the working directory", errno);
    ::close(home_);
    home_ = -1;
  }
  void commit() const {
    if (!through_ && std::rename(file_.c_str(), target_.c_str()) != 0) {
      fail("cannot write " + name_, errno);
    }
  }

 private:
  std::string directory_, file_, target_, name_;
  bool through_ = false;
  int home_ = -1;
};
constexpr bool kOneCallRuns = true;
#else
// A DLL may carry a C runtime of its own, whose standard output and errors
// the program cannot see: Windows runs stay in chunks.
struct RunFileDirectory {
  static std::unique_ptr<RunFileDirectory> make(const std::string&) { return nullptr; }
  void enter() {}
  void leave() {}
  void commit() const {}
};
constexpr bool kOneCallRuns = false;
#endif

// Standard output carries the snapshots or the summary: losing any of it is a
// failure.
void finish_standard_output() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    fail("cannot write standard output", errno);
  }
}

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

std::string drift_text(double drift, int digits) {
  if (std::isnan(drift)) return "nan";  // printf may write "-nan"
  char text[32];
  std::snprintf(text, sizeof text, "%.*e", digits, drift);
  return text;
}

// How the run is cut into simulate calls. Each call evaluates the
// accelerations of its starting state once more than one long call would, so
// calls last long enough for that to be small, and short enough for the
// progress bar to move.
constexpr double kChunkSeconds = 0.2;
// The energy is O(n^2) too: sampled at the ends of calls, at most this often
// and at most for this share of the run's time.
constexpr int kEnergySamples = 100;
constexpr double kEnergyShare = 0.02;
// Points of each track in the picture: enough for a smooth orbit, few enough
// for the file to stay small with many bodies.
constexpr std::int64_t kFewestSamples = 50;
std::int64_t picture_samples(std::int64_t n) {
  return std::clamp<std::int64_t>(1'000'000 / n, kFewestSamples, 720);
}
// Text closer than this many steps would end a call at nearly every snapshot,
// each call evaluating the forces of its starting state once more (over 1.5%
// of the run): such a run is one call with the library's own text channels,
// its positions stored for the picture within this much memory. It shows no
// progress bar and samples the energy at its start and end only.
constexpr std::int64_t kOneCallStride = 64;
constexpr double kOneCallStoreBytes = 256.0 * 1024 * 1024;

int run(const Options& options) {
  demo::System system =
      options.body_file ? demo::read_body_file(*options.body_file) : demo::solar_system();
  std::vector<Body>& bodies = system.bodies;
  if (options.com) {
    demo::move_to_centre_of_mass(bodies);
    system.title += " (centre-of-mass frame)";
  }
  const auto n = static_cast<std::int32_t>(bodies.size());
  const std::int64_t steps = options.steps, interval = options.stride();
  using Clock = std::chrono::steady_clock;
  auto since = [](Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
  };

  // Every output is opened before any work, so that a path that cannot be
  // written is known before the run rather than after it.
  OutputFile svg(options.svg);
  std::optional<OutputFile> csv, saved;
  if (options.record) csv.emplace(*options.record);
  if (options.save) saved.emplace(*options.save);

  // The library emits snapshot 0 and then the states after k*interval + 1
  // steps. The program runs in chunks (for the progress bar), each a simulate
  // call with no text channel on, and emits those same states itself through
  // printBodies and recordBodies, so its text is what one simulate call over
  // the whole run would write.
  std::FILE* run_file = nullptr;
  std::int64_t snapshots = 0, non_finite_snapshot = -1;
  const bool emitting = options.print || options.record;
  auto emit = [&](const std::vector<Body>& state) {
    if (options.print) {
      errno = 0;
      printBodies(state.data(), n);
      if (std::ferror(stdout)) fail("cannot write standard output", errno);
    }
    if (run_file != nullptr) {
      errno = 0;
      recordBodies(run_file, state.data(), n);
      csv->check(errno);
    }
    if (non_finite_snapshot < 0 && !finite_state(state)) non_finite_snapshot = snapshots;
    ++snapshots;
  };

  std::vector<demo::Track> tracks(bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i)
    tracks[i] = {demo::body_label(system, i), bodies[i].mass, {}, {}};
  auto sample = [&](const std::vector<Body>& state) {
    for (std::size_t i = 0; i < tracks.size(); ++i) {
      tracks[i].x.push_back(state[i].x);
      tracks[i].y.push_back(state[i].y);
    }
  };
  auto sample_positions = [&](const double* xyz) {
    for (std::size_t i = 0; i < tracks.size(); ++i) {
      tracks[i].x.push_back(xyz[3 * i]);
      tracks[i].y.push_back(xyz[3 * i + 1]);
    }
  };
  // The picture's points inside a chunk come from the store channel, which
  // costs no extra call: positions after j*sample_stride + 1 steps of it.
  const std::int64_t sample_stride = std::max<std::int64_t>(1, steps / picture_samples(n));
  std::vector<double> positions;

  // The run as one call draws the snapshots, enough points for the picture
  // when they are at least as close as its samples or at least its fewest.
  // Beyond the memory for them it stays in chunks.
  const std::int64_t snapshot_count = 1 + (steps - 1) / interval;
  std::unique_ptr<RunFileDirectory> run_directory;
  bool one_call =
      kOneCallRuns && emitting && interval < kOneCallStride &&
      (interval <= sample_stride || snapshot_count >= kFewestSamples) &&
      3.0 * n * sizeof(double) * static_cast<double>(snapshot_count) <= kOneCallStoreBytes;
  if (one_call && csv) {
    run_directory = RunFileDirectory::make(*options.record);
    one_call = run_directory != nullptr;
  }

  const bool bar_shown =
      !one_call && isatty(fileno(stderr)) && !(options.print && isatty(fileno(stdout)));
  ProgressBar bar(bar_shown);
  // The initial state is emitted once the first chunk has shown that the run
  // can happen: a run without scratch memory must not replace older output.
  const std::vector<Body> initial = bodies;
  std::vector<Body> chunk_start;
  double energy_before = 0.0, worst_drift = 0.0, energy_seconds = 0.0;
  int energy_samples = 0;
  bool drift_defined = false;
  std::int64_t non_finite_step = 0;
  const auto started = Clock::now();
  auto energy = [&](const std::vector<Body>& state) {
    const auto begun = Clock::now();
    const double e = demo::total_energy(state);
    energy_seconds += since(begun);
    ++energy_samples;
    return e;
  };

  // A first guess of one evaluation's time, refined by every chunk.
  double evaluation_seconds = 1e-9 * n * static_cast<double>(n) + 1e-7;
  std::int64_t done = 0, next_emit = emitting ? interval + 1 : steps + 1;
  if (one_call) {
    positions.resize(static_cast<std::size_t>(3 * n * snapshot_count));
    // The library writes standard output in blocks of a few KiB. Buffered
    // here in larger ones, what fails to be written is still buffered at the
    // end, and writing it again gives the reason the library does not keep.
    static char output_buffer[1 << 16];
    if (options.print && !isatty(fileno(stdout))) {
      std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    }
    errno = 0;
    if (run_directory) run_directory->enter();
    simulate(bodies.data(), n, options.dt, static_cast<std::int32_t>(steps),
             static_cast<std::int32_t>(interval), csv ? 1 : 0, 1, options.print ? 1 : 0,
             positions.data());
    const int error = errno;
    if (run_directory) run_directory->leave();
    if (error == ENOMEM) {
      fail("no memory for the run of " + count(n, "body", "bodies") + "; nothing was computed",
           error);
    }
    if (options.print && std::ferror(stdout)) {
      std::clearerr(stdout);
      errno = 0;
      std::fflush(stdout);
      fail("cannot write standard output", errno);
    }
    if (error != 0) fail("cannot write " + demo::printable(*options.record), error);
    if (run_directory) {
      run_directory->commit();
      csv->adopt();
    }
    snapshots = snapshot_count;
    // The picture takes no more points than a run without text would.
    const std::int64_t every = std::max<std::int64_t>(1, sample_stride / interval);
    std::int64_t last = 0;
    for (std::int64_t k = 0; k < snapshot_count; k += every) {
      sample_positions(positions.data() + 3 * n * k);
      last = k;
    }
    if (last == 0 || last * interval + 1 != steps) sample(bodies);
    energy_before = energy(initial);
    drift_defined = n > 1 && energy_before != 0 && std::isfinite(energy_before);
    if (!finite_state(bodies)) {
      // Replayed snapshot by snapshot, as the text has them, and step by
      // step in the first stretch that ends not finite.
      std::vector<Body> state = initial;
      if (!finite_state(state)) non_finite_snapshot = 0;
      for (std::int64_t from = 0, k = 1; from < steps; ++k) {
        const std::int64_t to = std::min(k * interval + 1, steps);
        chunk_start = state;
        errno = 0;
        simulate(state.data(), n, options.dt, static_cast<std::int32_t>(to - from), 1, 0, 0, 0,
                 nullptr);
        if (errno != 0 || !finite_state(state)) {
          non_finite_step =
              errno != 0 ? to : first_non_finite_step(chunk_start, from, to, options.dt);
          if (non_finite_snapshot < 0 && to == k * interval + 1) non_finite_snapshot = k;
          break;
        }
        from = to;
      }
    }
    done = steps;
  }
  while (done < steps) {
    const double wanted = std::clamp(kChunkSeconds / evaluation_seconds - 1, 1.0, 2e9);
    std::int64_t target = std::min(done + static_cast<std::int64_t>(wanted), steps);
    if (next_emit > done && next_emit < target) target = next_emit;
    const std::int64_t length = target - done;
    const std::int64_t stored = 1 + (length - 1) / sample_stride;
    if (stored > 1) positions.resize(static_cast<std::size_t>(3 * n * stored));
    if (non_finite_step == 0) chunk_start = bodies;
    const auto chunk_began = Clock::now();
    errno = 0;
    simulate(bodies.data(), n, options.dt, static_cast<std::int32_t>(length),
             static_cast<std::int32_t>(sample_stride), 0, stored > 1 ? 1 : 0, 0,
             stored > 1 ? positions.data() : nullptr);
    if (errno == ENOMEM) {
      fail("no memory for the run of " + count(n, "body", "bodies") + "; nothing was computed",
           errno);
    }
    if (errno != 0) fail("the run failed", errno);
    evaluation_seconds = std::max(since(chunk_began) / static_cast<double>(length + 1), 1e-9);
    if (done == 0) {
      if (csv) run_file = csv->begin();
      emit(initial);
      sample(initial);
      energy_before = energy(initial);
      drift_defined = n > 1 && energy_before != 0 && std::isfinite(energy_before);
    }
    if (non_finite_step == 0 && !finite_state(bodies)) {
      non_finite_step = first_non_finite_step(chunk_start, done, target, options.dt);
    }
    for (std::int64_t j = 1; j < stored; ++j) {
      sample_positions(positions.data() + 3 * n * j);
    }
    done = target;
    if (done == next_emit) {
      emit(bodies);
      next_emit += interval;
    }
    sample(bodies);
    if (drift_defined && done < steps && energy_samples < kEnergySamples &&
        energy_seconds <= kEnergyShare * since(started)) {
      const double drift = (energy(bodies) - energy_before) / std::fabs(energy_before);
      if (!(std::fabs(drift) <= std::fabs(worst_drift))) worst_drift = drift;
    }
    bar.update(done, steps, options.dt);
  }
  if (csv && !one_call) csv->close();
  const double seconds = since(started);
  const double drift =
      drift_defined ? (demo::total_energy(bodies) - energy_before) / std::fabs(energy_before) : 0;
  if (drift_defined && !(std::fabs(drift) <= std::fabs(worst_drift))) worst_drift = drift;
  const char* undefined_drift = n == 1                          ? "one body"
                                : !std::isfinite(energy_before) ? "the initial energy is not finite"
                                                                : "the initial energy is zero";

  char caption[512];
  std::snprintf(caption, sizeof caption,
                "%lld steps of %g s (%s) by velocity Verlet, stellix %d.%d.%d\n"
                "Relative energy drift %s",
                static_cast<long long>(steps), options.dt, duration(steps * options.dt).c_str(),
                STELLIX_VERSION_MAJOR, STELLIX_VERSION_MINOR, STELLIX_VERSION_PATCH,
                drift_defined ? drift_text(drift, 2).c_str() : "n/a");
  const std::string title = system.title + ", " + duration(steps * options.dt);
  const std::string picture = demo::orbits_svg(tracks, title, caption);
  std::FILE* svg_file = svg.begin();
  std::fwrite(picture.data(), 1, picture.size(), svg_file);
  svg.close();

  if (non_finite_step != 0) {
    std::fprintf(stderr,
                 "stellix: the state is not finite (NaN or infinite) from step %lld of %lld "
                 "on: bodies coincide or a value overflowed\n",
                 static_cast<long long>(non_finite_step), static_cast<long long>(steps));
    if (non_finite_snapshot > 0 && emitting) {
      std::fprintf(stderr, "  the first snapshot to show it is snapshot %lld (after %lld steps)\n",
                   static_cast<long long>(non_finite_snapshot),
                   static_cast<long long>(non_finite_snapshot * interval + 1));
    }
  }
  if (saved) {
    // A body file holds finite numbers only: this one could not be read back.
    if (!finite_state(bodies)) {
      throw std::runtime_error("the final state is not finite: not saved to " +
                               demo::printable(*options.save));
    }
    const std::string text = demo::body_file_text(bodies, system.names);
    std::FILE* save_file = saved->begin();
    errno = 0;
    std::fwrite(text.data(), 1, text.size(), save_file);
    saved->check(errno);
    saved->close();
  }

  // The summary goes to standard error when standard output carries snapshots.
  std::FILE* out = options.print ? stderr : stdout;
  std::fprintf(out, "stellix: %s\n", demo::printable(system.title).c_str());
  std::fprintf(out, "  %s, %s of %g s = %s, computed in %.1f ms\n",
               count(n, "body", "bodies").c_str(), count(steps, "step", "steps").c_str(),
               options.dt, duration(steps * options.dt).c_str(), seconds * 1e3);
  if (drift_defined) {
    std::fprintf(out, "  relative energy drift: %s at the end, largest %s\n",
                 drift_text(drift, 3).c_str(), drift_text(worst_drift, 3).c_str());
  } else {
    std::fprintf(out, "  relative energy drift: n/a (%s)\n", undefined_drift);
  }
  if (options.record) {
    std::fprintf(out, "  %s: %s of %s (every %s)\n", demo::printable(*options.record).c_str(),
                 count(snapshots, "snapshot", "snapshots").c_str(),
                 count(n, "line", "lines").c_str(),
                 interval == 1 ? "step" : count(interval, "step", "steps").c_str());
  }
  if (options.save) {
    std::fprintf(out, "  final state saved in %s\n", demo::printable(*options.save).c_str());
  }
  std::error_code ignored;
  std::fprintf(out, "  orbits drawn in %s\n",
               demo::printable(std::filesystem::absolute(options.svg, ignored).string()).c_str());
  finish_standard_output();
  return 0;
}

// A closed standard stream would be handed to the first file the program opens,
// and the snapshots or the messages would land in that file. Standard input
// and error are parked on the null device; returns whether standard output
// is open.
bool guard_standard_streams() {
#ifdef _WIN32
  return true;  // a closed standard output shows as a write error at the end
#else
  bool output_open = true;
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      if (fd == STDOUT_FILENO) output_open = false;
      open("/dev/null", O_RDWR);  // takes the lowest free descriptor, this one
    }
  }
  return output_open;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const bool output_open = guard_standard_streams();
  Options options;
  Request request = Request::run;
  try {
    request = parse(argc, argv, options);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "stellix: %s\n(try --help)\n", e.what());
    return 2;
  }
  try {
    if (!output_open) throw std::runtime_error("standard output is closed");
    if (request == Request::run) return run(options);
    if (request == Request::help) {
      std::fputs(kUsage, stdout);
    } else {
      std::printf("stellix %d.%d.%d\n", STELLIX_VERSION_MAJOR, STELLIX_VERSION_MINOR,
                  STELLIX_VERSION_PATCH);
    }
    finish_standard_output();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stellix: %s\n", e.what());
    return 1;
  }
}
