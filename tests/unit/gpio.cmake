# GPIO module, run against the simulated user GPIO node.
tarsa_test(test_vx_gpio SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_gpio.cpp SIM)
