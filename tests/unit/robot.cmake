# Robot base driver against the simulated microcontroller.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/lib/robot/vx_tarsa4.cpp)
  return()
endif()
tarsa_test(test_vx_tarsa4 SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_tarsa4.cpp SIM)
