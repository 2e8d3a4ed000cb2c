# gazerdemo and gazercal run under the simulator as a user would.
if(NOT TARGET gazerdemo OR NOT TARGET gazercal)
  return()
endif()
tarsa_test(test_gazer_programs SOURCES ${CMAKE_CURRENT_LIST_DIR}/gazer_programs_test.cpp
           SIM TIMEOUT 120)
add_dependencies(test_gazer_programs gazerdemo gazercal)
