# The straightforward reference code as a small library, shared by the tests
# and the benchmarks (which may be built without the tests).
if(NOT TARGET stellix_reference)
  add_library(stellix_reference STATIC ${CMAKE_CURRENT_LIST_DIR}/reference.cpp)
  target_include_directories(stellix_reference PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                                                      ${PROJECT_SOURCE_DIR}/include)
endif()
