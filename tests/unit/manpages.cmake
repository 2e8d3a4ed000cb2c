# test_manpages: every manual page the build made renders without a warning of groff's, with
# its NAME and SYNOPSIS sections and, for a program that takes the library's options, its
# pointer to tarsa-options(7).
# Included by tests/CMakeLists.txt to declare the test; run with `cmake -P` by the test itself.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  add_test(NAME test_manpages COMMAND ${CMAKE_COMMAND} -DMAN=${PROJECT_BINARY_DIR}/man
           -P ${CMAKE_CURRENT_LIST_FILE})
  set_tests_properties(test_manpages PROPERTIES TIMEOUT 60)
  return()
endif()

file(GLOB pages ${MAN}/man1/*.1)
list(LENGTH pages n)
if(n LESS 15)
  message(FATAL_ERROR "${n} program pages under ${MAN}/man1, expected at least 15")
endif()
list(APPEND pages ${MAN}/man7/tarsa-options.7)
foreach(page IN LISTS pages)
  # Plain text: no bold or underline, by escape sequences or by overstriking.
  execute_process(COMMAND groff -man -Tutf8 -ww -P-cbou ${page} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "")
    message(FATAL_ERROR "groff on ${page} failed (${rc}):\n${err}")
  endif()
  get_filename_component(name ${page} NAME_WE)
  foreach(want "NAME\n       ${name} " "SYNOPSIS\n" "tarsa-options(7)")
    string(FIND "${out}" "${want}" at)
    # The simulator and teleop-host take none of the library's options.
    if(at LESS 0 AND NOT (name MATCHES "^(tarsa-options|tarsa-sim|teleop-host)$"
                          AND want STREQUAL "tarsa-options(7)"))
      message(FATAL_ERROR "${page} renders without '${want}':\n${out}")
    endif()
  endforeach()
endforeach()
message(STATUS "${n} program pages and tarsa-options(7) render")
