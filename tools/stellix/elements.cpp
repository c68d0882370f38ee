#include "elements.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace stellix::program {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kG = 66699999999906.078125;  // c^3, the library's constant
constexpr double kAuMetres = 149597870700.0;
constexpr double kDay = 86400.0;
// IAU 2015 nominal GM of the Sun, exact in binary64: divided once by the
// library's G, it gives the solar mass with which orbits about the Sun keep
// their periods.
constexpr double kGmSun = 1.3271244e20;

constexpr int kKeplerSteps = 50;
constexpr double kEpsilon = 0x1p-52;
constexpr double kTiny = 0x1p-1072;

const UnitPreset kPresets[] = {
    {"si", 1.0, 1.0, 1.0, 1.0},
    {"au-day-msun", kAuMetres, kDay, kAuMetres / kDay, kGmSun / kG},
    {"km-s-kg", 1000.0, 1.0, 1000.0, 1e-24},
};

// A fixed point ends the iteration early. Otherwise the steps end in a cycle
// a few ulps wide; the root is found when the residual is down to the
// rounding of its terms.
double converged(double x, double residual, double scale) {
  if (!(std::fabs(residual) <= 4.0 * kEpsilon * scale + kTiny)) {
    throw std::runtime_error("Kepler's equation did not converge in 50 steps");
  }
  return x;
}

// E - e sin E = M for 0 <= e < 1 and M in [-pi, pi], by Newton's method
// from M (e < 0.8) or from +-pi.
double eccentric_anomaly(double M, double e) {
  double E = e < 0.8 || M == 0.0 ? M : std::copysign(kPi, M);
  for (int k = 0; k < kKeplerSteps; ++k) {
    const double step = (E - e * std::sin(E) - M) / (1.0 - e * std::cos(E));
    if (E - step == E) return E;
    E = E - step;
  }
  const double sine = e * std::sin(E);
  return converged(E, E - sine - M, std::fabs(E) + std::fabs(sine) + std::fabs(M));
}

// e sinh H - H = M for e > 1, from the smallest of three starters, each at
// or past the root.
double hyperbolic_anomaly(double M, double e) {
  const double m = std::fabs(M);
  double H = std::min(std::min(m / (e - 1.0), std::pow(6.0 * m / e, 1.0 / 3.0)),
                      std::log(2.0 * m / e + 1.8));
  for (int k = 0; k < kKeplerSteps; ++k) {
    const double step = (e * std::sinh(H) - H - m) / (e * std::cosh(H) - 1.0);
    if (H - step == H) return std::copysign(H, M);
    H = H - step;
  }
  const double sine = e * std::sinh(H);
  return std::copysign(converged(H, sine - H - m, sine + H + m), M);
}

void check_orbit(double mu, double a, double e, std::initializer_list<double> angles) {
  if (!(std::isfinite(mu) && mu > 0.0)) throw std::runtime_error("mu must be positive and finite");
  if (!(std::isfinite(e) && e >= 0.0) || e == 1.0)
    throw std::runtime_error("e must be finite, >= 0 and not 1 (a parabola)");
  if (!(std::isfinite(a) && (e < 1.0 ? a > 0.0 : a < 0.0)))
    throw std::runtime_error("a must be > 0 for e < 1 and < 0 for e > 1");
  for (double angle : angles) {
    if (!std::isfinite(angle)) throw std::runtime_error("angles must be finite");
  }
}

struct Interior {
  double mass = 0.0;
  double moments[6] = {0, 0, 0, 0, 0, 0};
  void add(const Body& b) {
    mass += b.mass;
    const double values[6] = {b.x, b.y, b.z, b.vx, b.vy, b.vz};
    for (int k = 0; k < 6; ++k)
      moments[k] += b.mass * values[k];
  }
};

