#include "orbits_svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "systems.h"

namespace stellix::program {
namespace {

constexpr double kAu = 1.495978707e11;  // m
constexpr int kPanel = 560;             // px, each panel is square
constexpr int kGap = 24;
constexpr int kTop = 64;
constexpr int kBottom = 84;
// Names shown per panel: the heaviest bodies' only, so that a crowd of bodies
// does not bury the picture in text.
constexpr std::size_t kLabels = 8;
constexpr const char* kPalette[] = {"#8ecae6", "#f4a261", "#4cc9f0", "#e76f51", "#80ed99",
                                    "#e9c46a", "#90e0ef", "#b8b8ff", "#ff70a6", "#c0c0c0"};

// XML text, with control bytes (which XML does not allow) spelled out.
std::string escape(const std::string& text) {
  std::string out;
  for (char c : printable(text)) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else
      out += c;
  }
  return out;
}

std::string number(double v, int decimals = 1) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

struct Box {
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  void add(double x, double y) {
    x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
  }
  void add(const Box& b) { add(b.x0, b.y0), add(b.x1, b.y1); }
  bool empty() const { return !(x0 <= x1); }
};

Box bounds(const Track& t) {
  Box b;
  for (std::size_t k = 0; k < t.x.size(); ++k) {
    if (std::isfinite(t.x[k]) && std::isfinite(t.y[k])) b.add(t.x[k], t.y[k]);
  }
  return b;
}

// A square view of the plane mapped onto one panel.
struct View {
  double cx, cy, half;  // metres
  double left, top;     // px
  double px(double x) const { return left + (x - cx) / half * kPanel / 2 + kPanel / 2.0; }
  double py(double y) const { return top - (y - cy) / half * kPanel / 2 + kPanel / 2.0; }
};

View fit(const Box& box, double margin, double left, double top) {
  const double half = std::max({(box.x1 - box.x0) / 2, (box.y1 - box.y0) / 2, 1.0}) * margin;
  return View{(box.x0 + box.x1) / 2, (box.y0 + box.y1) / 2, half, left, top};
}

// A round length for the scale bar, about a quarter of the panel.
void scale_bar(std::ostream& svg, const View& v) {
  const double target = v.half / 2;
  const bool au = target >= 0.05 * kAu;
  const double unit = au ? kAu : 1e3;
  const double magnitude = std::pow(10.0, std::floor(std::log10(target / unit)));
  double length = magnitude;
  for (double f : {2.0, 5.0, 10.0}) {
    if (f * magnitude <= target / unit) length = f * magnitude;
  }
  const double width = length * unit / v.half * kPanel / 2;
  const double x = v.left + 16, y = v.top + kPanel - 18;
  char label[64];
  std::snprintf(label, sizeof label, "%g %s", length, au ? "AU" : "km");
  svg << "<path d=\"M" << number(x) << ' ' << number(y - 5) << "v5h" << number(width)
      << "v-5\" fill=\"none\" stroke=\"#cfd6e6\" stroke-width=\"1.5\"/>\n"
      << "<text x=\"" << number(x + width + 8) << "\" y=\"" << number(y + 4)
      << "\" class=\"small\">" << label << "</text>\n";
}

struct Label {
  double x, y;  // the dot it names, px
  const char* colour;
  std::string text;
};

// Puts each label beside its dot, on the inner side near the panel's right
// edge, and moves it down past labels already placed rather than overprint.
void place_labels(std::ostream& svg, const View& v, const std::vector<Label>& labels) {
  struct Box {
    double x0, y0, x1, y1;
  };
  std::vector<Box> taken;
  for (const Label& label : labels) {
    const double width = 8.0 * static_cast<double>(label.text.size()), height = 16;
    const bool left = label.x + 8 + width > v.left + kPanel - 6;
    const double x0 = left ? label.x - 8 - width : label.x + 8;
    double y = label.y - 8;
    for (int tries = 0; tries < 12; ++tries) {
      const bool clash = std::any_of(taken.begin(), taken.end(), [&](const Box& b) {
        return x0 < b.x1 && b.x0 < x0 + width && y - height < b.y1 && b.y0 < y;
      });
      if (!clash) break;
      y += height;
    }
    taken.push_back({x0, y - height, x0 + width, y});
    svg << "<text x=\"" << number(left ? label.x - 8 : label.x + 8) << "\" y=\"" << number(y)
        << "\" fill=\"" << label.colour << "\"" << (left ? " text-anchor=\"end\"" : "") << ">"
        << escape(label.text) << "</text>\n";
  }
}

// A circle is drawn only where it lies wholly inside its panel: a body that
// left the close-up, or a ring wider than the panel, is not cut at the edge.
bool inside(const View& v, double cx, double cy, double r) {
  return cx - r >= v.left && cx + r <= v.left + kPanel && cy - r >= v.top &&
         cy + r <= v.top + kPanel;
}

void circle(std::ostream& svg, const View& v, double cx, double cy, double r,
            const std::string& style) {
  if (!inside(v, cx, cy, r)) return;
  svg << "<circle cx=\"" << number(cx) << "\" cy=\"" << number(cy) << "\" r=\"" << number(r)
      << "\" " << style << "/>\n";
}

void panel(std::ostream& svg, const View& v, const std::vector<Track>& tracks,
           const std::vector<bool>& labelled, std::size_t heaviest, bool rings,
           const std::string& heading) {
  svg << "<g>\n<rect x=\"" << v.left << "\" y=\"" << v.top << "\" width=\"" << kPanel
      << "\" height=\"" << kPanel << "\" rx=\"8\" fill=\"#0d1326\" stroke=\"#27304a\"/>\n";
  svg << "<clipPath id=\"clip" << v.left << "\"><rect x=\"" << v.left << "\" y=\"" << v.top
      << "\" width=\"" << kPanel << "\" height=\"" << kPanel << "\" rx=\"8\"/></clipPath>\n";
  svg << "<g clip-path=\"url(#clip" << v.left << ")\">\n";
  // The names shown: the heaviest few of those this panel may name.
  std::vector<std::size_t> named;
  for (std::size_t i = 0; i < tracks.size(); ++i)
    if (labelled[i]) named.push_back(i);
  std::stable_sort(named.begin(), named.end(),
                   [&](std::size_t a, std::size_t b) { return tracks[a].mass > tracks[b].mass; });
  named.resize(std::min(named.size(), kLabels));
  std::vector<bool> shown(tracks.size(), false);
  for (const std::size_t i : named)
    shown[i] = true;

  std::vector<Label> labels;
  for (std::size_t i = 0; rings && i < tracks.size(); ++i) {
    const Track& t = tracks[i];
    if (i == heaviest || t.x.empty() || !std::isfinite(t.x[0]) || !std::isfinite(t.y[0])) continue;
    const double r = std::hypot(t.x[0] - tracks[heaviest].x[0], t.y[0] - tracks[heaviest].y[0]);
    circle(svg, v, v.px(tracks[heaviest].x[0]), v.py(tracks[heaviest].y[0]),
           r / v.half * kPanel / 2, "fill=\"none\" stroke=\"#3a4566\" stroke-dasharray=\"2 4\"");
  }
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const Track& t = tracks[i];
    const char* colour = i == heaviest ? "#ffcc33" : kPalette[i % std::size(kPalette)];
    std::ostringstream points;
    double last_x = NAN, last_y = NAN;
    for (std::size_t k = 0; k < t.x.size(); ++k) {
      if (!std::isfinite(t.x[k]) || !std::isfinite(t.y[k])) break;
      const double x = std::round(v.px(t.x[k]) * 10) / 10, y = std::round(v.py(t.y[k]) * 10) / 10;
      if (x == last_x && y == last_y) continue;
      points << number(x) << ',' << number(y) << ' ';
      last_x = x, last_y = y;
    }
    if (std::isnan(last_x)) continue;
    svg << "<polyline points=\"" << points.str() << "\" fill=\"none\" stroke=\"" << colour
        << "\" stroke-width=\"1.6\" stroke-opacity=\"0.85\" stroke-linejoin=\"round\"/>\n";
    const std::string stroke = std::string("stroke=\"") + colour + "\"";
    circle(svg, v, v.px(t.x.front()), v.py(t.y.front()), 2.5,
           "fill=\"none\" " + stroke + " stroke-opacity=\"0.8\"");
    const double r = i == heaviest ? 7 : 4;
    circle(svg, v, last_x, last_y, r, std::string("fill=\"") + colour + "\"");
    if (shown[i] && inside(v, last_x, last_y, r))
      labels.push_back({last_x, last_y, colour, t.name});
  }
  place_labels(svg, v, labels);
  svg << "</g>\n";
  svg << "<text x=\"" << v.left + 14 << "\" y=\"" << v.top + 24 << "\" class=\"heading\">"
      << escape(heading) << "</text>\n";
  scale_bar(svg, v);
  svg << "</g>\n";
}

}  // namespace

