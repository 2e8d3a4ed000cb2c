# The board's ABI: GPIO request codes and I2C record layouts, on the bytes the library passes to
# ioctl(). Runs on every target; under the armhf build it checks the robot's own layouts.
tarsa_test(test_abi SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_abi.cpp LIBS ${CMAKE_DL_LIBS})
