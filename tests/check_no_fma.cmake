# Usage: cmake -DLIBRARY=<path> [-DOBJDUMP=<objdump of the target>]
#              [-DSIGNATURES=<regex;...>] -P check_no_fma.cmake
# Results are defined with one rounding per operation: not one fused
# multiply-add may appear in the library's machine code, whatever the
# compiler would contract intrinsic multiplies and adds into: on x86-64 the
# vfmadd/vfnmsub family, on aarch64 fmadd/fmsub/fnmadd/fnmsub and the vector
# fmla/fmls.
if(NOT OBJDUMP)
  find_program(OBJDUMP NAMES objdump llvm-objdump REQUIRED)
endif()
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]*[ \t](v?fn?m(add|sub)|fml[as])[a-z0-9]*[ \t][^\n]*" fused
       "${listing}")
list(LENGTH fused count)
if(count GREATER 0)
  list(SUBLIST fused 0 5 first)
  string(REPLACE ";" "\n" first "${first}")
  message(FATAL_ERROR "${count} fused multiply-add instructions in ${LIBRARY}, e.g.\n${first}")
endif()
# Every instruction set's kernels that this build compiles must be there, or
# the check proves nothing about them: SIGNATURES holds one instruction that
# only each set's kernels contain (cmake/stellixIsas.cmake).
foreach(signature IN LISTS SIGNATURES)
  string(REGEX MATCHALL "${signature}" found "${listing}")
  list(LENGTH found count)
  if(count EQUAL 0)
    message(FATAL_ERROR "no instruction matching '${signature}' in ${LIBRARY}: "
                        "kernels that this build compiles are missing")
  endif()
  message(STATUS "${count} instructions matching '${signature}'")
endforeach()
message(STATUS "no fused multiply-add")