std::string orbits_svg(const std::vector<Track>& tracks, const std::string& title,
                       const std::string& caption) {
  std::size_t heaviest = 0;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    if (tracks[i].mass > tracks[heaviest].mass) heaviest = i;
  }
  double total_mass = 0;
  for (const Track& t : tracks)
    total_mass += t.mass;
  // A system ruled by one body (a star with planets) is seen from that body's
  // starting point, with faint rings at each other body's starting distance
  // to show how much of its orbit the run covered.
  const bool central =
      !tracks.empty() && !tracks[heaviest].x.empty() && tracks[heaviest].mass > 0.5 * total_mass;
  Box all;
  std::vector<Box> boxes;
  for (const Track& t : tracks) {
    boxes.push_back(bounds(t));
    if (!boxes.back().empty()) all.add(boxes.back());
  }
  if (all.empty()) all.add(0, 0);
  View whole = fit(all, 1.08, kGap, kTop);
  if (central) {
    whole.cx = tracks[heaviest].x.front(), whole.cy = tracks[heaviest].y.front();
    double reach = 1.0;
    for (const Box& b : boxes) {
      if (b.empty()) continue;
      reach = std::max({reach, std::fabs(b.x0 - whole.cx), std::fabs(b.x1 - whole.cx),
                        std::fabs(b.y0 - whole.cy), std::fabs(b.y1 - whole.cy)});
    }
    whole.half = reach * 1.08;
  }

  // Bodies that stay within an eighth of the whole view's half-width around
  // its centre are lost at that scale: show them again in a close-up.
  std::vector<bool> inner(tracks.size(), false);
  Box close;
  std::size_t inner_count = 0;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const Box& b = boxes[i];
    if (b.empty()) continue;
    const double reach = std::max({std::fabs(b.x0 - whole.cx), std::fabs(b.x1 - whole.cx),
                                   std::fabs(b.y0 - whole.cy), std::fabs(b.y1 - whole.cy)});
    if (reach < whole.half / 8) {
      inner[i] = true;
      close.add(b);
      ++inner_count;
    }
  }
  const bool zoom = inner_count >= 2 && inner_count < tracks.size();
  const int panels = zoom ? 2 : 1;
  const int width = panels * kPanel + (panels + 1) * kGap;
  const int height = kTop + kPanel + kBottom;

  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height
      << "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"14\">\n"
      << "<style>text{fill:#cfd6e6}.heading{font-size:15px;fill:#9aa6c2}"
         ".small{font-size:12px;fill:#9aa6c2}.title{font-size:20px;fill:#eef2fb}</style>\n"
      << "<rect width=\"100%\" height=\"100%\" fill=\"#070b18\"/>\n"
      << "<text x=\"" << kGap << "\" y=\"40\" class=\"title\">" << escape(title) << "</text>\n";

  std::vector<bool> label_whole(tracks.size());
  for (std::size_t i = 0; i < tracks.size(); ++i)
    label_whole[i] = !zoom || !inner[i];
  panel(svg, whole, tracks, label_whole, heaviest, central, "Seen from above (x, y)");
  if (zoom) {
    const View near = fit(close, 1.15, 2 * kGap + kPanel, kTop);
    // Where the close-up lies in the whole view.
    const double x0 = whole.px(near.cx - near.half), x1 = whole.px(near.cx + near.half);
    const double y0 = whole.py(near.cy + near.half), y1 = whole.py(near.cy - near.half);
    svg << "<rect x=\"" << number(x0) << "\" y=\"" << number(y0) << "\" width=\"" << number(x1 - x0)
        << "\" height=\"" << number(y1 - y0)
        << "\" fill=\"none\" stroke=\"#9aa6c2\" stroke-dasharray=\"4 3\"/>\n";
    panel(svg, near, tracks, inner, heaviest, central, "Close-up of the inner bodies");
  }
  // The caption's lines are separated by newlines.
  std::istringstream lines(
      caption + "\nRings: start. Dots: end." +
      (central ? " Dotted circles: starting distance from the heaviest body." : ""));
  std::string line;
  for (int k = 0; std::getline(lines, line); ++k) {
    svg << "<text x=\"" << kGap << "\" y=\"" << kTop + kPanel + 26 + 18 * k << "\" class=\"small\">"
        << escape(line) << "</text>\n";
  }
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace stellix::program
