# test_install: `cmake --install` into a scratch prefix; the installed programs, a plain C program
# built by the README's pkg-config lines and one built through find_package(Tarsa) all run from
# there in a clean environment (no LD_LIBRARY_PATH).
# Included by tests/CMakeLists.txt to declare the test; run with `cmake -P` by the test itself.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(readelf readelf)
  if(CMAKE_READELF)
    set(readelf ${CMAKE_READELF})
  endif()
  set(sanitize "")
  if(TARSA_SANITIZE)
    set(sanitize "-fsanitize=address,undefined")
  endif()
  # A cross build configures the scratch project with the same toolchain (and runs through
  # binfmt_misc, as the other programs that tests start).
  set(toolchain "")
  if(CMAKE_TOOLCHAIN_FILE)
    set(toolchain ${CMAKE_TOOLCHAIN_FILE})
  endif()
  add_test(NAME test_install COMMAND ${CMAKE_COMMAND} -DTOOLCHAIN=${toolchain} -DTIME64=${TARSA_TIME64}
           -DSRC=${PROJECT_SOURCE_DIR} -DBIN=${PROJECT_BINARY_DIR} -DWORK=${CMAKE_CURRENT_BINARY_DIR}/install-test
           -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -DCC=${CMAKE_C_COMPILER} -DPKG_CONFIG=${PKG_CONFIG_EXECUTABLE}
           -DREADELF=${readelf} -DPROBE=${CMAKE_CURRENT_LIST_DIR}/install_probe.c
           -DGENERATOR=${CMAKE_GENERATOR} -DSANITIZE=${sanitize} -P ${CMAKE_CURRENT_LIST_FILE})
  # The Python package, where it is built (and its module loads into a plain interpreter).
  if(TARGET tarsa_python AND NOT TARSA_SANITIZE)
    set_property(TEST test_install APPEND PROPERTY ENVIRONMENT TARSA_PYTHON=${Python3_EXECUTABLE})
  endif()
  list(APPEND TARSA_TEST_EXTRA_SOURCES ${CMAKE_CURRENT_LIST_DIR}/install_probe.c)
  # Builds and runs a CMake project of its own: give it time, and keep it off the shared cores.
  set_tests_properties(test_install PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
  return()
endif()

# Runs a command; on failure ends the test with `what`, the command and its output.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "${what} failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  set(run_out "${out}" PARENT_SCOPE)
endfunction()

# The prefix of the README's example, $HOME/tarsa.
set(home ${WORK}/home)
set(prefix ${home}/tarsa)
set(libdir ${prefix}/${LIBDIR})
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
run("install" ${CMAKE_COMMAND} --install ${BIN} --prefix ${prefix})

# Files and the shared-object name chain.
foreach(f include/tarsa/tarsa.h include/tarsa/vx_error.h include/tarsa/export.h ${LIBDIR}/pkgconfig/libtarsa.pc
          ${LIBDIR}/cmake/Tarsa/TarsaConfig.cmake ${LIBDIR}/cmake/Tarsa/TarsaConfigVersion.cmake
          ${LIBDIR}/cmake/Tarsa/TarsaTargets.cmake ${LIBDIR}/libtarsa.so.2.1.0 share/tarsa/tarsa.toml.sample
          share/man/man1/configdump.1 share/man/man1/motmon_le.1 share/man/man7/tarsa-options.7)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
foreach(pair "libtarsa.so=libtarsa.so.2" "libtarsa.so.2=libtarsa.so.2.1.0")
  string(REPLACE "=" ";" pair ${pair})
  list(GET pair 0 link)
  list(GET pair 1 target)
  if(NOT IS_SYMLINK ${libdir}/${link})
    message(FATAL_ERROR "${link} is not a symbolic link")
  endif()
  file(READ_SYMLINK ${libdir}/${link} points)
  if(NOT points STREQUAL target)
    message(FATAL_ERROR "${link} points to '${points}', expected '${target}'")
  endif()
endforeach()
run("readelf of the library" ${READELF} -d ${libdir}/libtarsa.so.2.1.0)
if(NOT run_out MATCHES "\\(SONAME\\)[^\n]*\\[libtarsa\\.so\\.2\\]")
  message(FATAL_ERROR "SONAME is not libtarsa.so.2:\n${run_out}")
endif()

# Every installed program that needs the library finds it relative to itself.
file(GLOB programs ${prefix}/bin/*)
foreach(exe ${programs})
  run("readelf of ${exe}" ${READELF} -d ${exe})
  if(run_out MATCHES "\\(NEEDED\\)[^\n]*\\[libtarsa\\.so\\.2\\]"
     AND NOT run_out MATCHES "\\(RUNPATH\\)[^\n]*\\[\\$ORIGIN/")
    message(FATAL_ERROR "${exe} does not look for libtarsa.so.2 beside itself:\n${run_out}")
  endif()
endforeach()
# ... and runs: configdump on the installed simulator, which finds its preload library the same way.
run("the installed configdump under the installed tarsa-sim" env -i ${prefix}/bin/tarsa-sim -- ${prefix}/bin/configdump)
if(NOT run_out MATCHES "\ndev=ok\n?$")
  message(FATAL_ERROR "the installed configdump printed:\n${run_out}")
endif()

set(expected "37422 42 unable to open '%s' bus\n")

# Checks that `exe` needs libtarsa.so.2 and prints the expected line, run in a clean environment.
function(check_probe exe how)
  run("readelf of the ${how} program" ${READELF} -d ${exe})
  if(NOT run_out MATCHES "\\(NEEDED\\)[^\n]*\\[libtarsa\\.so\\.2\\]")
    message(FATAL_ERROR "the ${how} program does not need libtarsa.so.2:\n${run_out}")
  endif()
  run("running the ${how} program" env -i ${exe})
  if(NOT run_out STREQUAL expected)
    message(FATAL_ERROR "the ${how} program printed '${run_out}', expected '${expected}'")
  endif()
endfunction()

# 1. The README's pkg-config lines, as they stand, with `cc` the build's compiler.
file(READ ${SRC}/README.md readme)
if(NOT readme MATCHES "\nmake install PREFIX=\\$HOME/tarsa\n([^`]*)```")
  message(FATAL_ERROR "README.md has no block starting `make install PREFIX=$HOME/tarsa`")
endif()
set(lines "${CMAKE_MATCH_1}")
configure_file(${PROBE} ${WORK}/prog.c COPYONLY)
run("the README's lines\n${lines}" env -i PATH=/usr/bin:/bin HOME=${home} TARSA_CC=${CC}
    "TARSA_CFLAGS=-std=c99 -Wall -Werror ${SANITIZE}" sh -ec "cd '${WORK}'\ncc() {\n\"$TARSA_CC\" $TARSA_CFLAGS \"$@\"\n}\n${lines}")
check_probe(${WORK}/a.out "README's pkg-config")

# 2. find_package(Tarsa)
file(MAKE_DIRECTORY ${WORK}/cmake-src)
file(WRITE ${WORK}/cmake-src/CMakeLists.txt
"cmake_minimum_required(VERSION 3.25)
project(tarsa_install_probe C)
find_package(Tarsa 2.1 REQUIRED)
add_executable(probe_cmake ${PROBE})
target_link_libraries(probe_cmake PRIVATE Tarsa::tarsa)
")
if(TOOLCHAIN)
  set(compiler -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DTARSA_TIME64=${TIME64})
else()
  set(compiler -DCMAKE_C_COMPILER=${CC})
endif()
run("configuring against the CMake package" ${CMAKE_COMMAND} -S ${WORK}/cmake-src -B ${WORK}/cmake-build
    -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix} ${compiler} "-DCMAKE_C_FLAGS=${SANITIZE}")
run("building against the CMake package" ${CMAKE_COMMAND} --build ${WORK}/cmake-build)
check_probe(${WORK}/cmake-build/probe_cmake "CMake package")

# 3. The Python package, from the prefix with the README's one line of environment.
if(DEFINED ENV{TARSA_PYTHON})
  run("importing the installed package" env -i PYTHONPATH=${prefix}/lib/python3/dist-packages $ENV{TARSA_PYTHON}
      -c "import tarsa\nprint(tarsa.__file__, tarsa.Robot.drive.__doc__ is not None)")
  if(NOT run_out STREQUAL "${prefix}/lib/python3/dist-packages/tarsa/__init__.py True\n")
    message(FATAL_ERROR "the installed Python package printed '${run_out}'")
  endif()
endif()
message(STATUS "installed programs, and programs built through pkg-config and find_package(Tarsa), run")
