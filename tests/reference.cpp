#include "reference.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace reference {

double coupling_root() {
  const std::uint64_t bits = 0x40E3CD58A5508701ull;
  double c;
  std::memcpy(&c, &bits, sizeof c);
  return c;
}

void factor_matrix(const Body* b, int n, double* m) {
  const double c = coupling_root();
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < i; ++j) {
      double dx = b[i].x - b[j].x;
      double dy = b[i].y - b[j].y;
      double dz = b[i].z - b[j].z;
      double s = (dx * dx + dy * dy) + dz * dz;
      double q = c / std::sqrt(s);
      double f = (q * q) * q;
      m[(std::int64_t)n * i + j] = f;
      m[(std::int64_t)n * j + i] = m[(std::int64_t)n * i + j];
    }
  }
  for (int k = 0; k < n; ++k)
    m[(std::int64_t)n * k + k] = 0.0;
}

void accelerations(const Body* b, int n, double* a, double* m) {
  factor_matrix(b, n, m);
  for (int i = 0; i < n; ++i) {
    a[3 * i] = 0.0;
    a[3 * i + 1] = 0.0;
    a[3 * i + 2] = 0.0;
    for (int j = 0; j < n; ++j) {
      double f = m[(std::int64_t)n * i + j];
      double w = f * b[j].mass;
      a[3 * i] = (b[j].x - b[i].x) * w + a[3 * i];
      w = f * b[j].mass;
      a[3 * i + 1] = (b[j].y - b[i].y) * w + a[3 * i + 1];
      w = f * b[j].mass;
      a[3 * i + 2] = (b[j].z - b[i].z) * w + a[3 * i + 2];
    }
  }
}

std::string fixed(double value, int precision) {
  if (std::isnan(value)) return "nan";
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*lf", precision, value);
  return buf;
}

std::string snapshot_text(const Body* b, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    const double f[7] = {b[i].x, b[i].y, b[i].z, b[i].vx, b[i].vy, b[i].vz, b[i].mass};
    for (int k = 0; k < 7; ++k) {
      out += fixed(f[k], 6);
      out += k < 6 ? ' ' : '\n';
    }
  }
  return out;
}

void advance_position(Body& b, const double* a, double dt) {
  b.x = (((a[0] * dt) * dt) / 2.0 + b.vx * dt) + b.x;
  b.y = (((a[1] * dt) * dt) / 2.0 + b.vy * dt) + b.y;
  b.z = (((a[2] * dt) * dt) / 2.0 + b.vz * dt) + b.z;
}

void advance_velocity(Body& b, const double* a_old, const double* a_new, double dt) {
  b.vx = ((a_old[0] + a_new[0]) * dt) / 2.0 + b.vx;
  b.vy = ((a_old[1] + a_new[1]) * dt) / 2.0 + b.vy;
  b.vz = ((a_old[2] + a_new[2]) * dt) / 2.0 + b.vz;
}

void verlet_step(Body* b, int n, double dt, const double* current, double* next, double* matrix) {
  for (int i = 0; i < n; ++i)
    advance_position(b[i], current + 3 * i, dt);
  accelerations(b, n, next, matrix);
  for (int i = 0; i < n; ++i)
    advance_velocity(b[i], current + 3 * i, next + 3 * i, dt);
}

RunResult simulate(std::vector<Body> bodies, double dt, int steps, int interval) {
  RunResult r;
  const int n = static_cast<int>(bodies.size());
  Body* b = bodies.data();
  std::vector<double> A(3 * n), B(3 * n), M((std::size_t)n * n);
  auto snapshot = [&] {
    r.text += snapshot_text(b, n);
    for (int i = 0; i < n; ++i) {
      r.positions.push_back(b[i].x);
      r.positions.push_back(b[i].y);
      r.positions.push_back(b[i].z);
    }
    ++r.snapshots;
  };
  auto step = [&] {
    verlet_step(b, n, dt, A.data(), B.data(), M.data());
    ++r.evaluations;
  };
  accelerations(b, n, A.data(), M.data());
  ++r.evaluations;
  snapshot();
  step();
  for (int i = 1; i < steps; ++i) {
    std::swap(A, B);
    step();
    if (interval != 0 && i % interval == 0) snapshot();
  }
  r.bodies = bodies;
  return r;
}

std::int64_t snapshot_count(int steps, int interval) {
  if (steps < 1 || interval == 0) return 1;
  return 1 + (static_cast<std::int64_t>(steps) - 1) / std::llabs(interval);
}

}  // namespace reference
