# Install rules: the public header, the versioned shared library, a CMake
# package (find_package(stellix CONFIG) -> stellix::stellix), stellix.pc and
# the licence, in the documentation directory and beside the package files.
# The stellix program's own rule is in tools/stellix/.
# Only the shared library is installed; the internal static library exists for
# the project's own tests and benchmarks.
include(CMakePackageConfigHelpers)

set(STELLIX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/stellix
    CACHE STRING "Where the CMake package files go, relative to the prefix")
set(STELLIX_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    CACHE STRING "Where stellix.pc goes, relative to the prefix")

install(TARGETS stellix EXPORT stellixTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/stellix/stellix.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/stellix COMPONENT development)

install(EXPORT stellixTargets
  NAMESPACE stellix::
  FILE stellixTargets.cmake
  DESTINATION ${STELLIX_INSTALL_CMAKEDIR} COMPONENT development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/stellixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/stellixConfig.cmake
  INSTALL_DESTINATION ${STELLIX_INSTALL_CMAKEDIR})
# A new major version is a new ABI; any 1.x satisfies a request for 1.y <= x.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/stellixConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/stellixConfig.cmake
    ${PROJECT_BINARY_DIR}/stellixConfigVersion.cmake
    ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${STELLIX_INSTALL_CMAKEDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

# stellix.pc finds its prefix relative to its own directory, so the installed
# tree can be moved or installed with `cmake --install --prefix`.
if(IS_ABSOLUTE "${STELLIX_INSTALL_PKGCONFIGDIR}")
  set(STELLIX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _stellix_pc_up "/prefix/${STELLIX_INSTALL_PKGCONFIGDIR}" "/prefix")
  string(REGEX REPLACE "/$" "" _stellix_pc_up "${_stellix_pc_up}")
  set(STELLIX_PC_PREFIX "\${pcfiledir}/${_stellix_pc_up}")
endif()
foreach(_dir INCLUDEDIR LIBDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(STELLIX_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(STELLIX_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/stellix.pc.in ${PROJECT_BINARY_DIR}/stellix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/stellix.pc
  DESTINATION ${STELLIX_INSTALL_PKGCONFIGDIR} COMPONENT development)
