# Laser range finder: its protocol layer on its own, and the driver against scripted replies on
# the simulated board's USB serial node.
tarsa_test(test_vx_lrf_scip SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_lrf_scip.cpp)
tarsa_test(test_vx_lrf SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_lrf.cpp SIM)
# The simulator's range finder model on its own.
tarsa_test(test_sim_lrf SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_sim_lrf.cpp LIBS tarsa-sim-core-checked)
