// The straightforward implementation, written from the formulas with the
// obvious loops and nothing else: the yardstick every path of the library is
// held to, bit for bit and byte for byte.
#ifndef STELLIX_TESTS_REFERENCE_H
#define STELLIX_TESTS_REFERENCE_H

#include <cstdint>
#include <string>
#include <vector>

#include "stellix/stellix.h"

namespace reference {

double coupling_root();
void factor_matrix(const Body* bodies, int n, double* matrix);
void accelerations(const Body* bodies, int n, double* accelerations, double* matrix);

// printf's "%.<precision>lf", with every NaN as "nan".
std::string fixed(double value, int precision);
std::string snapshot_text(const Body* bodies, int n);

struct RunResult {
  std::vector<Body> bodies;       // final state
  std::vector<double> positions;  // every snapshot's positions
  std::string text;               // every snapshot's text
  int snapshots = 0;
  std::int64_t evaluations = 0;
};

// The two halves of a velocity Verlet step of one body: its position moved
// with its accelerations a, then its velocity from the old and the new
// accelerations. Every test and benchmark that steps by hand uses these.
void advance_position(Body& b, const double* a, double dt);
void advance_velocity(Body& b, const double* a_old, const double* a_new, double dt);

// One step of all n bodies: positions with `current`, the accelerations of
// the new positions into `next` (with the n*n `matrix` as scratch), then
// velocities from both.
void verlet_step(Body* b, int n, double dt, const double* current, double* next, double* matrix);

// The run with an n*n matrix scratch, the initial snapshot, the always-taken
// first step and a snapshot at every loop index divisible by the stride.
RunResult simulate(std::vector<Body> bodies, double dt, int steps, int interval);

// Snapshots a run emits, from the schedule's closed form.
std::int64_t snapshot_count(int steps, int interval);

}  // namespace reference

#endif  // STELLIX_TESTS_REFERENCE_H