// `before` holds the `count` bodies before the orbit's.
Body place(const Orbit& orbit, const Body* before, std::int64_t count, const Interior& interior,
           double total_mass) {
  double origin[6] = {0, 0, 0, 0, 0, 0};
  double mu = 0;
  if (orbit.frame == Frame::heliocentric) {
    if (orbit.primary < 0 || orbit.primary >= count)
      throw std::runtime_error("the primary must be a body before this one");
    const Body& p = before[orbit.primary];
    const double values[6] = {p.x, p.y, p.z, p.vx, p.vy, p.vz};
    std::copy(values, values + 6, origin);
    mu = kG * (p.mass + orbit.mass);
  } else if (orbit.frame == Frame::jacobi) {
    if (!(interior.mass > 0.0))
      throw std::runtime_error("Jacobi elements need a positive mass before the body");
    for (int k = 0; k < 6; ++k)
      origin[k] = interior.moments[k] / interior.mass;
    mu = kG * (interior.mass + orbit.mass);
  } else {
    mu = kG * total_mass;
  }
  const std::array<double, 6> relative = elements_to_state(
      mu, orbit.a, orbit.e, orbit.i, orbit.node, orbit.periapsis, orbit.mean_anomaly);
  Body b{origin[0] + relative[0],
         origin[1] + relative[1],
         origin[2] + relative[2],
         origin[3] + relative[3],
         origin[4] + relative[4],
         origin[5] + relative[5],
         orbit.mass};
  const double values[7] = {b.x, b.y, b.z, b.vx, b.vy, b.vz, b.mass};
  for (double v : values) {
    if (!std::isfinite(v)) throw std::runtime_error("the state from these elements is not finite");
  }
  return b;
}

}  // namespace

const UnitPreset* unit_preset(std::string_view name) {
  for (const UnitPreset& preset : kPresets) {
    if (preset.name == name) return &preset;
  }
  return nullptr;
}

std::string unit_preset_names() {
  std::string names;
  for (const UnitPreset& preset : kPresets)
    names += (names.empty() ? "" : ", ") + std::string(preset.name);
  return names;
}

double radians(double degrees) {
  return degrees * kPi / 180.0;
}

std::array<double, 6> elements_to_state(double mu, double a, double e, double i, double node,
                                        double periapsis, double mean_anomaly) {
  check_orbit(mu, a, e, {i, node, periapsis, mean_anomaly});
  double px, py, vx, vy;
  if (e < 1.0) {
    const double E = eccentric_anomaly(std::remainder(mean_anomaly, kTwoPi), e);
    const double cE = std::cos(E), sE = std::sin(E);
    const double root = std::sqrt(1.0 - e * e);
    const double rate = std::sqrt(mu / (a * a * a)) / (1.0 - e * cE);
    px = a * (cE - e), py = a * root * sE, vx = -a * sE * rate, vy = a * root * cE * rate;
  } else {
    const double H = hyperbolic_anomaly(mean_anomaly, e);
    const double cH = std::cosh(H), sH = std::sinh(H);
    const double root = std::sqrt(e * e - 1.0);
    const double rate = std::sqrt(mu / -(a * a * a)) / (e * cH - 1.0);
    px = a * (cH - e), py = -a * root * sH, vx = a * sH * rate, vy = -a * root * cH * rate;
  }
  const double cw = std::cos(periapsis), sw = std::sin(periapsis);
  const double cO = std::cos(node), sO = std::sin(node);
  const double cI = std::cos(i), sI = std::sin(i);
  const double xx = cw * cO - sw * sO * cI, xy = -sw * cO - cw * sO * cI;
  const double yx = cw * sO + sw * cO * cI, yy = -sw * sO + cw * cO * cI;
  const double zx = sw * sI, zy = cw * sI;
  return {xx * px + xy * py, yx * px + yy * py, zx * px + zy * py,
          xx * vx + xy * vy, yx * vx + yy * vy, zx * vx + zy * vy};
}

void place_orbits(std::vector<Body>& bodies, const std::vector<PlacedOrbit>& orbits) {
  double total_mass = 0.0;
  for (const Body& b : bodies)
    total_mass += b.mass;
  Interior interior;
  std::size_t next = 0;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    if (next < orbits.size() && orbits[next].index == i) {
      const Orbit& orbit = orbits[next++].orbit;
      try {
        bodies[i] = place(orbit, bodies.data(), static_cast<std::int64_t>(i), interior, total_mass);
      } catch (const std::runtime_error& error) {
        throw std::runtime_error(orbit.where + error.what());
      }
    }
    interior.add(bodies[i]);
  }
}

}  // namespace stellix::program
