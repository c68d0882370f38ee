#include "report.h"

#include <stellix/stellix.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "schedule.h"
#include "systems.h"

namespace stellix::program {

namespace {

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

std::string drift_text(double drift, int digits) {
  if (std::isnan(drift)) return "nan";  // printf may write "-nan"
  char text[32];
  std::snprintf(text, sizeof text, "%.*e", digits, drift);
  return text;
}

}  // namespace

std::string snapshot_steps(std::int64_t snapshots, std::int64_t interval) {
  const auto step = [&](std::int64_t k) { return std::to_string(snapshot_step(k, interval)); };
  if (snapshots <= 1) return "the initial state";
  if (snapshots == 2) return "the initial state and the state after step " + step(1);
  const std::string last = step(snapshots - 1);
  if (snapshots == 3)
    return "the initial state and the states after steps " + step(1) + " and " + last;
  const std::string between = snapshots == 4 ? step(2) + ", " : step(2) + ", ..., ";
  return "the initial state and the states after steps " + step(1) + ", " + between + last;
}

std::string count(std::int64_t number, const char* one, const char* many) {
  return std::to_string(number) + " " + (number == 1 ? one : many);
}

void ProgressBar::update(std::int64_t done, std::int64_t total, double seconds_per_step) {
  if (!shown_) return;
  const int width = 36;
  const int filled = static_cast<int>(width * done / total);
  if (filled == last_ && done != total) return;
  last_ = filled;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(width, '.');
  // A run backwards in time (dt < 0) covers as many days as forwards.
  const double day_steps = std::fabs(seconds_per_step) / 86400.0;
  std::fprintf(stderr, "\r  [%s] %3d%%  %.1f of %.1f days", bar.c_str(),
               static_cast<int>(100 * done / total), static_cast<double>(done) * day_steps,
               static_cast<double>(total) * day_steps);
  if (done == total) std::fputc('\n', stderr);
  std::fflush(stderr);
}

void ProgressBar::cut() const {
  if (shown_ && last_ >= 0) std::fputc('\n', stderr);
}

std::string orbits_picture(const Options& options, const Findings& findings,
                           const std::vector<Track>& tracks) {
  const std::int64_t steps = findings.steps;
  char caption[512];
  std::snprintf(caption, sizeof caption,
                "%lld steps of %g s (%s) by velocity Verlet, stellix %d.%d.%d\n"
                "Relative energy drift %s",
                static_cast<long long>(steps), options.dt, duration(steps * options.dt).c_str(),
                STELLIX_VERSION_MAJOR, STELLIX_VERSION_MINOR, STELLIX_VERSION_PATCH,
                findings.drift_defined ? drift_text(findings.drift, 2).c_str() : "n/a");
  const std::string title = findings.title + ", " + duration(steps * options.dt);
  return orbits_svg(tracks, title, caption);
}

void warn_non_finite(const Options& options, const Findings& findings) {
  if (findings.non_finite_step == 0) return;
  std::fprintf(stderr,
               "stellix: the state is not finite (NaN or infinite) from step %lld of %lld "
               "on: bodies coincide or a value overflowed\n",
               static_cast<long long>(findings.non_finite_step),
               static_cast<long long>(options.steps));
  const std::int64_t snapshot = first_snapshot_from(findings.non_finite_step, options.stride());
  if (snapshot > 0 && snapshot < findings.snapshots && options.emitting()) {
    std::fprintf(stderr, "  the first snapshot to show it is snapshot %lld (after %lld steps)\n",
                 static_cast<long long>(snapshot),
                 static_cast<long long>(snapshot_step(snapshot, options.stride())));
  }
}

void print_summary(const Options& options, const Findings& findings) {
  const std::int64_t steps = findings.steps, interval = options.stride();
  // The summary goes to standard error when standard output carries snapshots.
  std::FILE* out = options.print ? stderr : stdout;
  std::fprintf(out, "stellix: %s\n", printable(findings.title).c_str());
  std::fprintf(out, "  %s, %s of %g s = %s, computed in %.1f ms\n",
               count(findings.bodies, "body", "bodies").c_str(),
               count(steps, "step", "steps").c_str(), options.dt,
               duration(steps * options.dt).c_str(), findings.seconds * 1e3);
  if (findings.drift_defined) {
    std::fprintf(out, "  relative energy drift: %s at the end, largest %s\n",
                 drift_text(findings.drift, 3).c_str(),
                 drift_text(findings.worst_drift, 3).c_str());
  } else {
    std::fprintf(out, "  relative energy drift: n/a (%s)\n", findings.undefined_drift);
  }
  const std::string held = count(findings.snapshots, "snapshot", "snapshots") + " of " +
                           count(findings.bodies, "line", "lines") + " (every " +
                           (interval == 1 ? "step" : count(interval, "step", "steps")) +
                           "): " + snapshot_steps(findings.snapshots, interval);
  if (options.record) {
    std::fprintf(out, "  %s: %s\n", printable(*options.record).c_str(), held.c_str());
  }
  if (options.print) std::fprintf(out, "  standard output: %s\n", held.c_str());
  if (findings.saved) {
    std::fprintf(out, "  final state saved in %s\n", printable(*options.save).c_str());
  }
  std::error_code ignored;
  if (options.svg) {
    std::fprintf(out, "  orbits drawn in %s\n",
                 printable(std::filesystem::absolute(*options.svg, ignored).string()).c_str());
  }
  if (options.fingerprint) std::fprintf(out, "  fingerprint %s\n", findings.fingerprint.c_str());
}

}  // namespace stellix::program
