# Usage: cmake -DSOURCE=<tree> -DWORK=<dir> -DCXX=<compiler> -DGENERATOR=<g>
#              -P check_inexact_refused.cmake
# A library built with fast-math options would compute other bits on every
# machine and still pass for healthy, so both doors are shut: configuring
# with such flags fails with the reason, and a unit of the library compiled
# with them, past any configure, fails too.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

foreach(flags -ffast-math -Ofast -ffinite-math-only)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/configure -G ${GENERATOR}
            -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_CXX_FLAGS=${flags} -DSTELLIX_BUILD_TESTS=OFF
            -DSTELLIX_BUILD_PROGRAM=OFF -DSTELLIX_INSTALL=OFF
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(status EQUAL 0)
    message(FATAL_ERROR "configuring with CMAKE_CXX_FLAGS=${flags} succeeded")
  endif()
  if(NOT err MATCHES "stellix cannot be built with these flags")
    message(FATAL_ERROR "configuring with ${flags} failed without the reason:\n${err}")
  endif()
  file(REMOVE_RECURSE ${WORK}/configure)
endforeach()

# Every unit of the library refuses on its own; one of the kernels and one
# of the text units stand for them all.
foreach(unit core/kernel_scalar.cpp output/snapshot.cpp)
  execute_process(
    COMMAND ${CXX} -std=c++20 -ffast-math -I${SOURCE}/include -I${SOURCE}/src -fsyntax-only
            ${SOURCE}/src/${unit}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(status EQUAL 0)
    message(FATAL_ERROR "${unit} compiled with -ffast-math")
  endif()
  if(NOT err MATCHES "must not be built with -ffast-math")
    message(FATAL_ERROR "${unit} failed with -ffast-math without the reason:\n${err}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
message(STATUS "fast-math configures and builds are refused with the reason")
