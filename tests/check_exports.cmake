# Usage: cmake -DLIBRARY=<path> -P check_exports.cmake
find_program(NM NAMES nm llvm-nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(found "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>": every defined dynamic symbol counts, code or data.
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^ @]+)")
    list(APPEND found "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT found)
set(expected getAccelerationVectorArray getInverseDistanceCubedMatrix invsqrt printBodies
             printSquareMatrix printVector recordBodies simulate)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exactly the eight functions are exported")
