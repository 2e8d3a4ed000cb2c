# Motor board driver against the simulated motors; the motor monitor's line wait.
if(NOT EXISTS ${PROJECT_SOURCE_DIR}/lib/boards/dvn.cpp)
  return()
endif()
tarsa_test(test_dvn SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dvn.cpp SIM)
if(TARGET motmon_wait)
  tarsa_test(test_dvn_wait SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_dvn_wait.cpp LIBS motmon_wait)
endif()
