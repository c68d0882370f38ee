#include "checkpoint.h"

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <optional>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "elements.h"
#include "output_files.h"

namespace stellix::program {

namespace {

constexpr const char* kMagic = "stellix checkpoint 1";

std::string hex(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, bits);
  return text;
}

// A string as one word: '=' then its bytes, those that are not printable
// ASCII (and '%') as %XX; "=" alone is the empty string.
std::string word(const std::string& text) {
  std::string out = "=";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7f || c == '%') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", byte);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

void optional_line(std::ostream& out, const char* key, const std::optional<std::string>& value) {
  if (value) out << key << ' ' << word(*value) << '\n';
}

void write_options(std::ostream& out, const Options& o) {
  out << "steps " << o.steps << "\ninterval " << o.stride() << "\ndt " << hex(o.dt) << "\nprint "
      << o.print << "\nfingerprint " << o.fingerprint << "\nevery " << hex(o.checkpoint_every)
      << '\n';
  optional_line(out, "record", o.record);
  optional_line(out, "save", o.save);
  optional_line(out, "svg", o.svg);
  if (o.units != "si") optional_line(out, "units", o.units);
}

void write_progress(std::ostream& out, const Progress& p) {
  out << "done " << p.done << "\nsnapshots " << p.snapshots << "\nnon_finite_step "
      << p.non_finite_step << "\npicture_step " << p.picture_step << "\nenergy " << p.energy.defined
      << ' ' << p.energy.samples << ' ' << p.energy.bodies << ' ' << hex(p.energy.before) << ' '
      << hex(p.energy.worst) << '\n';
  if (!p.record_temporary.empty()) out << "record_temporary " << word(p.record_temporary) << '\n';
  out << "record_bytes " << p.record_bytes << '\n';
  for (const std::string& leftover : p.leftovers)
    out << "leftover " << word(leftover) << '\n';
}

void write_state(std::ostream& out, const Checkpoint& c) {
  out << "title " << word(c.system.title) << "\nbodies " << c.system.bodies.size() << '\n';
  for (std::size_t i = 0; i < c.system.bodies.size(); ++i) {
    const Body& b = c.system.bodies[i];
    for (const double v : {b.x, b.y, b.z, b.vx, b.vy, b.vz, b.mass})
      out << hex(v) << ' ';
    out << word(c.system.names[i]) << '\n';
  }
  const std::size_t points = c.tracks.empty() ? 0 : c.tracks[0].x.size();
  out << "points " << points << '\n';
  for (const Track& t : points > 0 ? c.tracks : std::vector<Track>()) {
    for (std::size_t k = 0; k < t.x.size(); ++k)
      out << hex(t.x[k]) << ' ' << hex(t.y[k]) << (k + 1 < t.x.size() ? " " : "");
    out << '\n';
  }
}

// The lines of a checkpoint, each "key value", in the order written.
class Reader {
 public:
  explicit Reader(const std::string& path) : in_(path, std::ios::binary), name_(printable(path)) {
    if (!in_) fail(name_ + ": cannot open the checkpoint", errno);
    std::string magic;
    if (!std::getline(in_, magic) || magic != kMagic) damaged("not a stellix checkpoint");
    advance();
  }
  // Names the line last taken.
  [[noreturn]] void damaged(const std::string& why) const {
    throw std::runtime_error(name_ + ":" + std::to_string(taken_) + ": " + why);
  }
  bool has(const char* key) const { return !ended_ && key_ == key; }
  std::string value(const char* key) {
    taken_ = number_;
    if (!has(key)) damaged(std::string("expected '") + key + "'");
    std::string value = std::move(value_);
    advance();
    return value;
  }
  std::int64_t count(const char* key) { return integer(value(key)); }
  std::int64_t integer(const std::string& text) const {
    std::int64_t v = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || ptr != text.data() + text.size()) damaged("not a number: " + text);
    return v;
  }
  double number(const std::string& text) const {
    std::uint64_t bits = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), bits, 16);
    if (ec != std::errc() || ptr != text.data() + text.size() || text.size() != 16)
      damaged("not 16 hex digits: " + text);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  }
  std::string text(const std::string& word) const {
    if (word.empty() || word[0] != '=') damaged("not a word: " + word);
    std::string out;
    for (std::size_t k = 1; k < word.size(); ++k) {
      if (word[k] != '%') {
        out += word[k];
        continue;
      }
      unsigned code = 0;
      if (k + 2 >= word.size() ||
          std::from_chars(word.data() + k + 1, word.data() + k + 3, code, 16).ptr !=
              word.data() + k + 3)
        damaged("a bad escape in " + word);
      out += static_cast<char>(code), k += 2;
    }
    return out;
  }
  std::optional<std::string> optional_text(const char* key) {
    if (!has(key)) return std::nullopt;
    return text(value(key));
  }
  // The rest of the current line, split at spaces, and the next line read.
  std::vector<std::string> fields() {
    taken_ = number_;
    if (ended_) damaged("the checkpoint ends early");
    std::vector<std::string> out;
    std::istringstream words(line_);
    for (std::string w; words >> w;)
      out.push_back(w);
    advance();
    return out;
  }

 private:
  void advance() {
    ++number_;
    if (!std::getline(in_, line_)) {
      if (in_.bad()) fail(name_ + ": cannot read the checkpoint", errno);
      ended_ = true;
      return;
    }
    const auto space = line_.find(' ');
    key_ = line_.substr(0, space);
    value_ = space == std::string::npos ? "" : line_.substr(space + 1);
  }

  std::ifstream in_;
  std::string name_, line_, key_, value_;
  long long number_ = 1, taken_ = 1;
  bool ended_ = false;
};

