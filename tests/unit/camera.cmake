# Camera module: conversions, filters and JPEG files without a camera.
tarsa_test(test_vx_camera SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_camera.cpp)
# The reference formulas round after each operation, as the library's do.
target_compile_options(test_vx_camera PRIVATE -ffp-contract=off)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  target_compile_definitions(test_vx_camera PRIVATE TARSA_EMULATED=1)
endif()
