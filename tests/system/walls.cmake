# The robot driven into the simulated room's walls through the library, against its true pose.
tarsa_test(sim_walls_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_walls_test.cpp SIM TIMEOUT 120
           SIM_ARGS --speed ${TARSA_TEST_SPEED} --truth ${CMAKE_CURRENT_BINARY_DIR}/sim_walls_test.truth.jsonl)
