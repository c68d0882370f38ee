# Usage: cmake -DSOURCE=<tree> -DWORK=<dir> -DCXX=<compiler> -DGENERATOR=<g>
#              -P check_inexact_refused.cmake
# A library built with fast-math options would compute other bits on every
# machine and still pass for healthy, so both doors are shut: configuring
# with such flags fails with the reason, and a unit of the library compiled
# with them, past any configure, fails too.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# Runs the command after `reason`, which must fail with `reason` in its
# messages; `what` names it in a failure of this check.
function(expect_refusal what reason)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(status EQUAL 0)
    message(FATAL_ERROR "${what} succeeded")
  endif()
  if(NOT err MATCHES "${reason}")
    message(FATAL_ERROR "${what} failed without the reason:\n${err}")
  endif()
endfunction()

foreach(flags -ffast-math -Ofast -ffinite-math-only)
  expect_refusal("configuring with CMAKE_CXX_FLAGS=${flags}"
    "stellix cannot be built with these flags"
    ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/configure -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_CXX_FLAGS=${flags} -DSTELLIX_BUILD_TESTS=OFF
    -DSTELLIX_BUILD_PROGRAM=OFF -DSTELLIX_INSTALL=OFF)
  file(REMOVE_RECURSE ${WORK}/configure)
endforeach()

# Every unit of the library refuses on its own; one of the kernels and one
# of the text units stand for them all.
foreach(unit core/kernel_scalar.cpp output/snapshot.cpp)
  expect_refusal("compiling ${unit} with -ffast-math" "must not be built with -ffast-math"
    ${CXX} -std=c++20 -ffast-math -I${SOURCE}/include -I${SOURCE}/src -fsyntax-only
    ${SOURCE}/src/${unit})
endforeach()
file(REMOVE_RECURSE ${WORK})
message(STATUS "fast-math configures and builds are refused with the reason")
