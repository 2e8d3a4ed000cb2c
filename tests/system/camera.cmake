# camshot, run under the simulator as a user would.
if(TARGET camshot)
  tarsa_test(test_camshot SOURCES ${CMAKE_CURRENT_LIST_DIR}/camera_camshot.cpp)
endif()
