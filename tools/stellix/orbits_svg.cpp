#include "orbits_svg.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string_view>

#include "output_files.h"

#include "systems.h"

namespace stellix::program {
namespace {

constexpr int kPanel = 560;  // px, each panel is square
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
  for (char c : well_formed(printable(text))) {
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
  const double x = v.left + 16, y = v.top + kPanel - 32;
  char label[64];
  std::snprintf(label, sizeof label, "%g %s", length, au ? "AU" : "km");
  svg << "<path d=\"M" << number(x) << ' ' << number(y - 5) << "v5h" << number(width)
      << "v-5\" class=\"bar\" fill=\"none\" stroke=\"#cfd6e6\" stroke-width=\"1.5\"/>\n"
      << "<text x=\"" << number(x + width + 8) << "\" y=\"" << number(y + 4)
      << "\" class=\"small\">" << label << "</text>\n";
}

// A round step in AU, 1, 2 or 5 times a power of ten, that puts three to
// seven ticks across the panel.
double tick_step(const View& v) {
  const double most = 2 * v.half / kAu / 3;
  const double magnitude = std::pow(10.0, std::floor(std::log10(most)));
  double step = magnitude;
  for (double f : {2.0, 5.0}) {
    if (f * magnitude <= most) step = f * magnitude;
  }
  return step;
}

// A faint grid at round values of x and y in AU, labelled along the panel's
// bottom and right edges (not in the heading's row). Each value is an
// integer times the step, never a running sum, so that no tick reads
// 0.30000000000000004 or -0.
void axes(std::ostream& svg, const View& v) {
  const double step = tick_step(v);
  // A view of a state gone non-finite has no round values to mark.
  if (!(std::isfinite(step) && step > 0 && std::isfinite(v.cx) && std::isfinite(v.cy))) return;
  const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
  const double x0 = v.cx - v.half, x1 = v.cx + v.half, y0 = v.cy - v.half, y1 = v.cy + v.half;
  for (double k = std::ceil(x0 / kAu / step); k * step * kAu <= x1; ++k) {
    const double x = v.px(k * step * kAu);
    svg << "<path d=\"M" << number(x) << ' ' << v.top << "v" << kPanel
        << "\" class=\"grid\" stroke=\"#1b2440\"/>\n<text x=\"" << number(x) << "\" y=\""
        << v.top + kPanel - 8 << "\" class=\"tick\" text-anchor=\"middle\">"
        << number(k == 0 ? 0.0 : k * step, decimals) << "</text>\n";
  }
  for (double k = std::ceil(y0 / kAu / step); k * step * kAu <= y1; ++k) {
    const double y = v.py(k * step * kAu);
    svg << "<path d=\"M" << v.left << ' ' << number(y) << "h" << kPanel
        << "\" class=\"grid\" stroke=\"#1b2440\"/>\n";
    if (y - 4 < v.top + 40) continue;
    svg << "<text x=\"" << v.left + kPanel - 6 << "\" y=\"" << number(y - 4)
        << "\" class=\"tick\" text-anchor=\"end\">" << number(k == 0 ? 0.0 : k * step, decimals)
        << "</text>\n";
  }
  svg << "<text x=\"" << v.left + kPanel - 14 << "\" y=\"" << v.top + 24
      << "\" class=\"small\" text-anchor=\"end\">x, y in AU</text>\n";
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

// The panel's background, and the clip that keeps its drawing inside it.
void open_panel(std::ostream& svg, const View& v) {
  svg << "<g>\n<rect x=\"" << v.left << "\" y=\"" << v.top << "\" width=\"" << kPanel
      << "\" height=\"" << kPanel
      << "\" rx=\"8\" class=\"panel\" fill=\"#0d1326\" stroke=\"#27304a\"/>\n";
  svg << "<clipPath id=\"clip" << v.left << "\"><rect x=\"" << v.left << "\" y=\"" << v.top
      << "\" width=\"" << kPanel << "\" height=\"" << kPanel << "\" rx=\"8\"/></clipPath>\n";
  svg << "<g clip-path=\"url(#clip" << v.left << ")\">\n";
  axes(svg, v);
}

void close_panel(std::ostream& svg, const View& v, const std::string& heading) {
  svg << "</g>\n";
  svg << "<text x=\"" << v.left + 14 << "\" y=\"" << v.top + 24 << "\" class=\"heading\">"
      << escape(heading) << "</text>\n";
  scale_bar(svg, v);
  svg << "</g>\n";
}

// The names shown: the heaviest few of those this panel may name.
std::vector<bool> names_shown(const std::vector<Track>& tracks, const std::vector<bool>& labelled) {
  std::vector<std::size_t> named;
  for (std::size_t i = 0; i < tracks.size(); ++i)
    if (labelled[i]) named.push_back(i);
  std::stable_sort(named.begin(), named.end(),
                   [&](std::size_t a, std::size_t b) { return tracks[a].mass > tracks[b].mass; });
  named.resize(std::min(named.size(), kLabels));
  std::vector<bool> shown(tracks.size(), false);
  for (const std::size_t i : named)
    shown[i] = true;
  return shown;
}

// Each other body's starting distance from the heaviest one's start.
void starting_rings(std::ostream& svg, const View& v, const std::vector<Track>& tracks,
                    std::size_t heaviest) {
  const Track& centre = tracks[heaviest];
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const Track& t = tracks[i];
    if (i == heaviest || t.x.empty() || !std::isfinite(t.x[0]) || !std::isfinite(t.y[0])) continue;
    const double r = std::hypot(t.x[0] - centre.x[0], t.y[0] - centre.y[0]);
    circle(svg, v, v.px(centre.x[0]), v.py(centre.y[0]), r / v.half * kPanel / 2,
           "fill=\"none\" stroke=\"#3a4566\" stroke-dasharray=\"2 4\"");
  }
}

// The track's points up to its first that is not finite, to a tenth of a
// pixel, each only once; `end` becomes the last (NaN: none).
std::string track_points(const View& v, const Track& t, Label& end) {
  std::ostringstream points;
  end.x = NAN, end.y = NAN;
  for (std::size_t k = 0; k < t.x.size(); ++k) {
    if (!std::isfinite(t.x[k]) || !std::isfinite(t.y[k])) break;
    const double x = std::round(v.px(t.x[k]) * 10) / 10, y = std::round(v.py(t.y[k]) * 10) / 10;
    if (x == end.x && y == end.y) continue;
    points << number(x) << ',' << number(y) << ' ';
    end.x = x, end.y = y;
  }
  if (!points) fail("cannot draw the orbits", ENOMEM);
  return points.str();
}

// The track as a line, a ring at its start and a dot at its end; returns the
// dot, whose label the caller may show.
std::optional<Label> draw_track(std::ostream& svg, const View& v, const Track& t,
                                const char* colour, double dot) {
  Label end{NAN, NAN, colour, t.name};
  const std::string points = track_points(v, t, end);
  if (std::isnan(end.x)) return std::nullopt;
  svg << "<polyline points=\"" << points << "\" fill=\"none\" stroke=\"" << colour
      << "\" stroke-width=\"1.6\" stroke-opacity=\"0.85\" stroke-linejoin=\"round\"/>\n";
  const std::string stroke = std::string("stroke=\"") + colour + "\"";
  circle(svg, v, v.px(t.x.front()), v.py(t.y.front()), 2.5,
         "fill=\"none\" " + stroke + " stroke-opacity=\"0.8\"");
  circle(svg, v, end.x, end.y, dot, std::string("fill=\"") + colour + "\"");
  if (!inside(v, end.x, end.y, dot)) return std::nullopt;
  return end;
}

void panel(std::ostream& svg, const View& v, const std::vector<Track>& tracks,
           const std::vector<bool>& labelled, std::size_t heaviest, bool rings,
           const std::string& heading) {
  open_panel(svg, v);
  const std::vector<bool> shown = names_shown(tracks, labelled);
  if (rings) starting_rings(svg, v, tracks, heaviest);
  std::vector<Label> labels;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const char* colour = i == heaviest ? "#ffcc33" : kPalette[i % std::size(kPalette)];
    const auto end = draw_track(svg, v, tracks[i], colour, i == heaviest ? 7 : 4);
    if (end && shown[i]) labels.push_back(*end);
  }
  place_labels(svg, v, labels);
  close_panel(svg, v, heading);
}

std::size_t heaviest_track(const std::vector<Track>& tracks) {
  std::size_t heaviest = 0;
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    if (tracks[i].mass > tracks[heaviest].mass) heaviest = i;
  }
  return heaviest;
}

