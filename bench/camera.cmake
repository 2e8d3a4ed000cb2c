# Camera image operations against OpenCV, libyuv and TurboJPEG (scripts/install-deps.sh bench).
if(NOT TARGET tarsa)
  return()
endif()
pkg_check_modules(OPENCV REQUIRED IMPORTED_TARGET opencv4)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
find_path(LIBYUV_INCLUDE libyuv.h REQUIRED)
add_executable(bench_camera ${CMAKE_CURRENT_LIST_DIR}/bench_camera.cpp)
target_include_directories(bench_camera PRIVATE ${LIBYUV_INCLUDE})
target_link_libraries(bench_camera PRIVATE tarsa benchmark::benchmark PkgConfig::OPENCV
                      PkgConfig::TURBOJPEG ${LIBYUV_LIBRARY})
# OpenCV's headers mix enumerations in arithmetic, which C++20 deprecates.
target_compile_options(bench_camera PRIVATE -Wno-deprecated-enum-enum-conversion)
