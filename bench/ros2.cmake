# tarsa-bridge's ROS 2 front-end: from a sensor read to the sample in a subscriber on the same
# machine, and the bridge's CPU share with its Foxglove server, a recording and ROS 2 all on. A
# program of its own: it starts the simulated board and the bridge itself.
if(NOT TARGET tarsa-bridge OR NOT TARGET bridge_ros2_types)
  return()
endif()
find_package(CycloneDDS REQUIRED)
add_executable(bench_ros2 ${CMAKE_CURRENT_LIST_DIR}/bench_ros2.cpp)
target_link_libraries(bench_ros2 PRIVATE bridge_ros2_types CycloneDDS::ddsc)
target_compile_definitions(bench_ros2 PRIVATE TARSA_SIM_LAUNCHER="$<TARGET_FILE:tarsa-sim>"
  TARSA_BRIDGE="$<TARGET_FILE:tarsa-bridge>" TARSA_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(bench_ros2 tarsa-bridge tarsa-sim tarsa-sim-preload)
