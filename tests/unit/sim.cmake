# Board simulator: scenario reading and the models, without any preload.
tarsa_test(test_sim_scenario SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sim_scenario.cpp LIBS tarsa-sim-core-checked)
tarsa_test(test_sim_stargazer SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sim_stargazer.cpp LIBS tarsa-sim-core-checked)
tarsa_test(test_sim_camera SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sim_camera.cpp LIBS tarsa-sim-core-checked)
