# One owner of the robot: teleop, gazercal and tarsa-bridge on one simulated board, and on two.
tarsa_test(test_claim_programs SOURCES ${CMAKE_CURRENT_LIST_DIR}/claim_test.cpp SIM TIMEOUT 120)
add_dependencies(test_claim_programs teleop gazercal tarsa-bridge)
