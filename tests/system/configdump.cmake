# configdump, run under the simulator as a user would.
tarsa_test(test_configdump SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_configdump.cpp)
add_dependencies(test_configdump configdump)
