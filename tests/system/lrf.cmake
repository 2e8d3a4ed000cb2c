# lrfpower and lrfdemo under the simulator.
tarsa_test(lrf_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/lrf_test.cpp TIMEOUT 120)
add_dependencies(lrf_test lrfpower lrfdemo tarsa-sim)
set_tests_properties(lrf_test PROPERTIES ENVIRONMENT TARSA_SIM_SPEED=${TARSA_TEST_SPEED})
