# Camera module: conversions, filters and JPEG files without a camera.
tarsa_test(test_vx_camera SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_camera.cpp)
# The reference formulas round after each operation, as the library's do.
target_compile_options(test_vx_camera PRIVATE -ffp-contract=off)
