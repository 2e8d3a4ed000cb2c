# The Python package's scan() and frame() against the library's own calls, under tarsa-sim (the
# marker file): bench_python runs bench/python_bench.py with the package of this build.
if(NOT TARGET tarsa_python)
  return()
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/bench_python
     "#!/bin/sh\nPYTHONPATH='${TARSA_PYTHON_DIR}' exec '${Python3_EXECUTABLE}' '${CMAKE_CURRENT_LIST_DIR}/python_bench.py' \"$@\"\n")
file(CHMOD ${CMAKE_CURRENT_BINARY_DIR}/bench_python PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(TOUCH ${CMAKE_CURRENT_BINARY_DIR}/bench_python.sim)
