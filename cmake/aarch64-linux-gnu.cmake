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

find_program(_qemu NAMES qemu-aarch64 qemu-aarch64-static)
if(_qemu)
  # The target's own loader and C library, from the cross toolchain's sysroot.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_qemu} -L /usr/${_target})
endif()
