# The robot driven through the library on the simulated board, against the model's physics.
tarsa_test(test_robot_motion SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_robot_motion.cpp SIM TIMEOUT 120
           SIM_ARGS --speed ${TARSA_TEST_SPEED})
# The README's robot example, built as a program and run under the simulator.
add_executable(robot_example ${CMAKE_CURRENT_LIST_DIR}/robot_example.c)
target_link_libraries(robot_example PRIVATE tarsa)
tarsa_test(test_robot_example SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_robot_example.cpp SIM TIMEOUT 60)
add_dependencies(test_robot_example robot_example)
