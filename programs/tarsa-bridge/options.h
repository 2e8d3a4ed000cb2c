// tarsa-bridge's command line and its settings in the configuration file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
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
  bool camera_rate_given = false, camera_size_given = false;  // on the command line
};

// The kind of value a [bridge] key takes.
enum class Kind { string, integer, number, boolean };
// The kind of `key`'s value; none for a key that is not a [bridge] setting.
std::optional<Kind> setting_kind(std::string_view key);
// "a number", "true or false", ...
const char *kind_name(Kind k);
// Checks one [bridge] setting, given as text as the configuration file has it, and applies it to
// `opt`: "" when taken, or why not ("not a number above 0"), `opt` then unchanged.
std::string apply_setting(Options &opt, std::string_view key, const char *value);

// Takes the bridge's own options out of the command line; the rest (argv[0] first, then the
// library's options, null-terminated) goes to `lib_args`. Returns -1 to go on, or the exit
// status (after --help, or a usage error).
int parse_command_line(int argc, char *argv[], Options &opt, std::vector<char *> &lib_args);

// Reads the [bridge] settings of the loaded configuration. Returns -1 to go on, or the exit
// status after a setting that cannot be used.
int read_configuration(Options &opt);

}  // namespace bridge
