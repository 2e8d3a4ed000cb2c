// tarsa-bridge's command line and its settings in the configuration file.
#pragma once

#include <string>
#include <vector>

#include "mcap.h"
#include "robot.h"
#include "ros2.h"
#include "server.h"

namespace bridge {

struct Options {
  RobotOptions robot;
  ServerOptions server;
  Ros2Options ros2;
  std::string record;                                  // MCAP file to write; empty: no recording
  Compression record_compression = Compression::zstd;  // of its chunks
  bool port_given = false;
};

// Takes the bridge's own options out of the command line; the rest (argv[0] first, then the
// library's options, null-terminated) goes to `lib_args`. Returns -1 to go on, or the exit
// status (after --help, or a usage error).
int parse_command_line(int argc, char *argv[], Options &opt, std::vector<char *> &lib_args);

// Reads the [bridge] settings of the loaded configuration. Returns -1 to go on, or the exit
// status after a setting that cannot be used.
int read_configuration(Options &opt);

}  // namespace bridge
