#include "cli_options.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "elements.h"
#include "systems.h"

namespace stellix::program {

const char* const kUsage =
    "usage: stellix [options] [BODY_FILE]\n"
    "\n"
    "Integrates a system of point masses with stellix.\n"
    "Without BODY_FILE: the Sun and the eight planets for one year.\n"
    "\n"
    "BODY_FILE: one body per line, \"x y z vx vy vz mass [name]\" in metres, m/s\n"
    "and 10^24 kg (the run file's line format), or by its orbital elements,\n"
    "\"elements FRAME a e i Omega omega M mass [name]\"; a line \"units PRESET\"\n"
    "first sets the file's units; '#' starts a comment.\n"
    "\n"
    "options (those taking a value accept --option=VALUE too):\n"
    "  --dt T            time step, in seconds or the --units time (default 3600 s)\n"
    "  --steps N         number of steps, N >= 1 (default 8766, one year of hours)\n"
    "  --interval N      snapshot stride for --record and --print, N >= 1\n"
    "                    (default: steps / 1000 rounded up, at most 1001 snapshots)\n"
    "  --record[=FILE]   write the snapshots to FILE (default output.csv)\n"
    "  --print           write the snapshots to standard output\n"
    "  --save FILE       write the final state as a body file that continues the\n"
    "                    run to the bit\n"
    "  --com             move to the centre-of-mass frame before the run\n"
    "  --svg FILE        draw the orbits in FILE, an SVG picture\n"
    "  --trajectory FILE write every snapshot's exact state to FILE, in HDF5\n"
    "  --html FILE       write the run as an interactive viewer page to FILE\n"
    "  --units PRESET    the units of the body file (without a units line of its\n"
    "                    own), --dt and --save: si (default), au-day-msun, km-s-kg\n"
    "  --checkpoint FILE write what is needed to continue the run to FILE about\n"
    "                    every minute (removed once the run is complete)\n"
    "  --checkpoint-every SECONDS\n"
    "                    write the checkpoint every SECONDS instead (0: after\n"
    "                    every call of the library)\n"
    "  --resume FILE     finish the run a checkpoint holds, writing the outputs\n"
    "                    its command asked for (no other option)\n"
    "  --fingerprint     show the SHA-256 of the final state's bits, the same on\n"
    "                    every machine that computes this run\n"
    "  --self-check      run fixed problems that reach every kernel and compare\n"
    "                    their fingerprints with the pinned ones (exit 0 or 1)\n"
    "  --version         show the library version\n"
    "  --help            show this text\n"
    "\n"
    "Every output is written beside its target and put in place when complete.\n"
    "Ctrl-C, SIGTERM or SIGHUP stops a run, keeping the work done.\n"
    "Exit status: 0 done, 1 a failure, 2 a command line that cannot be followed,\n"
    "3 the state became NaN or infinite, 129/130/143 stopped by a signal.\n";

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

double seconds_between(std::string_view text) {
  double value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || !(value >= 0) || value > 1e9) {
    throw UsageError("--checkpoint-every needs a number of seconds from 0 to 1e9, not '" +
                     printable(text) + "'");
  }
  return value;
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

// One argument and what it takes from those after it. "--option=value" is
// "--option value"; only options name themselves so.
class Argument {
 public:
  Argument(int& k, int argc, char** argv) : k_(k), argc_(argc), argv_(argv), name_(argv[k]) {
    if (const auto equals = name_.find('='); name_.starts_with("--") && equals != name_.npos) {
      attached_ = name_.substr(equals + 1);
      name_ = name_.substr(0, equals);
    }
  }
  std::string_view name() const { return name_; }
  std::string printable_name() const { return printable(name_); }
  const std::optional<std::string_view>& attached() const { return attached_; }

  std::string_view value() {
    if (attached_) return *attached_;
    if (k_ + 1 >= argc_) throw UsageError(printable_name() + " needs a value");
    return argv_[++k_];
  }
  bool flag() const {
    if (attached_) throw UsageError(printable_name() + " takes no value");
    return true;
  }

 private:
  int& k_;
  int argc_;
  char** argv_;
  std::string_view name_;
  std::optional<std::string_view> attached_;
};

// Sets what an option of the run names; false for any other argument.
std::string unit_name(std::string_view text) {
  if (unit_preset(text) == nullptr) {
    throw UsageError("--units needs one of " + unit_preset_names() + ", not '" + printable(text) +
                     "'");
  }
  return std::string(text);
}

bool set_option(Argument& arg, Options& options) {
  const std::string_view name = arg.name();
  if (name == "--dt")
    options.dt = time_step(arg.value());
  else if (name == "--steps")
    options.steps = positive_count(name, arg.value());
  else if (name == "--interval")
    options.interval = positive_count(name, arg.value());
  else if (name == "--record")
    // The file only as --record=FILE: "--record FILE" would read as a run
    // file followed by the body file.
    options.record = arg.attached() ? file_name(name, *arg.attached()) : "output.csv";
  else if (name == "--print")
    options.print = arg.flag();
  else if (name == "--com")
    options.com = arg.flag();
  else if (name == "--fingerprint")
    options.fingerprint = arg.flag();
  else if (name == "--save")
    options.save = file_name(name, arg.value());
  else if (name == "--svg")
    options.svg = file_name(name, arg.value());
  else if (name == "--trajectory")
    options.trajectory = file_name(name, arg.value());
  else if (name == "--html")
    options.html = file_name(name, arg.value());
  else if (name == "--units")
    options.units = unit_name(arg.value());
  else if (name == "--checkpoint")
    options.checkpoint = file_name(name, arg.value());
  else if (name == "--checkpoint-every")
    options.checkpoint_every = seconds_between(arg.value());
  else
    return false;
  return true;
}

}  // namespace

Request parse(int argc, char** argv, Options& options) {
  Request request = Request::run;
  for (int k = 1; k < argc; ++k) {
    Argument arg(k, argc, argv);
    const std::string_view name = arg.name();
    if (name == "--resume") {
      // The checkpoint holds the whole command: anything else would be a
      // second, different one.
      if (k != 1 || argc != (arg.attached() ? 2 : 3)) {
        throw UsageError("--resume takes the checkpoint and no other argument");
      }
      options.resume = file_name(name, arg.value());
      return Request::resume;
    }
    if (name == "--help" || name == "-h")
      arg.flag(), request = Request::help;
    else if (name == "--version")
      arg.flag(), request = request == Request::help ? request : Request::version;
    else if (name == "--self-check")
      arg.flag(), request = request == Request::help ? request : Request::self_check;
    else if (set_option(arg, options))
      continue;
    else if (name.size() > 1 && name[0] == '-')
      throw UsageError("unknown option " + arg.printable_name());
    else if (options.body_file)
      throw UsageError("more than one body file given");
    else
      options.body_file = file_name("the body file", name);
  }
  return request;
}

}  // namespace stellix::program
