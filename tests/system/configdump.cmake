# configdump, run under the simulator as a user would.
if(TARGET configdump)
  tarsa_test(test_configdump SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_configdump.cpp)
endif()
