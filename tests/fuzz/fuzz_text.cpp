// Fixed-point text of single doubles against the C library's own "%.<p>lf"
// (with every NaN as "nan"), in the C locale and, where one is installed, a
// locale whose decimal point is a comma.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "output/text_writer.h"
#include "reference.h"

namespace {

const char* comma_locale() {
  static const char* found = [] {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"}) {
      if (std::setlocale(LC_NUMERIC, name) != nullptr) {
        std::setlocale(LC_NUMERIC, "C");
        return name;
      }
    }
    return static_cast<const char*>(nullptr);
  }();
  return found;
}

std::string written(const std::vector<double>& values, int precision) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* stream = open_memstream(&buffer, &size);
  if (stream == nullptr) std::abort();
  {
    stellix::detail::TextWriter out(stream);
    for (double v : values) {
      out.fixed(v, precision);
      out.put(' ');
    }
  }
  std::fclose(stream);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::Input in(data, size);
  const std::uint8_t mode = in.byte();
  const int precision = (mode & 1) ? 15 : 6;
  const bool use_comma = (mode & 2) && comma_locale() != nullptr;
  std::vector<double> values;
  for (int count = in.byte() % 32; count > 0; --count)
    values.push_back(in.value());

  if (use_comma) std::setlocale(LC_NUMERIC, comma_locale());
  std::string want;
  for (double v : values)
    want += reference::fixed(v, precision) + " ";
  const std::string got = written(values, precision);
  if (use_comma) std::setlocale(LC_NUMERIC, "C");
  if (got != want) {
    std::fprintf(stderr, "text differs (precision %d, locale %s):\nwant: %s\ngot:  %s\n", precision,
                 use_comma ? comma_locale() : "C", want.c_str(), got.c_str());
    std::abort();
  }
  return 0;
}
