# Range finder: the driver's decoding of one full scan reply, and one whole scan through the
# simulator's range finder (run under tarsa-sim: the marker file beside the program).
if(NOT TARGET tarsa)
  return()
endif()
add_executable(bench_lrf ${CMAKE_CURRENT_LIST_DIR}/bench_lrf.cpp)
target_include_directories(bench_lrf PRIVATE ${PROJECT_SOURCE_DIR}/lib)
target_link_libraries(bench_lrf PRIVATE tarsa benchmark::benchmark)
file(TOUCH ${CMAKE_CURRENT_BINARY_DIR}/bench_lrf.sim)
