# gpiotool typed at on a pseudo-terminal, sharing the test's simulated board.
tarsa_test(gpiotool_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gpiotool_test.cpp SIM TIMEOUT 120)
add_dependencies(gpiotool_test gpiotool)
