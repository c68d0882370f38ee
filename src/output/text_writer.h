// Buffered fixed-point text, byte for byte what the C library's "%.<p>lf"
// conversion writes for a double, but rendered by std::to_chars so that it
// is fast and does not depend on the platform's printf.
#ifndef STELLIX_SRC_OUTPUT_TEXT_WRITER_H
#define STELLIX_SRC_OUTPUT_TEXT_WRITER_H

#include <cstddef>
#include <cstdio>

#include "core/exact_build.h"

namespace stellix::detail {

// The current C locale's decimal point (thread locale where there is one),
// read once per writer.
class DecimalPoint {
 public:
  DecimalPoint();
  const char* data() const { return text_; }
  std::size_t size() const { return size_; }
  bool is_period() const { return size_ == 1 && text_[0] == '.'; }

 private:
  const char* text_;
  std::size_t size_;
};

// Collects text in a local buffer and hands it to the stream in large
// writes. Nothing is flushed: the stream decides when its bytes leave.
class TextWriter {
 public:
  explicit TextWriter(std::FILE* stream) : stream_(stream) {}
  ~TextWriter() { drain(); }
  TextWriter(const TextWriter&) = delete;
  TextWriter& operator=(const TextWriter&) = delete;

  // Writes `value` as "%.<precision>lf" would, except that every NaN is
  // "nan": the sign of a NaN carries no meaning, and printf would show the
  // one 0*inf leaves as "-nan". precision must be at most kMaxPrecision.
  void fixed(double value, int precision);
  void put(char c) {
    if (used_ == kCapacity) drain();
    buffer_[used_++] = c;
  }
  void append(const char* text, std::size_t size);

  static constexpr int kMaxPrecision = 17;

 private:
  void drain();

  // "-" + 309 integer digits of DBL_MAX + "." + the fraction, with room to
  // spare.
  static constexpr std::size_t kMaxField = 1 + 309 + 1 + kMaxPrecision + 8;
  static constexpr std::size_t kCapacity = 8192;

  std::FILE* stream_;
  DecimalPoint point_;
  std::size_t used_ = 0;
  char buffer_[kCapacity];
};

}  // namespace stellix::detail

#endif  // STELLIX_SRC_OUTPUT_TEXT_WRITER_H
