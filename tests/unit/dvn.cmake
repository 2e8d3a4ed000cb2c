# Motor board driver against the simulated motors; the motor monitor's line wait.
tarsa_test(test_dvn SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dvn.cpp SIM)
tarsa_test(test_dvn_wait SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dvn_wait.cpp LIBS motmon_wait)
