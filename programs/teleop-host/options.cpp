// teleop-host's command line.
#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cmath>
#include <cstdlib>

namespace {

enum {
  kPort = 1,
  kBind,
  kScript,
  kLog,
  kPlot,
  kTcpServer,
  kTcpConnect,
  kMm,
  kBase,
  kIdle,
  kQuiet,
  kHelp
};

const option kLongOptions[] = {{"port", required_argument, nullptr, kPort},
                               {"bind", required_argument, nullptr, kBind},
                               {"script", required_argument, nullptr, kScript},
                               {"log", required_argument, nullptr, kLog},
                               {"plot", required_argument, nullptr, kPlot},
                               {"tcp-server", no_argument, nullptr, kTcpServer},
                               {"tcp-connect", required_argument, nullptr, kTcpConnect},
                               {"mm-per-count", required_argument, nullptr, kMm},
                               {"wheel-base", required_argument, nullptr, kBase},
                               {"idle-timeout", required_argument, nullptr, kIdle},
                               {"quiet", no_argument, nullptr, kQuiet},
                               {"help", no_argument, nullptr, kHelp},
                               {nullptr, 0, nullptr, 0}};

std::string name_of(int val) {
  for (const option *o = kLongOptions; o->name; ++o)
    if (o->val == val) return std::string("--") + o->name;
  return "an option";
}

// A finite decimal number, all of the text.
bool number(const char *text, double &out) {
  char *end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(out);
}

// Decimal digits only, 1 to 65535.
bool port_number(const char *text, int &out) {
  long v = 0;
  for (const char *c = text; *c; ++c) {
    if (*c < '0' || *c > '9' || v > 65535) return false;
    v = v * 10 + (*c - '0');
  }
  if (*text == '\0' || v < 1 || v > 65535) return false;
  out = int(v);
  return true;
}

bool ipv4(const char *text) {
  in_addr a{};
  return inet_pton(AF_INET, text, &a) == 1;
}

}  // namespace

bool parse_options(int argc, char **argv, Options &o, std::string &error) {
  bool idle_given = false;
  opterr = 0;
  optind = 1;
  int c;
  // The leading ':' makes a missing value its own case.
  while ((c = getopt_long(argc, argv, ":", kLongOptions, nullptr)) != -1) {
    const std::string name = name_of(c);
    auto fail = [&](const char *what) {
      error = name + ": " + what + ": " + optarg;
      return false;
    };
    double v = 0;
    switch (c) {
      case kPort:
        if (!port_number(optarg, o.port)) return fail("not a port number (1 to 65535)");
        break;
      case kBind:
        if (!ipv4(optarg)) return fail("not an IPv4 address");
        o.bind = optarg;
        break;
      case kTcpConnect:
        if (!ipv4(optarg)) return fail("not an IPv4 address");
        o.tcp_connect = optarg;
        break;
      case kScript:
        o.script = optarg;
        break;
      case kLog:
        o.log = optarg;
        break;
      case kPlot:
        o.plot = optarg;
        break;
      case kTcpServer:
        o.tcp_server = true;
        break;
      case kMm:
      case kBase:
        if (!number(optarg, v)) return fail("not a number");
        if (v <= 0) return fail("must be more than 0");
        (c == kMm ? o.mm_per_count : o.wheel_base) = v;
        break;
      case kIdle:
        if (!number(optarg, v)) return fail("not a number");
        if (v < 0) return fail("must not be negative");
        o.idle_timeout = v;
        idle_given = true;
        break;
      case kQuiet:
        o.quiet = true;
        break;
      case kHelp:
        o.help = true;
        break;
      case ':':
        error = name_of(optopt) + ": needs a value";
        return false;
      default:
        // A long option's name stays in its word; a short one is only in optopt.
        error = optopt ? std::string("unknown option: -") + char(optopt)
                       : std::string("unknown option: ") + argv[optind - 1];
        return false;
    }
  }
  if (optind < argc) {
    error = std::string("unexpected argument: ") + argv[optind];
    return false;
  }
  if (o.tcp_server && !o.tcp_connect.empty()) {
    error = "--tcp-server and --tcp-connect: give one of them";
    return false;
  }
  if (!idle_given && !o.script.empty()) o.idle_timeout = 10;
  return true;
}
