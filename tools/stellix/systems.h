// The program's input: the built-in solar system and body files.
#ifndef STELLIX_PROGRAM_SYSTEMS_H
#define STELLIX_PROGRAM_SYSTEMS_H

#include <stellix/stellix.h>

#include <string>
#include <string_view>
#include <vector>

#include "elements.h"

namespace stellix::program {

// The astronomical unit, in metres.
inline constexpr double kAu = 1.495978707e11;

struct System {
  std::vector<Body> bodies;
  std::vector<std::string> names;  // one per body, empty for a body without one
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
// A "units NAME" line before the first body names the unit preset of the
// file's numbers (else `default_units`), and "elements FRAME a e i Omega
// omega M mass [name]" gives a body by its orbital elements
// (docs/file-formats.md).
System read_body_file(const std::string& path, const UnitPreset& default_units);

// What a body is called in messages and pictures: its name, or "body N"
// (counting from 1) when it has none.
std::string body_label(const System& system, std::size_t index);

// The body file of a state, read back to the same bits: a comment line, then
// per body the seven numbers as "%.17g" (the shortest text that always reads
// back exactly) separated by single spaces, and its name after a space when
// it has one.
// In another unit preset than SI, a units line follows the comment line.
std::string body_file_text(const std::vector<Body>& bodies, const std::vector<std::string>& names,
                           const UnitPreset& units);

// Moves the origin to the centre of mass and brings it to rest: positions and
// velocities less their mass-weighted means, summed in body order.
void move_to_centre_of_mass(std::vector<Body>& bodies);

// `text` fit to echo on a terminal: control bytes become \xNN, so that a file
// name or a field from a file cannot move the cursor or forge a line.
std::string printable(std::string_view text);

// The text with every byte that is not part of a well-formed UTF-8
// character (a stray byte, an overlong form, a surrogate, U+FFFE, U+FFFF)
// replaced by U+FFFD: what names become in the picture, the viewer page and
// the trajectory, so that readers that decode them can.
std::string well_formed(std::string_view text);

// Kinetic plus pairwise potential energy with G = c^3, in 10^24 J.
double total_energy(const std::vector<Body>& bodies);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_SYSTEMS_H
