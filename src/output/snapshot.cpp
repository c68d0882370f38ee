#include "snapshot.h"

#include <cstdint>

#include "text_writer.h"

namespace stellix::detail {

// One line per body: six fields each followed by a space, the mass followed
// by the newline. The newline goes through the stream, so a text-mode stream
// applies its platform's line ending.
void write_snapshot(std::FILE* stream, const Body* bodies, int32_t n) {
  if (n <= 0) return;
  TextWriter out(stream);
  for (std::int64_t i = 0; i < n; ++i) {
    const Body& b = bodies[i];
    const double fields[7] = {b.x, b.y, b.z, b.vx, b.vy, b.vz, b.mass};
    for (int k = 0; k < 6; ++k) {
      out.fixed(fields[k], 6);
      out.put(' ');
    }
    out.fixed(fields[6], 6);
    out.put('\n');
  }
}

}  // namespace stellix::detail

extern "C" {

STELLIX_API void printBodies(const Body* bodies, int32_t n) {
  stellix::detail::write_snapshot(stdout, bodies, n);
}

STELLIX_API void recordBodies(FILE* stream, const Body* bodies, int32_t n) {
  stellix::detail::write_snapshot(stream, bodies, n);
}

}  // extern "C"
