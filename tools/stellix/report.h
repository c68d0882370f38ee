// What the program shows of a run: the progress bar while it lasts, then the
// picture's title and caption, the warning of a state that is not finite and
// the summary.
#ifndef STELLIX_PROGRAM_REPORT_H
#define STELLIX_PROGRAM_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "cli_options.h"
#include "orbits_svg.h"

namespace stellix::program {

// Which steps `snapshots` snapshots every `interval` steps follow: "the
// initial state and the states after steps 11, 21, ..., 91".
std::string snapshot_steps(std::int64_t snapshots, std::int64_t interval);

// "1 body", "2 bodies".
std::string count(std::int64_t number, const char* one, const char* many);

class ProgressBar {
 public:
  explicit ProgressBar(bool shown) : shown_(shown) {}
  void update(std::int64_t done, std::int64_t total, double seconds_per_step);
  // Ends the bar's line early, so that a message after it starts a line.
  void cut() const;

 private:
  bool shown_;
  int last_ = -1;
};

// What a finished run found.
struct Findings {
  std::string title;  // the system's
  std::int32_t bodies = 0;
  std::int64_t steps = 0;  // done
  std::int64_t snapshots = 0;
  double seconds = 0;  // the run's time
  bool drift_defined = false;
  double drift = 0, worst_drift = 0;
  const char* undefined_drift = "";  // why there is no drift
  // The first step after which the state is not finite (0: none).
  std::int64_t non_finite_step = 0;
  std::string fingerprint;  // of the final state, when asked for
  bool saved = false;       // the final state, to --save
};

std::string orbits_picture(const Options& options, const Findings& findings,
                           const std::vector<Track>& tracks);
void warn_non_finite(const Options& options, const Findings& findings);
void print_summary(const Options& options, const Findings& findings);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_REPORT_H
