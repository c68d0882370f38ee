#include "systems.h"

#include "elements.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace stellix::program {
namespace {

// The library's gravitational constant, c^3, in m^3 / (10^24 kg s^2).
constexpr double kG = 66699999999906.078125;

struct Elements {
  const char* name;
  double mass;  // 10^24 kg
  double a;     // semi-major axis, AU
  double e;     // eccentricity
  double i;     // inclination to the ecliptic, degrees
  double L;     // mean longitude, degrees
  double peri;  // longitude of perihelion, degrees
  double node;  // longitude of the ascending node, degrees
};

// Mean orbital elements at J2000 (ecliptic and equinox of J2000).
constexpr Elements kPlanets[] = {
    {"Mercury", 0.33011, 0.38709927, 0.20563593, 7.00497902, 252.25032350, 77.45779628,
     48.33076593},
    {"Venus", 4.8675, 0.72333566, 0.00677672, 3.39467605, 181.97909950, 131.60246718, 76.67984255},
    {"Earth", 5.9724, 1.00000261, 0.01671123, -0.00001531, 100.46457166, 102.93768193, 0.0},
    {"Mars", 0.64171, 1.52371034, 0.09339410, 1.84969142, -4.55343205, -23.94362959, 49.55953891},
    {"Jupiter", 1898.19, 5.20288700, 0.04838624, 1.30439695, 34.39644051, 14.72847983,
     100.47390909},
    {"Saturn", 568.34, 9.53667594, 0.05386179, 2.48599187, 49.95424423, 92.59887831, 113.66242448},
    {"Uranus", 86.813, 19.18916464, 0.04725744, 0.77263783, 313.23810451, 170.95427630,
     74.01692503},
    {"Neptune", 102.413, 30.06992276, 0.00859048, 1.77004347, -55.12002969, 44.96476227,
     131.78422574},
};
constexpr double kSunMass = 1988500.0;

// Position and velocity relative to the Sun of a two-body orbit with the
// given elements: a body file's heliocentric elements line, to the bit.
Body from_elements(const Elements& el, double mu) {
  const std::array<double, 6> state =
      elements_to_state(mu, el.a * kAu, el.e, radians(el.i), radians(el.node),
                        radians(el.peri - el.node), radians(el.L - el.peri));
  return Body{state[0], state[1], state[2], state[3], state[4], state[5], el.mass};
}

}  // namespace

// The sums run in body order and the means are divided out per body: Python's
// move_to_center_of_mass does the same operations, for the same bits.
void move_to_centre_of_mass(std::vector<Body>& bodies) {
  double m = 0, r[3] = {0, 0, 0}, p[3] = {0, 0, 0};
  for (const Body& b : bodies) {
    m += b.mass;
    r[0] += b.mass * b.x, r[1] += b.mass * b.y, r[2] += b.mass * b.z;
    p[0] += b.mass * b.vx, p[1] += b.mass * b.vy, p[2] += b.mass * b.vz;
  }
  for (Body& b : bodies) {
    b.x -= r[0] / m, b.y -= r[1] / m, b.z -= r[2] / m;
    b.vx -= p[0] / m, b.vy -= p[1] / m, b.vz -= p[2] / m;
  }
}

