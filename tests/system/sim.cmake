# Board simulator: device semantics inside a simulated run, and the launcher driving real tools.
tarsa_test(sim_devices SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_devices.cpp SIM TIMEOUT 120)
tarsa_test(sim_launcher SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_launcher.cpp LIBS tarsa-sim-core-checked
  TIMEOUT 180)
add_dependencies(sim_launcher tarsa-sim)
