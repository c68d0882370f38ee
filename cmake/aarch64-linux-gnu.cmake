# Cross-builds for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu, and
# runs what it builds under qemu-aarch64 (package qemu-user), so that CTest
# drives the tests as on a native machine:
#   cmake --preset aarch64
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(_target aarch64-linux-gnu)
find_program(CMAKE_C_COMPILER NAMES ${_target}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_target}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's multiarch libraries for the target (libssl-dev:arm64, for the
# program's fingerprint) live in /usr/lib/aarch64-linux-gnu, where the cross
# compiler looks by itself but CMake, rooted in the toolchain's sysroot, does
# not.
set(OPENSSL_INCLUDE_DIR /usr/include CACHE PATH "OpenSSL's headers (shared by every architecture)")
set(OPENSSL_CRYPTO_LIBRARY /usr/lib/${_target}/libcrypto.so CACHE FILEPATH "the target's libcrypto")

find_program(_qemu NAMES qemu-aarch64 qemu-aarch64-static)
if(_qemu)
  # The target's own loader and C library, from the cross toolchain's sysroot.
  # The C library is named first, ahead of the loader's cache: with Debian's
  # arm64 packages installed too (libssl-dev:arm64), the cache names their C
  # library, and a mix of the two hangs forked children.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu} -L /usr/${_target} -E
                                    LD_LIBRARY_PATH=/usr/${_target}/lib)
endif()
