# Configuration reader: file format, lookups and refusals; malformed input (also under ASan).
tarsa_test(test_vx_config SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_config.cpp)
tarsa_test(test_config_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_config_fuzz.cpp)