namespace {

// A body's line is seven numbers and a name: far shorter than this. A longer
// one is no body file (say /dev/zero), refused before it fills the memory.
constexpr std::size_t kLongestLine = 64 * 1024;

// Reads the next line without its newline, NUL bytes and all; false at the
// end of the file or on a read error (ferror tells which). Throws past the
// longest line.
bool read_line(std::FILE* in, std::string& line, const std::string& where) {
  line.clear();
  int c;
  while ((c = std::getc(in)) != EOF) {
    if (c == '\n') return true;
    if (line.size() == kLongestLine) {
      throw std::runtime_error(where + "a line longer than " + std::to_string(kLongestLine) +
                               " bytes: not a body file");
    }
    line += static_cast<char>(c);
  }
  return !std::ferror(in) && !line.empty();
}

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

System solar_system() {
  System system;
  system.title = "The Sun and the eight planets";
  system.bodies.push_back(Body{0, 0, 0, 0, 0, 0, kSunMass});
  system.names.push_back("Sun");
  for (const Elements& el : kPlanets) {
    system.bodies.push_back(from_elements(el, kG * (kSunMass + el.mass)));
    system.names.push_back(el.name);
  }
  // The barycentre at rest at the origin, so that the picture does not drift.
  move_to_centre_of_mass(system.bodies);
  return system;
}

namespace {

// The numbers of a line, read in the C locale's format whatever the user's
// locale: `count` fields of `rest`, which is left holding what follows.
void read_numbers(std::string_view& rest, double* values, int count, const std::string& where,
                  const char* what) {
  for (int k = 0; k < count; ++k) {
    if (rest.empty()) {
      throw std::runtime_error(where + "expected " + std::to_string(count) + " numbers (" + what +
                               "), found " + std::to_string(k));
    }
    const auto end = rest.find_first_of(" \t");
    const std::string_view field = rest.substr(0, end);
    const auto [ptr, ec] = std::from_chars(field.data(), field.data() + field.size(), values[k]);
    if (ec != std::errc() || ptr != field.data() + field.size() || !std::isfinite(values[k])) {
      throw std::runtime_error(where + "not a finite number: '" + printable(field) + "'");
    }
    rest = end == std::string_view::npos ? std::string_view() : trim(rest.substr(end));
  }
}

// The first word of `rest`, taken off it.
std::string_view next_word(std::string_view& rest) {
  const auto end = rest.find_first_of(" \t");
  const std::string_view word = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view() : trim(rest.substr(end));
  return word;
}

bool starts_with_word(std::string_view text, std::string_view word) {
  return text.starts_with(word) &&
         (text.size() == word.size() || text[word.size()] == ' ' || text[word.size()] == '\t');
}

// One factor per value, each product checked: a value the library's units
// cannot hold is refused, not turned into infinity or zero.
double in_library_units(double value, double factor, const std::string& where) {
  const double product = value * factor;
  if (!std::isfinite(product) || (product == 0.0 && value != 0.0)) {
    throw std::runtime_error(where + "a value out of range in the library's units");
  }
  return product;
}

// heliocentric:P (a body number from 1, or the name of exactly one earlier
// body), barycentric or jacobi.
void read_frame(std::string_view token, Orbit& orbit, const std::vector<std::string>& names) {
  if (token == "barycentric" || token == "jacobi") {
    orbit.frame = token == "jacobi" ? Frame::jacobi : Frame::barycentric;
    return;
  }
  if (!token.starts_with("heliocentric:") || token.size() == 13) {
    throw std::runtime_error(orbit.where +
                             "expected a frame, heliocentric:PRIMARY, barycentric or jacobi, "
                             "found '" +
                             printable(token) + "'");
  }
  const std::string_view primary = token.substr(13);
  std::int64_t number = 0;
  const auto [ptr, ec] = std::from_chars(primary.data(), primary.data() + primary.size(), number);
  if (ec == std::errc() && ptr == primary.data() + primary.size()) {
    if (number < 1 || number > static_cast<std::int64_t>(names.size()))
      throw std::runtime_error(orbit.where + "primary " + std::string(primary) +
                               " is not a body before this one");
    orbit.primary = number - 1;
    return;
  }
  const auto found = std::count(names.begin(), names.end(), primary);
  if (found != 1) {
    throw std::runtime_error(orbit.where + "primary '" + printable(primary) +
                             "' must name exactly one body before this one");
  }
  orbit.primary = std::find(names.begin(), names.end(), primary) - names.begin();
}

// "elements FRAME a e i Omega omega M mass [name]", angles in degrees: the
// orbit, and in its body's place for now its mass alone.
Body read_elements(std::string_view rest, const UnitPreset& units, const std::string& where,
                   std::vector<std::string>& names, std::vector<PlacedOrbit>& orbits) {
  PlacedOrbit placed;
  placed.index = names.size();
  Orbit& orbit = placed.orbit;
  orbit.where = where;
  next_word(rest);
  read_frame(next_word(rest), orbit, names);
  double v[7];
  read_numbers(rest, v, 7, where, "a e i Omega omega M mass");
  if (v[6] < 0) throw std::runtime_error(where + "negative mass");
  orbit.a = v[0] * units.length;
  orbit.e = v[1];
  orbit.i = radians(v[2]);
  orbit.node = radians(v[3]);
  orbit.periapsis = radians(v[4]);
  orbit.mean_anomaly = radians(v[5]);
  orbit.mass = in_library_units(v[6], units.mass, where);
  names.emplace_back(rest);
  orbits.push_back(std::move(placed));
  return Body{0, 0, 0, 0, 0, 0, orbit.mass};
}

Body read_state(std::string_view rest, const UnitPreset& units, const std::string& where,
                std::vector<std::string>& names) {
  double v[7];
  read_numbers(rest, v, 7, where, "x y z vx vy vz mass");
  if (v[6] < 0) throw std::runtime_error(where + "negative mass");
  const double factors[7] = {units.length,   units.length,   units.length, units.velocity,
                             units.velocity, units.velocity, units.mass};
  for (int k = 0; k < 7; ++k)
    v[k] = in_library_units(v[k], factors[k], where);
  names.emplace_back(rest);
  return Body{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
}

const UnitPreset& read_units_line(std::string_view rest, bool first, const std::string& where) {
  next_word(rest);
  const std::string_view name = next_word(rest);
  const UnitPreset* preset = unit_preset(name);
  if (name.empty() || !rest.empty()) {
    throw std::runtime_error(where + "expected 'units NAME' (" + unit_preset_names() + ")");
  }
  if (!first) throw std::runtime_error(where + "one units line, before the first body");
  if (preset == nullptr) {
    throw std::runtime_error(where + "unknown units '" + printable(name) + "': the presets are " +
                             unit_preset_names());
  }
  return *preset;
}

}  // namespace

System read_body_file(const std::string& path, const UnitPreset& default_units) {
  const std::string name = printable(path);
  std::FILE* in = std::fopen(path.c_str(), "r");
  if (in == nullptr) {
    throw std::runtime_error(name + ": cannot open the body file: " + std::strerror(errno));
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(in, &std::fclose);
  System system;
  system.title = std::filesystem::path(path).filename().string();
  std::vector<PlacedOrbit> orbits;
  const UnitPreset* units = nullptr;
  std::string line;
  for (long long number = 1; read_line(in, line, name + ":" + std::to_string(number) + ": ");
       ++number) {
    const auto where = name + ":" + std::to_string(number) + ": ";
    const std::string_view rest = trim(std::string_view(line).substr(0, line.find('#')));
    if (rest.empty()) continue;
    if (starts_with_word(rest, "units")) {
      units = &read_units_line(rest, system.bodies.empty() && units == nullptr, where);
      continue;
    }
    // Refused before the rest of the file is read, however long it is.
    if (system.bodies.size() == STELLIX_MAX_BODIES) {
      throw std::runtime_error(where + "more than " + std::to_string(STELLIX_MAX_BODIES) +
                               " bodies");
    }
    const UnitPreset& preset = units != nullptr ? *units : default_units;
    system.bodies.push_back(starts_with_word(rest, "elements")
                                ? read_elements(rest, preset, where, system.names, orbits)
                                : read_state(rest, preset, where, system.names));
  }
  if (std::ferror(in)) throw std::runtime_error(name + ": read error: " + std::strerror(errno));
  if (system.bodies.empty()) throw std::runtime_error(name + ": no bodies in the file");
  place_orbits(system.bodies, orbits);
  return system;
}

std::string body_label(const System& system, std::size_t index) {
  return system.names[index].empty() ? "body " + std::to_string(index + 1) : system.names[index];
}

std::string body_file_text(const std::vector<Body>& bodies, const std::vector<std::string>& names,
                           const UnitPreset& units) {
  std::string text = "# stellix " + std::to_string(STELLIX_VERSION_MAJOR) + "." +
                     std::to_string(STELLIX_VERSION_MINOR) + "." +
                     std::to_string(STELLIX_VERSION_PATCH) + " bodies: x y z vx vy vz mass name\n";
  // Another preset's values are one division each from the library's, so
  // they read back within an ulp; SI's are the library's own bits.
  const bool si = units.name == "si";
  if (!si) text += "units " + std::string(units.name) + "\n";
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const Body& b = bodies[i];
    double fields[7] = {b.x, b.y, b.z, b.vx, b.vy, b.vz, b.mass};
    const double factors[7] = {units.length,   units.length,   units.length, units.velocity,
                               units.velocity, units.velocity, units.mass};
    for (int k = 0; k < 7 && !si; ++k)
      fields[k] = fields[k] / factors[k];
    for (int k = 0; k < 7; ++k) {
      // to_chars is printf's "%.17g", correctly rounded on every platform
      // and in every locale.
      char number[32];
      const auto end =
          std::to_chars(number, number + sizeof number, fields[k], std::chars_format::general, 17)
              .ptr;
      if (k > 0) text += ' ';
      text.append(number, end);
    }
    if (!names[i].empty()) text += ' ' + names[i];
    text += '\n';
  }
  return text;
}

namespace {

// The length of the well-formed UTF-8 sequence at `text[k]`, 0 when there is
// none: a stray or missing continuation byte, an overlong form, a surrogate
// or a code point past U+10FFFF. U+FFFE and U+FFFF are not XML characters.
std::size_t utf8_length(std::string_view text, std::size_t k) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(k);
  if (lead < 0x80) return 1;
  const std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                             : lead >= 0xe0 && lead <= 0xef ? 3
                             : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                            : 0;
  if (length == 0 || k + length > text.size()) return 0;
  unsigned code = lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(k + i) & 0xc0) != 0x80) return 0;
    code = code << 6 | (byte(k + i) & 0x3f);
  }
  const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool excluded = (code >= 0xd800 && code <= 0xdfff) || code == 0xfffe || code == 0xffff;
  return code < least[length] || code > 0x10ffff || excluded ? 0 : length;
}

}  // namespace

// The text with every byte that is not part of a well-formed character
// replaced by U+FFFD, so that a name from a file in another encoding
// leaves the picture a valid XML document.
std::string well_formed(std::string_view text) {
  std::string out;
  for (std::size_t k = 0; k < text.size();) {
    const std::size_t length = utf8_length(text, k);
    out += length == 0 ? std::string_view("\xef\xbf\xbd") : text.substr(k, length);
    k += length == 0 ? 1 : length;
  }
  return out;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", byte);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

double total_energy(const std::vector<Body>& bodies) {
  double kinetic = 0.0, potential = 0.0;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const Body& a = bodies[i];
    kinetic += 0.5 * a.mass * (a.vx * a.vx + a.vy * a.vy + a.vz * a.vz);
    for (std::size_t j = i + 1; j < bodies.size(); ++j) {
      const Body& b = bodies[j];
      const double r = std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) +
                                 (a.z - b.z) * (a.z - b.z));
      potential -= kG * a.mass * b.mass / r;
    }
  }
  return kinetic + potential;
}

}  // namespace stellix::program
