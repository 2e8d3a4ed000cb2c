# The ROS 2 message types (*.idl here) as C code for Cyclone DDS, generated at build time by
# idlc (the build machine's own, also for a cross build) and linked into tarsa-bridge.
find_package(CycloneDDS REQUIRED)
find_program(TARSA_IDLC idlc REQUIRED)
set(ros2_idl builtin_interfaces std_msgs geometry_msgs nav_msgs tf2_msgs sensor_msgs diagnostic_msgs)
set(ros2_dir ${CMAKE_CURRENT_SOURCE_DIR}/ros2)
set(ros2_out ${CMAKE_CURRENT_BINARY_DIR}/ros2)
file(MAKE_DIRECTORY ${ros2_out})
set(ros2_generated)
foreach(name ${ros2_idl})
  add_custom_command(
    OUTPUT ${ros2_out}/${name}.c ${ros2_out}/${name}.h
    COMMAND ${TARSA_IDLC} -x final -I ${ros2_dir} -o ${ros2_out} ${ros2_dir}/${name}.idl
    DEPENDS ${ros2_dir}/${name}.idl
    IMPLICIT_DEPENDS C ${ros2_dir}/${name}.idl
    COMMENT "idlc ${name}.idl")
  list(APPEND ros2_generated ${ros2_out}/${name}.c)
endforeach()
add_library(bridge_ros2_types STATIC ${ros2_generated})
target_include_directories(bridge_ros2_types PUBLIC ${ros2_out})
# Only Cyclone DDS's headers: the front-end opens the library itself (ros2.cpp says why).
target_include_directories(bridge_ros2_types SYSTEM PUBLIC
  $<TARGET_PROPERTY:CycloneDDS::ddsc,INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(bridge_ros2_types PUBLIC ${CMAKE_DL_LIBS})
target_compile_definitions(bridge_ros2_types PUBLIC
  TARSA_DDS_LIBRARY="$<TARGET_SONAME_FILE_NAME:CycloneDDS::ddsc>")
# Generated code: not ours to hold to our warnings.
target_compile_options(bridge_ros2_types PRIVATE -w)
target_link_libraries(tarsa-bridge PRIVATE bridge_ros2_types)
