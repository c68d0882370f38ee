// The demo's input: the built-in solar system and body files.
#ifndef STELLIX_EXAMPLES_SYSTEMS_H
#define STELLIX_EXAMPLES_SYSTEMS_H

#include <stellix/stellix.h>

#include <string>
#include <string_view>
#include <vector>

namespace demo {

struct System {
  std::vector<Body> bodies;
  std::vector<std::string> names;  // one per body
  std::string title;
};

// The Sun and the eight planets at the start of the year 2000, in metres,
// seconds and 10^24 kg, with the barycentre at rest at the origin.
System solar_system();

// Reads a body file: one body per line, "x y z vx vy vz mass" (the run file's
// line format) optionally followed by a name; blank lines and text after '#'
// are ignored. Throws std::runtime_error naming the file and line, with the
// system's reason when the file cannot be opened or read. Reading stops at the
// first body past STELLIX_MAX_BODIES.
System read_body_file(const std::string& path);

// `text` fit to echo on a terminal: control bytes become \xNN, so that a file
// name or a field from a file cannot move the cursor or forge a line.
std::string printable(std::string_view text);

// Kinetic plus pairwise potential energy with G = c^3, in 10^24 J.
double total_energy(const std::vector<Body>& bodies);

}  // namespace demo

#endif  // STELLIX_EXAMPLES_SYSTEMS_H
