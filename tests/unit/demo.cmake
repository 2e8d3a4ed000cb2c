# test_demo_build: `make demo` builds what the demo runs and none of the tests. Asks the Makefile
# for the demo's build command and the build system for what that command would make, both as
# dry runs, so nothing is built. Run with `cmake -P` by the test itself.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  add_test(NAME test_demo_build COMMAND ${CMAKE_COMMAND} -DSRC=${PROJECT_SOURCE_DIR} -DBIN=${PROJECT_BINARY_DIR}
           -DGENERATOR=${CMAKE_GENERATOR} -P ${CMAKE_CURRENT_LIST_FILE})
  set_tests_properties(test_demo_build PROPERTIES TIMEOUT 60 SKIP_REGULAR_EXPRESSION "test_demo_build skipped")
  # `make demo` from a fresh clone without the npm registry. It builds a tree of its own, so it
  # runs once, in the PC build without sanitizers; elsewhere it is listed and skipped.
  if(CMAKE_CROSSCOMPILING OR TARSA_SANITIZE)
    add_test(NAME test_demo_offline COMMAND ${CMAKE_COMMAND} -E echo "test_demo_offline skipped: run by the PC build")
  else()
    add_test(NAME test_demo_offline COMMAND ${PROJECT_SOURCE_DIR}/tests/system/demo_offline.sh ${PROJECT_SOURCE_DIR})
  endif()
  set_tests_properties(test_demo_offline PROPERTIES TIMEOUT 900 SKIP_REGULAR_EXPRESSION "test_demo_offline skipped")
  return()
endif()

if(NOT GENERATOR STREQUAL "Unix Makefiles")
  # The dry run below reads make's own listing of what it would do.
  message("test_demo_build skipped: the build tree uses ${GENERATOR}, not Unix Makefiles")
  return()
endif()
find_program(MAKE NAMES make gmake REQUIRED)
# Started from `make test`, the parent's jobserver settings must not reach these makes.
unset(ENV{MAKEFLAGS})
unset(ENV{MFLAGS})
unset(ENV{MAKELEVEL})

# What `make demo` runs for this build tree (-n: printed, not run).
execute_process(COMMAND ${MAKE} -n -C ${SRC} demo BUILD=${BIN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make -n demo failed (${rc}):\n${out}\n${err}")
endif()
if(NOT out MATCHES "\ncmake --build ([^\n]* --target [^\n]*)\n")
  message(FATAL_ERROR "make demo builds no named targets:\n${out}")
endif()
separate_arguments(args UNIX_COMMAND "${CMAKE_MATCH_1}")
list(FILTER args EXCLUDE REGEX "^-j")

# Everything that command would make, as if nothing were built yet (-B).
execute_process(COMMAND ${CMAKE_COMMAND} --build ${args} -- -n -B RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dry run of the demo's build failed (${rc}):\n${out}\n${err}")
endif()
string(REGEX MATCHALL "Linking C(XX)? executable [^\"\n]+" linked "${out}")
list(TRANSFORM linked REPLACE "^Linking C(XX)? executable " "")
list(REMOVE_DUPLICATES linked)
list(SORT linked)
if(NOT linked STREQUAL "tarsa-sim;teleop;teleop-host")
  message(FATAL_ERROR "make demo links the programs '${linked}', expected tarsa-sim, teleop and teleop-host")
endif()
foreach(artifact "shared library libtarsa.so" "shared library libtarsa-sim.so")
  if(NOT out MATCHES "Linking CXX ${artifact}")
    message(FATAL_ERROR "make demo does not build ${artifact}")
  endif()
endforeach()
if(out MATCHES "object tests/[^\"\n]*")
  message(FATAL_ERROR "make demo builds test code: ${CMAKE_MATCH_0}")
endif()
list(JOIN linked ", " linked)
message(STATUS "make demo builds ${linked} with their libraries, and no test")
