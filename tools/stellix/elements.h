// Body files in other units and bodies given by their orbital elements: the
// "units NAME" and "elements FRAME a e i Omega omega M mass [name]" lines of
// docs/elements-and-units.md. Python's read_bodies reads them by the same
// operations in the same order, so both give the same bits.
#ifndef STELLIX_PROGRAM_ELEMENTS_H
#define STELLIX_PROGRAM_ELEMENTS_H

#include <stellix/stellix.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace stellix::program {

// A unit preset: the library's value of one unit of length, time, velocity
// and mass (metres, seconds, m/s, 10^24 kg). A value in the preset times its
// factor is the value in the library's units.
struct UnitPreset {
  std::string_view name;
  double length, time, velocity, mass;
};

// The preset called `name`, or null.
const UnitPreset* unit_preset(std::string_view name);
// "si, au-day-msun, km-s-kg".
std::string unit_preset_names();

enum class Frame { heliocentric, barycentric, jacobi };

// A body given by its elements, in the library's units and radians.
struct Orbit {
  Frame frame = Frame::heliocentric;
  std::int64_t primary = -1;  // heliocentric: the index of an earlier body
  double mass = 0, a = 0, e = 0, i = 0, node = 0, periapsis = 0, mean_anomaly = 0;
  std::string where;  // "file:line: ", for messages
};

// x y z vx vy vz relative to the focus, for gravitational parameter mu.
// Throws std::runtime_error for elements that describe no orbit or a Kepler
// equation that does not converge.
std::array<double, 6> elements_to_state(double mu, double a, double e, double i, double node,
                                        double periapsis, double mean_anomaly);

// A body file's line that gives body `index` by its elements.
struct PlacedOrbit {
  std::size_t index = 0;
  Orbit orbit;
};

// Puts each orbit's state in place of body `index` of `bodies`, which holds
// every line's body in file order (an orbit's with its mass alone), each
// measured from its frame's origin: its primary, the centre of mass of the
// bodies before it, or the origin for barycentric elements, whose mu takes
// every body's mass. Throws std::runtime_error with the orbit's `where`.
void place_orbits(std::vector<Body>& bodies, const std::vector<PlacedOrbit>& orbits);

// degrees * pi / 180, as the program has always converted.
double radians(double degrees);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_ELEMENTS_H
