# Robot base driver against the simulated microcontroller.
tarsa_test(test_vx_tarsa4 SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_tarsa4.cpp SIM)