// A system ruled by one body (a star with planets) is seen from that body's
// starting point, with faint rings at each other body's starting distance
// to show how much of its orbit the run covered.
bool ruled_by(const std::vector<Track>& tracks, std::size_t heaviest) {
  double total_mass = 0;
  for (const Track& t : tracks)
    total_mass += t.mass;
  return !tracks.empty() && !tracks[heaviest].x.empty() && tracks[heaviest].mass > 0.5 * total_mass;
}

// How far a box reaches from a point along either axis.
double reach(const Box& b, double cx, double cy) {
  return std::max(
      {std::fabs(b.x0 - cx), std::fabs(b.x1 - cx), std::fabs(b.y0 - cy), std::fabs(b.y1 - cy)});
}

View whole_view(const std::vector<Box>& boxes, const Track* centre) {
  Box all;
  for (const Box& b : boxes) {
    if (!b.empty()) all.add(b);
  }
  if (all.empty()) all.add(0, 0);
  View whole = fit(all, 1.08, kGap, kTop);
  if (centre == nullptr) return whole;
  whole.cx = centre->x.front(), whole.cy = centre->y.front();
  double widest = 1.0;
  for (const Box& b : boxes) {
    if (!b.empty()) widest = std::max(widest, reach(b, whole.cx, whole.cy));
  }
  whole.half = widest * 1.08;
  return whole;
}

