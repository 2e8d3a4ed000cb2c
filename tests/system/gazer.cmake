# gazerdemo and gazercal run under the simulator as a user would.
tarsa_test(test_gazer_programs SOURCES ${CMAKE_CURRENT_LIST_DIR}/gazer_programs_test.cpp
           SIM TIMEOUT 120)
add_dependencies(test_gazer_programs gazerdemo gazercal)
# The same programs against the simulated sensor, on the suite's faster clock but for one
# calibration; the jammed robot takes its minute of the robot's time, alone.
tarsa_test(test_gazer_model SOURCES ${CMAKE_CURRENT_LIST_DIR}/gazer_model_test.cpp SIM TIMEOUT 180)
add_dependencies(test_gazer_model gazerdemo gazercal)
set_tests_properties(test_gazer_model PROPERTIES ENVIRONMENT "GTEST_FILTER=GazerModel.*")
target_compile_definitions(test_gazer_model PRIVATE TARSA_TEST_SPEED=${TARSA_TEST_SPEED})
add_test(NAME test_gazer_model_jammed
         COMMAND tarsa-sim --trace ${CMAKE_CURRENT_BINARY_DIR}/test_gazer_model_jammed.trace.jsonl
                 -- $<TARGET_FILE:test_gazer_model> --gtest_filter=GazerModelJammed.*)
set_tests_properties(test_gazer_model_jammed PROPERTIES TIMEOUT 180 RUN_SERIAL TRUE)
