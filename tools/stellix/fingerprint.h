// The fingerprint of a result: the SHA-256 of its doubles, so that two
// machines can show in 64 hex digits that they computed the same bits.
#ifndef STELLIX_PROGRAM_FINGERPRINT_H
#define STELLIX_PROGRAM_FINGERPRINT_H

#include <stellix/stellix.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stellix::program {

// The bytes that are hashed: each double's binary64 pattern, least
// significant byte first, in the order given (a Body's seven fields in
// their order), with every NaN written as 0x7ff8000000000000. A NaN's sign
// and payload carry no meaning, and x86-64 and aarch64 make different ones.
std::vector<unsigned char> canonical_bytes(const double* values, std::size_t count);

// SHA-256 of canonical_bytes, as 64 lower-case hex digits. Throws
// std::runtime_error if the system's hash cannot be had.
std::string fingerprint(const double* values, std::size_t count);
std::string fingerprint(const std::vector<Body>& bodies);

}  // namespace stellix::program

#endif  // STELLIX_PROGRAM_FINGERPRINT_H
