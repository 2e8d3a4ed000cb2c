# camshot, run under the simulator as a user would.
tarsa_test(test_camshot SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_camshot.cpp LIBS tarsa-sim-core-checked)
add_dependencies(test_camshot camshot)
# The camera module against the simulated camera, in this process.
tarsa_test(camera_capture SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_capture.cpp SIM TIMEOUT 300
           SIM_ARGS --speed ${TARSA_TEST_SPEED})
