# teleop and teleop-host: their functions without a robot.
tarsa_test(teleop_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/teleop_test.cpp LIBS teleop_lib)
tarsa_test(teleop_tcp_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/teleop_tcp_test.cpp LIBS teleop_lib SERIAL)
tarsa_test(teleop_host_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/teleop_host_test.cpp LIBS teleop_host_core)
add_dependencies(teleop_host_test teleop-host)
tarsa_test(teleop_fuzz_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/teleop_fuzz_test.cpp LIBS teleop_lib teleop_host_core)
tarsa_test(teleop_stop_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/teleop_stop_test.cpp LIBS teleop_lib)
