# Robot base driver against the simulated microcontroller.
tarsa_test(test_vx_tarsa4 SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_tarsa4.cpp SIM)
# The robot's model: control law, odometry and decoding, and its start-up and stop on the bus.
tarsa_test(test_tr4_model SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tr4_model.cpp SIM)
