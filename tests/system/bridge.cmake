# tarsa-bridge on the simulated robot, met by real clients run by node (tests/js): the Foxglove
# client library, the MCAP reader, headless Chromium. node and Chromium run on this machine; an
# armhf bridge runs under qemu and is reached over TCP all the same.
find_program(TARSA_NODE node REQUIRED)
set(bridge_emulated "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(bridge_emulated 1)
endif()
foreach(name ws mcap sensors browser load recovery controls)
  add_test(NAME bridge_${name}_test
           COMMAND ${TARSA_NODE} --test ${PROJECT_SOURCE_DIR}/tests/js/bridge_${name}.test.mjs)
  set_tests_properties(bridge_${name}_test PROPERTIES
    TIMEOUT 180 LABELS bridge
    ENVIRONMENT "TARSA_SIM=$<TARGET_FILE:tarsa-sim>;TARSA_BRIDGE=$<TARGET_FILE:tarsa-bridge>;TARSA_LRFPOWER=$<TARGET_FILE:lrfpower>;TARSA_TEST_OUT=${CMAKE_CURRENT_BINARY_DIR}/bridge_${name};TARSA_EMULATED=${bridge_emulated};TARSA_SANITIZE=$<$<BOOL:${TARSA_SANITIZE}>:1>")
endforeach()
# The loop's rate is measured here: nothing else may load the machine meanwhile.
set_tests_properties(bridge_load_test PROPERTIES RUN_SERIAL TRUE)
