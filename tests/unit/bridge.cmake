# tarsa-bridge's own modules without robot or network: protocol handling, send queues, drive
# limits, the samples' JSON, MCAP writing, the camera stage on stand-in frames, and a fuzz run of
# the client message handling.
tarsa_test(test_bridge SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_bridge.cpp LIBS bridge_core)
tarsa_test(test_bridge_record SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_bridge_record.cpp LIBS bridge_core)
tarsa_test(test_bridge_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_bridge_fuzz.cpp LIBS bridge_core)
