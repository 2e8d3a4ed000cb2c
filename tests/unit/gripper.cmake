# Gripper driver against the simulated arm and hand modules.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/lib/gripper/vx_gripper.cpp)
  return()
endif()
tarsa_test(test_vx_gripper SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_gripper.cpp SIM)
