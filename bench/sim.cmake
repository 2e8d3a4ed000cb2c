# Simulator costs. A marker file next to a program makes scripts/bench.sh run it under tarsa-sim.
add_executable(bench_sim_rdwr ${CMAKE_CURRENT_LIST_DIR}/bench_sim_rdwr.cpp)
target_link_libraries(bench_sim_rdwr PRIVATE benchmark::benchmark ${CMAKE_DL_LIBS})
file(TOUCH ${CMAKE_CURRENT_BINARY_DIR}/bench_sim_rdwr.sim)
