# teleop on the simulated robot, driven by a host on UDP port 3000 (so they run alone).
tarsa_test(teleop_system_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/teleop_system_test.cpp
           LIBS teleop_host_core SERIAL TIMEOUT 240)
add_dependencies(teleop_system_test teleop tarsa-sim)
target_compile_definitions(teleop_system_test PRIVATE TARSA_TEST_SPEED=${TARSA_TEST_SPEED})
