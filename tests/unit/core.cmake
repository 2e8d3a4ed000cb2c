# Library core: messages and errors, memory, clock and console, command parser, symbol table, FIFO.
tarsa_test(test_vx_error SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_error.cpp)
tarsa_test(test_vx_utils SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_utils.cpp LIBS util)
tarsa_test(test_vx_cmdparser SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_cmdparser.cpp)
tarsa_test(test_vx_symbol SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_symbol.cpp)
tarsa_test(test_vx_fifo SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_fifo.cpp)
