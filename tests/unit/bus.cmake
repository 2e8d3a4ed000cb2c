# Buses: the device network layer, raw I2C access and the two bus bindings.
tarsa_test(test_lyn SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_lyn.cpp)
tarsa_test(test_lyn_rs232 SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_lyn_rs232.cpp)
tarsa_test(test_i2craw SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_i2craw.cpp SIM)
tarsa_test(test_lyn_i2c SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_lyn_i2c.cpp SIM)
tarsa_test(test_lyn_serial_board SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_lyn_serial_board.cpp SIM)
