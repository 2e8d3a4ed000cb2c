// teleop-host's command line: every option checked, and a wrong one named in its message.
#pragma once

#include <string>

#include "tarsa/tr4_model.h"

struct Options {
  int port = 3000;
  std::string bind = "0.0.0.0";
  std::string script, log, plot;
  bool tcp_server = false;
  std::string tcp_connect;
  double mm_per_count = TR4_MM_PER_UNIT;
  double wheel_base = TR4_WHEEL_BASE_MM;
  double idle_timeout = 0;  // seconds without a message before giving up; 0 = never
  bool quiet = false;
  bool help = false;
};

// Reads the command line into `o`. False with `error` naming the option and what is wrong with
// it ("--idle-timeout: not a number: x"). Files are not looked at here.
bool parse_options(int argc, char **argv, Options &o, std::string &error);

// The --help text.