void read_options(Reader& in, Options& o) {
  o.steps = static_cast<std::int32_t>(in.count("steps"));
  o.interval = static_cast<std::int32_t>(in.count("interval"));
  o.dt = in.number(in.value("dt"));
  o.print = in.count("print") != 0;
  o.fingerprint = in.count("fingerprint") != 0;
  o.checkpoint_every = in.number(in.value("every"));
  o.record = in.optional_text("record");
  o.save = in.optional_text("save");
  o.svg = in.optional_text("svg");
  o.units = in.optional_text("units").value_or("si");
  if (unit_preset(o.units) == nullptr) in.damaged("unknown units");
  if (o.steps < 1 || *o.interval < 1) in.damaged("a run of no steps");
}

void read_progress(Reader& in, Progress& p) {
  p.done = in.count("done");
  p.snapshots = in.count("snapshots");
  p.non_finite_step = in.count("non_finite_step");
  p.picture_step = in.count("picture_step");
  if (!in.has("energy")) in.damaged("expected 'energy'");
  const std::vector<std::string> e = in.fields();
  if (e.size() != 6) in.damaged("expected 5 fields of energy");
  p.energy = EnergyState{in.integer(e[3]), in.integer(e[2]), in.number(e[4]), in.number(e[5]),
                         in.integer(e[1]) != 0};
  if (const auto temporary = in.optional_text("record_temporary")) p.record_temporary = *temporary;
  p.record_bytes = in.count("record_bytes");
  while (in.has("leftover"))
    p.leftovers.push_back(in.text(in.value("leftover")));
}

void read_state(Reader& in, Checkpoint& c) {
  c.system.title = in.text(in.value("title"));
  const std::int64_t n = in.count("bodies");
  if (n < 1 || n > STELLIX_MAX_BODIES) in.damaged("a bad number of bodies");
  for (std::int64_t i = 0; i < n; ++i) {
    const std::vector<std::string> f = in.fields();
    if (f.size() != 8) in.damaged("expected 7 numbers and a name");
    double v[7];
    for (int k = 0; k < 7; ++k)
      v[k] = in.number(f[static_cast<std::size_t>(k)]);
    c.system.bodies.push_back(Body{v[0], v[1], v[2], v[3], v[4], v[5], v[6]});
    c.system.names.push_back(in.text(f[7]));
  }
  const std::int64_t points = in.count("points");
  for (std::int64_t i = 0; points > 0 && i < n; ++i) {
    const std::vector<std::string> f = in.fields();
    if (static_cast<std::int64_t>(f.size()) != 2 * points) in.damaged("a track of other length");
    Track t{body_label(c.system, static_cast<std::size_t>(i)), c.system.bodies[i].mass, {}, {}};
    for (std::size_t k = 0; k < f.size(); k += 2)
      t.x.push_back(in.number(f[k])), t.y.push_back(in.number(f[k + 1]));
    c.tracks.push_back(std::move(t));
  }
  in.value("end");
}

}  // namespace

std::string shell_word(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_./-+=:,@%") == std::string::npos;
  if (plain) return text;
  std::string quoted = "'";
  for (const char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return printable(quoted + "'");
}

void write_checkpoint(const std::string& path, const Checkpoint& checkpoint) {
  std::ostringstream out;
  out << kMagic << '\n';
  write_options(out, checkpoint.options);
  write_progress(out, checkpoint.progress);
  write_state(out, checkpoint);
  out << "end\n";
  if (!out) throw std::runtime_error("no memory for the checkpoint " + printable(path));
  const std::string text = out.str();
  Output file(path, true);
  file.write(text.data(), text.size());
  file.commit();
}

}  // namespace stellix::program

namespace stellix::program {

void remove_leftovers(const std::vector<std::string>& leftovers) {
  for (const std::string& leftover : leftovers) {
    const std::filesystem::path path(leftover);
    if (!path.filename().string().starts_with(".stellix-")) continue;
    std::error_code ignored;
    std::filesystem::remove(path / "output.csv", ignored);
    std::filesystem::remove(path, ignored);
  }
}

Checkpoint read_checkpoint(const std::string& path) {
  Reader in(path);
  Checkpoint c;
  read_options(in, c.options);
  read_progress(in, c.progress);
  read_state(in, c);
  c.options.checkpoint = path;
  if (c.progress.done < 0 || c.progress.done > c.options.steps)
    in.damaged("steps done past the run");
  return c;
}

}  // namespace stellix::program
