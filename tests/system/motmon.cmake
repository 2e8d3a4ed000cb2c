# motmon and motmon_le under the simulator.
tarsa_test(motmon_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/motmon_test.cpp TIMEOUT 120)
add_dependencies(motmon_test motmon motmon_le tarsa-sim)
set_tests_properties(motmon_test PROPERTIES ENVIRONMENT TARSA_SIM_SPEED=${TARSA_TEST_SPEED})
