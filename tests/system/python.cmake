# The Python package's tests (tests/python, pytest) under the simulator, one test per file, with
# Debian's interpreter and the package as the build tree holds it. A cross build has no package:
# the same tests are listed there and skipped.
file(GLOB tarsa_python_tests CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/python/test_*.py)
foreach(file ${tarsa_python_tests})
  get_filename_component(stem ${file} NAME_WE)
  set(name test_python_${stem})
  string(REPLACE "test_python_test_" "test_python_" name ${name})
  if(CMAKE_CROSSCOMPILING OR NOT TARGET tarsa_python)
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "${name} skipped: no Python package in a cross build")
    set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "${name} skipped")
    continue()
  endif()
  add_test(NAME ${name}
           COMMAND tarsa-sim --trace ${CMAKE_CURRENT_BINARY_DIR}/${name}.trace.jsonl
                   -- ${Python3_EXECUTABLE} -m pytest -q -p no:cacheprovider ${file}
           WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/tests/python)
  set(env PYTHONPATH=${TARSA_PYTHON_DIR} PYTHONDONTWRITEBYTECODE=1)
  if(TARSA_SANITIZE)
    # The interpreter is not instrumented: the sanitizer's runtime comes in first, and the
    # interpreter's own allocations are not checked for leaks.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so OUTPUT_VARIABLE asan
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND env LD_PRELOAD=${asan} ASAN_OPTIONS=detect_leaks=0)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 120 ENVIRONMENT "${env}")
endforeach()
