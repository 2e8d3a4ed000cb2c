# The robot driven through the library on the simulated board, against the model's physics.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/lib/robot/vx_tarsa4.cpp)
  return()
endif()
tarsa_test(test_robot_motion SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_robot_motion.cpp SIM TIMEOUT 120)
