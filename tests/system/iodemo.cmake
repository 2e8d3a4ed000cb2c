# iodemo and iodemo_le under the simulator.
tarsa_test(iodemo_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/iodemo_test.cpp TIMEOUT 120)
add_dependencies(iodemo_test iodemo iodemo_le tarsa-sim)
