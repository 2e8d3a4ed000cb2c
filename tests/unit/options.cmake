# vx_check_options: a program's command line, checked before the library starts.
tarsa_test(test_vx_options SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_options.cpp)
