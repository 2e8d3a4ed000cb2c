# IO board driver against the simulated board.
tarsa_test(test_plx SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_plx.cpp SIM)
