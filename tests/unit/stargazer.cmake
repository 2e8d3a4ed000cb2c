# StarGazer module: the matrix routines and the fit on their own; the serial link, parameters,
# positions and calibration against scripted replies on the simulated board's /dev/ttyO0. The
# serial tests are slow by nature (30 ms a byte): they run on the suite's faster clock, split to
# run side by side; the reader of the built-in board's sensor keeps the wall clock.
set(gazer_dir ${CMAKE_CURRENT_LIST_DIR})
set(gazer_speed --speed ${TARSA_TEST_SPEED})
set(gazer_script SCENARIO ${gazer_dir}/gazer_script.toml)
tarsa_test(test_vx_stargazer_fit SOURCES ${gazer_dir}/test_vx_stargazer_fit.cpp)
tarsa_test(test_vx_stargazer_link SOURCES ${gazer_dir}/test_vx_stargazer_link.cpp SIM ${gazer_script}
           SIM_ARGS ${gazer_speed} TIMEOUT 120)
tarsa_test(test_vx_stargazer_params SOURCES ${gazer_dir}/test_vx_stargazer_params.cpp SIM ${gazer_script}
           SIM_ARGS ${gazer_speed} TIMEOUT 120)
# Its tcflush stands in for the C library's, for the reader's own calls: exported.
tarsa_test(test_vx_stargazer_data SOURCES ${gazer_dir}/test_vx_stargazer_data.cpp SIM ${gazer_script}
           SIM_ARGS ${gazer_speed} TIMEOUT 120)
set_target_properties(test_vx_stargazer_data PROPERTIES ENABLE_EXPORTS ON)
# Defines routines under the library's names and must be found by them: exported.
tarsa_test(test_vx_stargazer_calib SOURCES ${gazer_dir}/test_vx_stargazer_calib.cpp SIM ${gazer_script}
           SIM_ARGS ${gazer_speed} TIMEOUT 120)
set_target_properties(test_vx_stargazer_calib PROPERTIES ENABLE_EXPORTS ON)
tarsa_test(test_vx_stargazer_poll SOURCES ${gazer_dir}/test_vx_stargazer_poll.cpp SIM ${gazer_script}
           SIM_ARGS ${gazer_speed} TIMEOUT 120)
# The same reader against the simulated sensor of the built-in board, streaming.
tarsa_test(test_vx_stargazer_rate SOURCES ${gazer_dir}/test_vx_stargazer_rate.cpp SIM TIMEOUT 120)
