#include "fingerprint.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#if defined(_WIN32)
// Windows' own hash, in every Windows since 10 (and in wine).
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace stellix::program {
namespace {

constexpr std::size_t kDigestBytes = 32;

#if defined(_WIN32)
void sha256(const unsigned char* data, std::size_t size, unsigned char* digest) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
    throw std::runtime_error("SHA-256 is not available from the system (BCrypt)");
  const NTSTATUS status = BCryptHash(algorithm, nullptr, 0, const_cast<unsigned char*>(data),
                                     static_cast<ULONG>(size), digest, kDigestBytes);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  if (status != 0) throw std::runtime_error("SHA-256 of the state failed (BCrypt)");
}
#else
void sha256(const unsigned char* data, std::size_t size, unsigned char* digest) {
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1 || length != kDigestBytes)
    throw std::runtime_error("SHA-256 of the state failed (OpenSSL)");
}
#endif

}  // namespace

std::vector<unsigned char> canonical_bytes(const double* values, std::size_t count) {
  std::vector<unsigned char> bytes(8 * count);
  for (std::size_t k = 0; k < count; ++k) {
    std::uint64_t bits = 0x7ff8000000000000ull;
    if (!std::isnan(values[k])) std::memcpy(&bits, &values[k], sizeof bits);
    for (int b = 0; b < 8; ++b)
      bytes[8 * k + b] = static_cast<unsigned char>(bits >> (8 * b));
  }
  return bytes;
}

std::string fingerprint(const double* values, std::size_t count) {
  const std::vector<unsigned char> bytes = canonical_bytes(values, count);
  unsigned char digest[kDigestBytes];
  sha256(bytes.data(), bytes.size(), digest);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

std::string fingerprint(const std::vector<Body>& bodies) {
  static_assert(sizeof(Body) == 7 * sizeof(double), "a Body is seven doubles");
  return fingerprint(reinterpret_cast<const double*>(bodies.data()), 7 * bodies.size());
}

}  // namespace stellix::program
