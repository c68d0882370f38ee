#include "viewer_page.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "systems.h"
#include "viewer_template.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first: wincrypt.h needs its types.
#include <wincrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace stellix::program {
namespace {

constexpr double kAuMetres = 149597870700.0;
constexpr std::int64_t kMaxValues = 2'000'000;  // as Python's MAX_VALUES
constexpr std::int64_t kMaxPairs = 100'000'000;
constexpr std::string_view kPlaceholder = "__STELLIX_VIEWER_DATA__";

std::string base64(const unsigned char* data, std::size_t size) {
  if (size == 0) return "";
#if defined(_WIN32)
  DWORD length = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(size), flags, nullptr, &length))
    throw std::runtime_error("base64 encoding failed");
  std::string text(length, '\0');
  if (!CryptBinaryToStringA(data, static_cast<DWORD>(size), flags, text.data(), &length))
    throw std::runtime_error("base64 encoding failed");
  text.resize(length);
  return text;
#else
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, static_cast<int>(size));
  text.resize(static_cast<std::size_t>(length));
  return text;
#endif
}

// JSON has no NaN or infinity: null stands for them. Shortest round-trip
// digits, as Python's json writes.
void number(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out.append(text, end);
}

// A JSON string of the text made well-formed UTF-8, every '<' written
// \u003c so that no name can end the script element.
void string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : well_formed(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || c == '<') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  out += '"';
}

template <class T>
void list(std::string& out, const std::vector<T>& values) {
  out += '[';
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (k > 0) out += ',';
    if constexpr (std::is_integral_v<T>) {
      out += std::to_string(values[k]);
    } else {
      number(out, values[k]);
    }
  }
  out += ']';
}

}  // namespace

ViewerPage::ViewerPage(std::string title, std::vector<std::string> names,
                       std::vector<double> masses, std::int64_t snapshots, double dt)
    : title_(std::move(title)),
      names_(std::move(names)),
      masses_(std::move(masses)),
      snapshots_(snapshots),
      dt_(dt) {
  const std::int64_t n = static_cast<std::int64_t>(masses_.size());
  const std::int64_t per_frame = 3 * std::max<std::int64_t>(n, 1);
  stride_ = std::max<std::int64_t>(1, (snapshots_ * per_frame + kMaxValues - 1) / kMaxValues);
  const std::int64_t pairs = std::max<std::int64_t>(n * (n - 1) / 2, 1);
  energy_stride_ = std::max<std::int64_t>(1, (snapshots_ * pairs + kMaxPairs - 1) / kMaxPairs);
}

bool ViewerPage::wants_energy(std::int64_t index) const {
  return index % energy_stride_ == 0 || index == snapshots_ - 1;
}

void ViewerPage::add(std::int64_t index, std::int64_t step, const std::vector<Body>& state,
                     double energy_error) {
  steps_.push_back(step);
  errors_.push_back(energy_error);
  if (index % stride_ != 0 && index != snapshots_ - 1) return;
  shown_steps_.push_back(step);
  shown_times_.push_back(static_cast<double>(step) * dt_);
  for (const Body& b : state) {
    for (double v : {b.x, b.y, b.z})
      positions_.push_back(static_cast<float>(v * (1.0 / kAuMetres)));
  }
}

std::string ViewerPage::text() const {
  std::string data = "{\"format\":\"stellix-viewer\",\"version\":1,\"title\":";
  string(data, title_);
  data += ",\"names\":[";
  for (std::size_t k = 0; k < names_.size(); ++k) {
    if (k > 0) data += ',';
    string(data, names_[k]);
  }
  data += "],\"masses\":";
  list(data, masses_);
  // A run stopped early shows the snapshots it took.
  data += ",\"snapshots\":" + std::to_string(steps_.size()) + ",\"steps\":";
  list(data, shown_steps_);
  data += ",\"times\":";
  list(data, shown_times_);
  data += ",\"time_unit\":\"s\",\"length_unit\":\"AU\",\"length_note\":";
  string(data, "lengths in AU (the run is in metres; 1 AU = 149597870700 m)");
  // Little-endian float32, as the page reads them.
  std::vector<unsigned char> bytes(4 * positions_.size());
  for (std::size_t k = 0; k < positions_.size(); ++k) {
    std::uint32_t bits;
    std::memcpy(&bits, &positions_[k], sizeof bits);
    for (int b = 0; b < 4; ++b)
      bytes[4 * k + b] = static_cast<unsigned char>(bits >> (8 * b));
  }
  data += ",\"positions\":\"" + base64(bytes.data(), bytes.size()) + "\",\"energy_steps\":";
  list(data, steps_);
  data += ",\"energy_error\":";
  list(data, errors_);
  data += '}';

  const std::string_view page = kViewerTemplate;
  const std::size_t at = page.find(kPlaceholder);
  if (at == std::string_view::npos)
    throw std::logic_error("the viewer template has no placeholder");
  return std::string(page.substr(0, at)) + data +
         std::string(page.substr(at + kPlaceholder.size()));
}

}  // namespace stellix::program
