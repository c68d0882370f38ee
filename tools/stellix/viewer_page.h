// --html FILE: the run as the interactive viewer page, the template that
// Python's stellix.to_html fills too (python/stellix/viewer.html, embedded
// at build time), with the same data (docs/viewer.md).
#ifndef STELLIX_PROGRAM_VIEWER_PAGE_H
#define STELLIX_PROGRAM_VIEWER_PAGE_H

#include <stellix/stellix.h>

#include <cstdint>
#include <string>
#include <vector>

namespace stellix::program {

// Collects a run's snapshots for the page: every snapshot's step and energy
// error, and the positions of those the page shows (every k-th and the
// last, as Python thins them).
class ViewerPage {
 public:
  ViewerPage(std::string title, std::vector<std::string> names, std::vector<double> masses,
             std::int64_t snapshots, double dt);

  // Snapshot `index` (from 0), the state after `step`; `energy_error` NaN
  // where not known.
  void add(std::int64_t index, std::int64_t step, const std::vector<Body>& state,
           double energy_error);
  // The page, with its data inline.
  std::string text() const;

  // Whether the energy of snapshot `index` is worth its O(n^2) cost: about
  // 1e8 pair terms over the run at most, the first and last always.
  bool wants_energy(std::int64_t index) const;

 private:
  std::string title_;
  std::vector<std::string> names_;
  std::vector<double> masses_;
  std::int64_t snapshots_, stride_, energy_stride_;
  double dt_;
  std::vector<std::int64_t> steps_, shown_steps_;
  std::vector<double> errors_, shown_times_;
  std::vector<float> positions_;  // in AU, shown snapshot by body by axis
};

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_VIEWER_PAGE_H
