# camshot, run under the simulator as a user would.
if(TARGET camshot)
  tarsa_test(test_camshot SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_camshot.cpp
             LIBS tarsa-sim-core-checked)
endif()
# The camera module against the simulated camera, in this process.
if(TARGET tarsa-sim)
  tarsa_test(camera_capture SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_capture.cpp SIM TIMEOUT 300)
endif()
