#include "samples.h"

#include <algorithm>
#include <cmath>

namespace stellix::program {

namespace {

// The energy is O(n^2) too: sampled at the ends of calls, at most this often
// and at most for this share of the run's time.
constexpr int kEnergySamples = 100;
constexpr double kEnergyShare = 0.02;

}  // namespace

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Tracks::Tracks(const System& system) : tracks_(system.bodies.size()) {
  for (std::size_t i = 0; i < tracks_.size(); ++i)
    tracks_[i] = {body_label(system, i), system.bodies[i].mass, {}, {}};
}

void Tracks::add(const std::vector<Body>& state) {
  for (std::size_t i = 0; i < tracks_.size(); ++i) {
    tracks_[i].x.push_back(state[i].x);
    tracks_[i].y.push_back(state[i].y);
  }
}

void Tracks::add(const double* xyz) {
  for (std::size_t i = 0; i < tracks_.size(); ++i) {
    tracks_[i].x.push_back(xyz[3 * i]);
    tracks_[i].y.push_back(xyz[3 * i + 1]);
  }
}

EnergyState EnergyDrift::state() const {
  return EnergyState{static_cast<std::int64_t>(bodies_), samples_, before_, worst_, defined_};
}

void EnergyDrift::restore(const EnergyState& state) {
  bodies_ = static_cast<std::size_t>(state.bodies);
  samples_ = static_cast<int>(state.samples);
  before_ = state.before, worst_ = state.worst, defined_ = state.defined;
}

void EnergyDrift::start(const std::vector<Body>& initial) {
  bodies_ = initial.size();
  before_ = measure(initial);
  defined_ = bodies_ > 1 && before_ != 0 && std::isfinite(before_);
}

void EnergyDrift::sample(const std::vector<Body>& state, Clock::time_point run_started) {
  if (defined_ && samples_ < kEnergySamples && seconds_ <= kEnergyShare * since(run_started)) {
    keep_worst((measure(state) - before_) / std::fabs(before_));
  }
}

double EnergyDrift::finish(const std::vector<Body>& final_state) {
  const double drift = defined_ ? (total_energy(final_state) - before_) / std::fabs(before_) : 0;
  if (defined_) keep_worst(drift);
  return drift;
}

const char* EnergyDrift::undefined_reason() const {
  return bodies_ == 1              ? "one body"
         : !std::isfinite(before_) ? "the initial energy is not finite"
                                   : "the initial energy is zero";
}

double EnergyDrift::measure(const std::vector<Body>& state) {
  const auto begun = Clock::now();
  const double energy = total_energy(state);
  seconds_ += since(begun);
  ++samples_;
  return energy;
}

void EnergyDrift::keep_worst(double drift) {
  if (!(std::fabs(drift) <= std::fabs(worst_))) worst_ = drift;
}

}  // namespace stellix::program
