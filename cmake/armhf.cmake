# Toolchain for the robot's board: ARMv7-A hard-float, glibc (Debian armhf), built on a Debian PC.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake [-DTARSA_TIME64=ON]
# Dependencies are the Debian :armhf packages (multiarch, /usr/lib/arm-linux-gnueabihf); the
# programs and tests run through qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(TARSA_TARGET_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TARSA_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARSA_TARGET_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TARSA_TARGET_TRIPLE})

# Debian's cross compiler already searches the multiarch directories of the build machine; keep
# CMake's own look-ups to the armhf copies of libraries, headers and packages, but run the
# machine's own programs (pkg-config, qemu).
set(CMAKE_FIND_ROOT_PATH /usr/${TARSA_TARGET_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The x86-64 package directories must never be found by a CMake package search.
list(APPEND CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)

# pkg-config: only the armhf .pc files and the architecture-independent ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TARSA_TARGET_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Every object is built by this one compiler: the notes on parameter passing that changed in
# GCC 7.1 concern mixing with older objects only.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")

# 64-bit time_t and off_t on a 32-bit board (what Debian 13 armhf uses throughout).
option(TARSA_TIME64 "Build with 64-bit time_t and file offsets" OFF)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARSA_TIME64)
if(TARSA_TIME64)
  string(APPEND CMAKE_C_FLAGS_INIT " -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
endif()

# ctest runs every test binary through the user-mode emulator. Plain qemu-arm (not -L with the
# cross sysroot) so that the guest uses the armhf ld.so and libraries of the :armhf packages.
# A test that starts another armhf program (the simulator launcher starting the test, system
# tests starting tools) relies on binfmt_misc, see scripts/binfmt-armhf.sh.
find_program(TARSA_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(TARSA_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARSA_QEMU_ARM})
endif()
