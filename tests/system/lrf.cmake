# lrfpower and lrfdemo under the simulator.
if(TARGET lrfpower AND TARGET lrfdemo)
  tarsa_test(lrf_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/lrf_test.cpp TIMEOUT 120)
  add_dependencies(lrf_test lrfpower lrfdemo tarsa-sim)
endif()