// Bodies that stay within an eighth of the whole view's half-width around
// its centre are lost at that scale: a close-up shows them again.
struct CloseUp {
  std::vector<bool> inner;
  Box box;
  std::size_t count = 0;
};

CloseUp close_up(const std::vector<Box>& boxes, const View& whole) {
  CloseUp close{std::vector<bool>(boxes.size(), false), {}, 0};
  for (std::size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].empty() || !(reach(boxes[i], whole.cx, whole.cy) < whole.half / 8)) continue;
    close.inner[i] = true;
    close.box.add(boxes[i]);
    ++close.count;
  }
  return close;
}

void open_document(std::ostream& svg, int width, int height, const std::string& title) {
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height
      << "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"14\">\n"
      << "<style>text{fill:#cfd6e6}.heading{font-size:15px;fill:#9aa6c2}"
         ".small{font-size:12px;fill:#9aa6c2}.title{font-size:20px;fill:#eef2fb}"
         ".tick{font-size:11px;fill:#68748f}"
         // Paper is white: printed, the picture turns light, and the light
         // track colours meant for a dark screen are darkened to stay legible.
         "@media print{.page,.panel{fill:#fff}.panel{stroke:#b0b6c3}.grid{stroke:#e4e7ee}"
         "text{fill:#1f2430}.tick{fill:#4a5265}.bar{stroke:#1f2430}"
         "polyline,circle{filter:brightness(.62) saturate(1.4)}}</style>\n"
      << "<rect class=\"page\" width=\"100%\" height=\"100%\" fill=\"#070b18\"/>\n"
      << "<text x=\"" << kGap << "\" y=\"40\" class=\"title\">" << escape(title) << "</text>\n";
}

// Where the close-up lies in the whole view.
void mark_close_up(std::ostream& svg, const View& whole, const View& near) {
  const double x0 = whole.px(near.cx - near.half), x1 = whole.px(near.cx + near.half);
  const double y0 = whole.py(near.cy + near.half), y1 = whole.py(near.cy - near.half);
  svg << "<rect x=\"" << number(x0) << "\" y=\"" << number(y0) << "\" width=\"" << number(x1 - x0)
      << "\" height=\"" << number(y1 - y0)
      << "\" fill=\"none\" stroke=\"#9aa6c2\" stroke-dasharray=\"4 3\"/>\n";
}

// The caption's lines are separated by newlines; the legend follows them.
void write_caption(std::ostream& svg, const std::string& caption, bool rings) {
  std::istringstream lines(
      caption + "\nRings: start. Dots: end." +
      (rings ? " Dotted circles: starting distance from the heaviest body." : ""));
  std::string line;
  for (int k = 0; std::getline(lines, line); ++k) {
    svg << "<text x=\"" << kGap << "\" y=\"" << kTop + kPanel + 26 + 18 * k << "\" class=\"small\">"
        << escape(line) << "</text>\n";
  }
}

}  // namespace

std::string orbits_svg(const std::vector<Track>& tracks, const std::string& title,
                       const std::string& caption) {
  const std::size_t heaviest = heaviest_track(tracks);
  const bool central = ruled_by(tracks, heaviest);
  std::vector<Box> boxes;
  for (const Track& t : tracks)
    boxes.push_back(bounds(t));
  const View whole = whole_view(boxes, central ? &tracks[heaviest] : nullptr);
  const CloseUp close = close_up(boxes, whole);
  const bool zoom = close.count >= 2 && close.count < tracks.size();
  const int panels = zoom ? 2 : 1;

  std::ostringstream svg;
  open_document(svg, panels * kPanel + (panels + 1) * kGap, kTop + kPanel + kBottom, title);
  std::vector<bool> label_whole(tracks.size());
  for (std::size_t i = 0; i < tracks.size(); ++i)
    label_whole[i] = !zoom || !close.inner[i];
  panel(svg, whole, tracks, label_whole, heaviest, central, "Seen from above (x, y)");
  if (zoom) {
    const View near = fit(close.box, 1.15, 2 * kGap + kPanel, kTop);
    mark_close_up(svg, whole, near);
    panel(svg, near, tracks, close.inner, heaviest, central, "Close-up of the inner bodies");
  }
  write_caption(svg, caption, central);
  svg << "</svg>\n";
  // A string stream that runs out of memory only sets its state: the picture
  // would be cut short without a word.
  if (!svg) fail("cannot draw the orbits", ENOMEM);
  return svg.str();
}

}  // namespace stellix::program
