# Laser range finder: its protocol layer on its own.
tarsa_test(test_vx_lrf_scip SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_lrf_scip.cpp)
