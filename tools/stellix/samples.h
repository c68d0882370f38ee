// What the program gathers along a run besides the snapshots: the points of
// the picture's tracks and the energy drift.
#ifndef STELLIX_PROGRAM_SAMPLES_H
#define STELLIX_PROGRAM_SAMPLES_H

#include <stellix/stellix.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "orbits_svg.h"
#include "systems.h"

namespace stellix::program {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point start);

class Tracks {
 public:
  explicit Tracks(const System& system);
  void add(const std::vector<Body>& state);
  // `xyz`: the positions of every body, as the library stores them.
  void add(const double* xyz);
  const std::vector<Track>& tracks() const { return tracks_; }
  std::vector<Track>& tracks() { return tracks_; }

 private:
  std::vector<Track> tracks_;
};

// What a checkpoint keeps of the energy drift.
struct EnergyState {
  std::int64_t bodies = 0, samples = 0;
  double before = 0.0, worst = 0.0;
  bool defined = false;
};

// The relative energy drift: the largest of the samples taken between
// simulate calls and the drift at the end.
class EnergyDrift {
 public:
  EnergyState state() const;
  void restore(const EnergyState& state);
  void start(const std::vector<Body>& initial);
  bool defined() const { return defined_; }
  void sample(const std::vector<Body>& state, Clock::time_point run_started);
  // The drift at the end, counted in the worst as well.
  double finish(const std::vector<Body>& final_state);
  double worst() const { return worst_; }
  const char* undefined_reason() const;

 private:
  double measure(const std::vector<Body>& state);
  void keep_worst(double drift);

  std::size_t bodies_ = 0;
  double before_ = 0.0, worst_ = 0.0, seconds_ = 0.0;
  int samples_ = 0;
  bool defined_ = false;
};

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_SAMPLES_H
