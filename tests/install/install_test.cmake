# Installs the built library into a fresh prefix and builds a small host
# against it twice, through find_package(stellix CONFIG) and through
# pkg-config, then runs both; runs the installed stellix program, which must
# find the library without help.
# Usage: cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DVERSION=<x.y.z>
#              -DC_COMPILER=<cc> -DGENERATOR=<gen> -P install_test.cmake
foreach(var BUILD_DIR WORK_DIR VERSION C_COMPILER GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
set(source ${CMAKE_CURRENT_LIST_DIR}/consumer)
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The CMake package resolves libdir itself; find where the library landed.
file(GLOB_RECURSE pc_files ${prefix}/*/stellix.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "expected one stellix.pc under ${prefix}, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
get_filename_component(libdir ${pc_dir} DIRECTORY)
string(REGEX MATCH "^[0-9]+" major "${VERSION}")
foreach(file include/stellix/stellix.h share/doc/stellix/LICENSE)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
foreach(file libstellix.so libstellix.so.${major} libstellix.so.${VERSION})
  if(NOT EXISTS ${libdir}/${file})
    message(FATAL_ERROR "not installed: ${libdir}/${file}")
  endif()
endforeach()
if(NOT EXISTS ${pc_dir}/../cmake/stellix/LICENSE)
  message(FATAL_ERROR "the CMake package holds no LICENSE")
endif()
if(NOT IS_SYMLINK ${libdir}/libstellix.so.${major})
  message(FATAL_ERROR "libstellix.so.${major} should be the soname link")
endif()

set(expected_output "stellix ${VERSION} 66699999999906.078125000000000 \n")

set(launcher bash ${CMAKE_CURRENT_LIST_DIR}/../with_sanitizer_runtime.sh ${libdir}/libstellix.so
             ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir})

# 1. find_package(stellix CONFIG)
run(${CMAKE_COMMAND} -S ${source} -B ${WORK_DIR}/cmake -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_PREFIX_PATH=${prefix}
    -DEXPECTED_VERSION=${VERSION})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run(${launcher} ${WORK_DIR}/cmake/consumer)
if(NOT run_output STREQUAL expected_output)
  message(FATAL_ERROR "CMake consumer printed '${run_output}', expected '${expected_output}'")
endif()

# 2. pkg-config
find_program(PKG_CONFIG NAMES pkg-config pkgconf REQUIRED)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} ${PKG_CONFIG} --modversion stellix)
string(STRIP "${run_output}" pc_version)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "stellix.pc says version ${pc_version}, expected ${VERSION}")
endif()
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} ${PKG_CONFIG} --cflags --libs stellix)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
file(MAKE_DIRECTORY ${WORK_DIR}/pkg-config)
run(${C_COMPILER} -std=c99 -o ${WORK_DIR}/pkg-config/consumer ${source}/consumer.c ${pc_flags})
run(${launcher} ${WORK_DIR}/pkg-config/consumer)
if(NOT run_output STREQUAL expected_output)
  message(FATAL_ERROR "pkg-config consumer printed '${run_output}', expected '${expected_output}'")
endif()

# 3. the program, through its rpath alone, from a moved prefix
if(PROGRAM)
  file(RENAME ${prefix} ${WORK_DIR}/moved)
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${WORK_DIR}/moved/bin/stellix --version)
  if(NOT run_output STREQUAL "stellix ${VERSION}\n")
    message(FATAL_ERROR "bin/stellix --version printed '${run_output}'")
  endif()
endif()

file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed package consumed through CMake and pkg-config")
