# Gripper driver against the simulated arm and hand modules.
tarsa_test(test_vx_gripper SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_gripper.cpp SIM)
