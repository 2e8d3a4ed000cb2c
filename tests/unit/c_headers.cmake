# test_c_headers: every public header compiles on its own as strict C99, twice included, and
# the umbrella header tarsa/tarsa.h includes every module header.
# Included by tests/CMakeLists.txt to declare the test; run with `cmake -P` by the test itself,
# so that headers added since the last configure are checked too.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  add_test(NAME test_c_headers COMMAND ${CMAKE_COMMAND} -DCC=${CMAKE_C_COMPILER}
           -DINCLUDE=${PROJECT_SOURCE_DIR}/include -DOUT=${CMAKE_CURRENT_BINARY_DIR}/c_headers
           -P ${CMAKE_CURRENT_LIST_FILE})
  set_tests_properties(test_c_headers PROPERTIES TIMEOUT 120)
  return()
endif()

file(GLOB headers RELATIVE ${INCLUDE} ${INCLUDE}/tarsa/*.h)
if(NOT headers)
  message(FATAL_ERROR "no headers under ${INCLUDE}/tarsa")
endif()
file(MAKE_DIRECTORY ${OUT})
set(failed)
foreach(h IN LISTS headers)
  get_filename_component(stem ${h} NAME_WE)
  set(src ${OUT}/${stem}.c)
  # Included twice to check the include guard; the header must need nothing included before it.
  file(WRITE ${src} "#include \"${h}\"\n#include \"${h}\"\nint tarsa_header_check_${stem};\n")
  execute_process(
    COMMAND ${CC} -std=c99 -pedantic -Wall -Wextra -Wstrict-prototypes -Werror -I${INCLUDE}
            -c ${src} -o ${OUT}/${stem}.o
    RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(APPEND failed ${h})
    message("${h} does not compile as C99:\n${err}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "headers failing as C99: ${failed}")
endif()

# The umbrella header must bring in every module header.
file(READ ${INCLUDE}/tarsa/tarsa.h umbrella)
set(absent)
foreach(h IN LISTS headers)
  if(NOT h MATCHES "^tarsa/(tarsa|export)\\.h$")
    string(FIND "${umbrella}" "#include \"${h}\"" at)
    if(at EQUAL -1)
      list(APPEND absent ${h})
    endif()
  endif()
endforeach()
if(absent)
  message(FATAL_ERROR "tarsa/tarsa.h does not include: ${absent}")
endif()
list(LENGTH headers n)
message(STATUS "${n} headers compile as C99")
