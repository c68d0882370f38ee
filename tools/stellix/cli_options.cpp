#include "cli_options.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "systems.h"

namespace stellix::program {

const char* const kUsage =
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

namespace {

std::int32_t positive_count(std::string_view option, std::string_view text) {
  std::int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value < 1 ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw UsageError(std::string(option) + " needs a whole number from 1 to 2147483647, not '" +
                     printable(text) + "'");
  }
  return static_cast<std::int32_t>(value);
}

double time_step(std::string_view text) {
  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(value) ||
      value == 0) {
    throw UsageError("--dt needs a finite, nonzero number of seconds, not '" + printable(text) +
                     "'");
  }
  return value;
}

// An empty name would otherwise mean "no body file", or fail only after the
// run.
std::string file_name(std::string_view what, std::string_view text) {
  if (text.empty()) throw UsageError(std::string(what) + " needs a file name, not an empty one");
  return std::string(text);
}

}  // namespace

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
    const std::string option = printable(arg);
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

}  // namespace stellix::program
