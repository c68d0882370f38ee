// A picture of the orbits as a self-contained SVG file.
#ifndef STELLIX_PROGRAM_ORBITS_SVG_H
#define STELLIX_PROGRAM_ORBITS_SVG_H

#include <string>
#include <vector>

namespace stellix::program {

struct Track {
  std::string name;
  double mass;
  std::vector<double> x, y;  // metres, seen from above (the x-y plane)
};

// The tracks as an SVG document: the whole system, and beside it a close-up
// of the inner bodies when they are lost at the whole system's scale.
// `caption` may hold several lines; a legend line follows it.
std::string orbits_svg(const std::vector<Track>& tracks, const std::string& title,
                       const std::string& caption);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_ORBITS_SVG_H
