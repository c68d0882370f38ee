# Every instruction set with kernels of its own, one line each, in the order
# of src/core/isa_registry.h:
#
#   stellix_isa(NAME [PROCESSORS regex] [FLAGS ...] [GNU_FLAGS ...]
#               [CPUINFO flag] [SIGNATURE regex])
#
# PROCESSORS  the CMAKE_SYSTEM_PROCESSOR values (lower case) whose builds
#             compile src/core/kernel_NAME.cpp with its instruction set;
#             elsewhere the unit says that the build has none. Default: all.
# FLAGS       what that unit alone is compiled with (GCC and Clang).
# GNU_FLAGS   more of them for GCC alone.
# CPUINFO     the /proc/cpuinfo flag of a processor that runs the kernels, for
#             scripts/test's stages with the kernels forced.
# SIGNATURE   an instruction that only these kernels contain, so that the
#             machine-code check (tests/check_no_fma.cmake) knows they are in
#             the library.
#
# The list drives the library's sources and their flags (src/CMakeLists.txt),
# the values STELLIX_FORCE_ISA accepts, the machine-code check and the forced
# stages of scripts/test. Run as a script (cmake -P) it prints one line per
# instruction set this machine's processor builds: "NAME CPUINFO".
set(STELLIX_ISAS "")

function(stellix_isa name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PROCESSORS;CPUINFO;SIGNATURE" "FLAGS;GNU_FLAGS")
  set(STELLIX_ISAS ${STELLIX_ISAS} ${name} PARENT_SCOPE)
  foreach(field PROCESSORS CPUINFO SIGNATURE FLAGS GNU_FLAGS)
    set(STELLIX_ISA_${name}_${field} "${arg_${field}}" PARENT_SCOPE)
  endforeach()
endfunction()

# Scheduling before register allocation, aware of register pressure, keeps
# the tile loops free of spills (about 20% on AVX-512). It moves
# instructions, never changes an operation or its operands.
set(_stellix_schedule -fschedule-insns -fsched-pressure)

stellix_isa(scalar)
stellix_isa(avx2 PROCESSORS "x86_64|amd64|x64" FLAGS -mavx2 GNU_FLAGS ${_stellix_schedule}
            CPUINFO avx2 SIGNATURE "vsqrtpd[ \t]+%ymm")
stellix_isa(avx512 PROCESSORS "x86_64|amd64|x64" FLAGS -mavx512f GNU_FLAGS ${_stellix_schedule}
            CPUINFO avx512f SIGNATURE "vsqrtpd[ \t]+%zmm")
stellix_isa(neon PROCESSORS "aarch64|arm64" CPUINFO asimd SIGNATURE "fsqrt[ \t]+v[0-9]+\\.2d")

# Whether a build for `processor` compiles `isa`'s kernels, into `out`.
function(stellix_isa_builds_for isa processor out)
  string(TOLOWER "${processor}" processor)
  set(pattern "${STELLIX_ISA_${isa}_PROCESSORS}")
  if(pattern STREQUAL "" OR processor MATCHES "^(${pattern})$")
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_host_system_information(RESULT _stellix_host QUERY OS_PLATFORM)
  foreach(isa IN LISTS STELLIX_ISAS)
    stellix_isa_builds_for(${isa} "${_stellix_host}" builds)
    if(builds)
      execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${isa} ${STELLIX_ISA_${isa}_CPUINFO}")
    endif()
  endforeach()
endif()
