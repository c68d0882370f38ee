// The program's command line: its options, how they are read and the usage
// text.
#ifndef STELLIX_PROGRAM_CLI_OPTIONS_H
#define STELLIX_PROGRAM_CLI_OPTIONS_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "schedule.h"

namespace stellix::program {

extern const char* const kUsage;

struct Options {
  double dt = 3600.0;
  std::int32_t steps = 8766;
  std::optional<std::int32_t> interval;
  std::optional<std::string> record;  // the run file
  bool print = false;
  bool com = false;
  bool fingerprint = false;
  std::optional<std::string> save;
  std::optional<std::string> svg;         // the picture, only when asked for
  std::optional<std::string> trajectory;  // HDF5, every snapshot's state
  std::optional<std::string> html;        // the viewer page
  std::string units = "si";               // of the body file, --dt and --save
  std::optional<std::string> body_file;
  std::optional<std::string> checkpoint;
  double checkpoint_every = 60.0;     // seconds
  std::optional<std::string> resume;  // a checkpoint to finish

  std::int64_t stride() const { return snapshot_interval(steps, interval); }
  bool emitting() const { return print || record; }
  // Whether the run keeps every snapshot's whole state.
  bool keeps_states() const { return trajectory || html; }
};

// A command line the program cannot follow: exit status 2 and a hint.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class Request { run, resume, help, version, self_check };

// Fills `options` from the arguments; throws UsageError.
Request parse(int argc, char** argv, Options& options);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_CLI_OPTIONS_H
