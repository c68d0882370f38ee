// stellix demo host and command-line tool: integrates a system of bodies (the
// Sun and the eight planets for one year unless a body file is given), shows
// its progress, reports the energy drift and draws the orbits as an SVG file.
#include <stellix/stellix.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "orbits_svg.h"
#include "systems.h"

namespace {

constexpr const char* kUsage =
    "usage: stellix_demo [options] [BODY_FILE]\n"
    "\n"
    "Integrates a system of point masses with stellix and draws their orbits.\n"
    "Without BODY_FILE: the Sun and the eight planets for one year.\n"
    "\n"
    "BODY_FILE: one body per line, \"x y z vx vy vz mass [name]\" in metres, m/s\n"
    "and 10^24 kg (the run file's line format); '#' starts a comment.\n"
    "\n"
    "options:\n"
    "  --dt SECONDS      time step (default 3600)\n"
    "  --steps N         number of steps, N >= 1 (default 8766, one year of hours)\n"
    "  --interval N      snapshot stride for --record and --print, N >= 1 (default 730)\n"
    "  --record          write the snapshots to output.csv in the current directory\n"
    "  --print           write the snapshots to standard output\n"
    "  --svg FILE        where to draw the orbits (default orbits.svg)\n"
    "  --help            show this text\n";

struct Options {
  double dt = 3600.0;
  std::int32_t steps = 8766;
  std::int32_t interval = 730;
  bool record = false;
  bool print = false;
  std::string svg = "orbits.svg";
  std::string body_file;
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
                     std::string(text) + "'");
  }
  return static_cast<std::int32_t>(value);
}

double time_step(std::string_view text) {
  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value) ||
      value == 0) {
    throw UsageError("--dt needs a finite, nonzero number of seconds, not '" + std::string(text) +
                     "'");
  }
  return value;
}

// Returns false when --help was asked for.
bool parse(int argc, char** argv, Options& options) {
  for (int k = 1; k < argc; ++k) {
    const std::string_view arg = argv[k];
    auto value = [&]() -> std::string_view {
      if (k + 1 >= argc) throw UsageError(std::string(arg) + " needs a value");
      return argv[++k];
    };
    if (arg == "--help" || arg == "-h") return false;
    if (arg == "--dt")
      options.dt = time_step(value());
    else if (arg == "--steps")
      options.steps = positive_count(arg, value());
    else if (arg == "--interval")
      options.interval = positive_count(arg, value());
    else if (arg == "--record")
      options.record = true;
    else if (arg == "--print")
      options.print = true;
    else if (arg == "--svg")
      options.svg = value();
    else if (arg.size() > 1 && arg[0] == '-')
      throw UsageError("unknown option " + std::string(arg));
    else if (!options.body_file.empty())
      throw UsageError("more than one body file given");
    else
      options.body_file = arg;
  }
  return true;
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

int run(const Options& options) {
  demo::System system =
      options.body_file.empty() ? demo::solar_system() : demo::read_body_file(options.body_file);
  std::vector<Body>& bodies = system.bodies;
  const auto n = static_cast<std::int32_t>(bodies.size());
  const std::int64_t steps = options.steps, interval = options.interval;

  // The library emits snapshot 0 and then the states after k*interval + 1
  // steps. The demo runs in chunks (for the progress bar and the picture),
  // each chunk a simulate call with no channel on, and emits those same
  // states itself through printBodies and recordBodies, so its text is what
  // one simulate call over the whole run would write.
  std::FILE* run_file = nullptr;
  if (options.record) {
    run_file = std::fopen("output.csv", "w");
    if (run_file == nullptr) throw std::runtime_error("cannot create output.csv");
  }
  std::int64_t snapshots = 0;
  auto emit = [&] {
    if (options.print) printBodies(bodies.data(), n);
    if (run_file != nullptr) recordBodies(run_file, bodies.data(), n);
    ++snapshots;
  };

  std::vector<demo::Track> tracks(bodies.size());
  for (std::size_t i = 0; i < bodies.size(); ++i)
    tracks[i] = {system.names[i], bodies[i].mass, {}, {}};
  auto sample = [&] {
    for (std::size_t i = 0; i < bodies.size(); ++i) {
      tracks[i].x.push_back(bodies[i].x);
      tracks[i].y.push_back(bodies[i].y);
    }
  };

  const bool bar_shown = isatty(fileno(stderr)) && !(options.print && isatty(fileno(stdout)));
  ProgressBar bar(bar_shown);
  const std::int64_t chunk = std::max<std::int64_t>(1, (steps + 719) / 720);
  const double energy_before = demo::total_energy(bodies);
  double worst_drift = 0.0;
  const auto started = std::chrono::steady_clock::now();

  emit();
  sample();
  std::int64_t done = 0, next_emit = interval + 1;
  while (done < steps) {
    std::int64_t target = std::min((done / chunk + 1) * chunk, steps);
    if (next_emit > done && next_emit < target) target = next_emit;
    simulate(bodies.data(), n, options.dt, static_cast<std::int32_t>(target - done), 1, 0, 0, 0,
             nullptr);
    done = target;
    if (done == next_emit) {
      emit();
      next_emit += interval;
    }
    if (done % chunk == 0 || done == steps) {
      sample();
      const double drift = (demo::total_energy(bodies) - energy_before) / std::fabs(energy_before);
      if (!(std::fabs(drift) <= std::fabs(worst_drift))) worst_drift = drift;
    }
    bar.update(done, steps, options.dt);
  }
  if (run_file != nullptr && std::fclose(run_file) != 0) {
    throw std::runtime_error("cannot write output.csv");
  }
  std::fflush(stdout);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const double drift = (demo::total_energy(bodies) - energy_before) / std::fabs(energy_before);

  char caption[512];
  std::snprintf(caption, sizeof caption,
                "%lld steps of %g s (%s) by velocity Verlet, stellix %d.%d.%d\n"
                "Relative energy drift %.2e",
                static_cast<long long>(steps), options.dt, duration(steps * options.dt).c_str(),
                STELLIX_VERSION_MAJOR, STELLIX_VERSION_MINOR, STELLIX_VERSION_PATCH, drift);
  const std::string title = system.title + ", " + duration(steps * options.dt);
  if (!demo::write_orbits_svg(options.svg, tracks, title, caption)) {
    throw std::runtime_error("cannot write " + options.svg);
  }

  // The summary goes to standard error when standard output carries snapshots.
  std::FILE* out = options.print ? stderr : stdout;
  std::fprintf(out, "stellix demo: %s\n", system.title.c_str());
  std::fprintf(out, "  %d bodies, %lld steps of %g s = %s, computed in %.1f ms\n", n,
               static_cast<long long>(steps), options.dt, duration(steps * options.dt).c_str(),
               seconds * 1e3);
  std::fprintf(out, "  relative energy drift: %.3e at the end, largest %.3e\n", drift, worst_drift);
  if (options.record) {
    std::fprintf(out, "  output.csv: %lld snapshots of %d lines (every %lld steps)\n",
                 static_cast<long long>(snapshots), n, static_cast<long long>(interval));
  }
  std::error_code ignored;
  std::fprintf(out, "  orbits drawn in %s\n",
               std::filesystem::absolute(options.svg, ignored).string().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    if (!parse(argc, argv, options)) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "stellix_demo: %s\n(try --help)\n", e.what());
    return 2;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stellix_demo: %s\n", e.what());
    return 1;
  }
}
