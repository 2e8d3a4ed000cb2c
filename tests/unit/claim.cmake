# The robot's claim, on the simulated board's /run/lock.
tarsa_test(test_tr4_claim SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tr4_claim.cpp SIM)
