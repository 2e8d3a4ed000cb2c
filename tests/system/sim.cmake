# Board simulator: device semantics inside a simulated run, and the launcher driving real tools.
tarsa_test(sim_devices SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_devices.cpp SIM TIMEOUT 120)
tarsa_test(sim_launcher SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_launcher.cpp LIBS tarsa-sim-core-checked
  TIMEOUT 180)
add_dependencies(sim_launcher tarsa-sim)
# The run's clock against the wall clock: a probe program read and timed by the test.
add_executable(sim_clock_probe ${CMAKE_CURRENT_LIST_DIR}/sim_clock_probe.cpp)
tarsa_test(sim_clock SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_clock.cpp TIMEOUT 60)
add_dependencies(sim_clock sim_clock_probe tarsa-sim)
target_compile_definitions(sim_clock PRIVATE CLOCK_PROBE="$<TARGET_FILE:sim_clock_probe>")
add_executable(scripted_drive ${CMAKE_CURRENT_LIST_DIR}/scripted_drive.c)
target_link_libraries(scripted_drive PRIVATE tarsa)
add_dependencies(sim_clock scripted_drive)
target_compile_definitions(sim_clock PRIVATE SCRIPTED_DRIVE="$<TARGET_FILE:scripted_drive>")
