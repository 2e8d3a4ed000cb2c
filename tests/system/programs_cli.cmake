# The programs' command lines: --help and a bad option, each under the simulator, for every
# program.
set(tarsa_cli_programs camshot configdump gazerdemo gpiotool iodemo iodemo_le lrfdemo lrfpower
    motmon motmon_le teleop)
tarsa_test(programs_cli_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/programs_cli_test.cpp TIMEOUT 120)
add_dependencies(programs_cli_test tarsa-sim ${tarsa_cli_programs} gazercal tarsa-bridge teleop-host)
