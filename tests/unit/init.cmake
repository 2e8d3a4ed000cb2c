# Library start-up: a small program started under the simulator once per option set, since
# getopt's state and the start-up itself are once per process.
add_executable(init_probe ${CMAKE_CURRENT_LIST_DIR}/init_probe.c)
target_link_libraries(init_probe PRIVATE tarsa)
tarsa_test(test_vx_init SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_init.cpp LIBS ${CMAKE_DL_LIBS})
add_dependencies(test_vx_init init_probe)
