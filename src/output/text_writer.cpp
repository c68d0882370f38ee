#include "text_writer.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <langinfo.h>
#else
#include <clocale>
#endif

namespace stellix::detail {

DecimalPoint::DecimalPoint() {
#if defined(__unix__) || defined(__APPLE__)
  // nl_langinfo reads the calling thread's locale without writing shared
  // storage, unlike glibc's localeconv.
  text_ = nl_langinfo(RADIXCHAR);
#else
  text_ = std::localeconv()->decimal_point;
#endif
  if (text_ == nullptr || text_[0] == '\0') text_ = ".";
  size_ = std::strlen(text_);
}

void TextWriter::drain() {
  if (used_ > 0) std::fwrite(buffer_, 1, used_, stream_);
  used_ = 0;
}

void TextWriter::append(const char* text, std::size_t size) {
  while (size > 0) {
    if (used_ == kCapacity) drain();
    const std::size_t chunk = size < kCapacity - used_ ? size : kCapacity - used_;
    std::memcpy(buffer_ + used_, text, chunk);
    used_ += chunk;
    text += chunk;
    size -= chunk;
  }
}

void TextWriter::fixed(double value, int precision) {
  if (std::isnan(value)) {
    append("nan", 3);
    return;
  }
  if (kCapacity - used_ < kMaxField) drain();
  char* first = buffer_ + used_;
  // Fixed notation with a precision rounds the exact binary value to nearest,
  // ties to even, exactly as printf does; infinities come out as "inf" and
  // "-inf" and negative zero keeps its sign.
  const auto [last, error] =
      std::to_chars(first, buffer_ + kCapacity, value, std::chars_format::fixed, precision);
  (void)error;  // kMaxField bytes are always available
  used_ += static_cast<std::size_t>(last - first);
  if (point_.is_period() || precision == 0 || std::isinf(value)) return;
  // Another locale's decimal point, which may be longer than one byte: take
  // the fraction back out and write it after the locale's point.
  char fraction[kMaxPrecision];
  const auto digits = static_cast<std::size_t>(precision);
  used_ -= digits + 1;
  std::memcpy(fraction, buffer_ + used_ + 1, digits);
  append(point_.data(), point_.size());
  append(fraction, digits);
}

}  // namespace stellix::detail
