// tarsa-bridge's command line and configuration settings.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "tarsa/vx_config.h"

namespace bridge {

namespace {

constexpr const char *kUsage =
    "usage: tarsa-bridge [--port N] [--bind ADDR] [--record FILE.mcap] [library options]\n"
    "  --port N            port of the WebSocket and HTTP server (default 8765; 0: any free one)\n"
    "  --bind ADDR         local address to listen on (default 0.0.0.0, all IPv4 addresses)\n"
    "  --record FILE.mcap  record every channel to FILE.mcap\n"
    "  --camera-rate FPS   camera frames a second (default 10)\n"
    "  --camera-size WxH   camera frame size asked of the driver (default 320x240)\n"
    "  --ros2              publish the robot on ROS 2 (DDS) as well\n"
    "Settings come from the [bridge] table of the configuration file.\n";

std::optional<double> number(const char *text) {
  errno = 0;
  char *end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<int> port_number(const char *text) {
  auto v = number(text);
  if (!v || *v < 0 || *v > 65535 || *v != std::floor(*v)) return std::nullopt;
  return int(*v);
}

int bad_setting(const char *key, const char *value, const char *want) {
  std::fprintf(stderr, "tarsa-bridge: setting bridge.%s = \"%s\": %s\n", key, value, want);
  return 2;
}

// The ros2_* settings; `ros2 = true` turns the ROS 2 front-end on, as --ros2 does.
int read_ros2_settings(Options &opt) {
  auto get = [](const char *key) { return vx_config_get((std::string("bridge.") + key).c_str()); };
  for (auto [key, flag] :
       {std::pair{"ros2", &opt.ros2.enabled}, std::pair{"ros2_drive", &opt.ros2.drive},
        std::pair{"ros2_cmd_vel_stamped", &opt.ros2.cmd_vel_stamped}}) {
    const char *v = get(key);
    if (!v) continue;
    if (std::strcmp(v, "true") != 0 && std::strcmp(v, "false") != 0)
      return bad_setting(key, v, "not true or false");
    // --ros2 on the command line is not undone by `ros2 = false`.
    const bool on = std::strcmp(v, "true") == 0;
    *flag = flag == &opt.ros2.enabled ? *flag || on : on;
  }
  if (const char *v = get("ros2_domain")) {
    auto n = number(v);
    if (!n || *n < 0 || *n > 232 || *n != std::floor(*n))
      return bad_setting("ros2_domain", v, "not a DDS domain (0 to 232)");
    opt.ros2.domain = int(*n);
  }
  if (const char *v = get("ros2_namespace")) {
    std::string ns = v;
    while (!ns.empty() && ns.front() == '/') ns.erase(0, 1);
    while (!ns.empty() && ns.back() == '/') ns.pop_back();
    opt.ros2.ns = ns;
  }
  if (const char *v = get("ros2_frame_prefix")) opt.ros2.frame_prefix = v;
  return -1;
}

}  // namespace

int parse_command_line(int argc, char *argv[], Options &opt, std::vector<char *> &lib_args) {
  lib_args.assign(argv, argv + (argc > 0 ? 1 : 0));
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    auto value = [&](std::string_view name) -> const char * {
      if (a.size() > name.size() && a.substr(0, name.size()) == name && a[name.size()] == '=')
        return argv[i] + name.size() + 1;
      if (a != name) return nullptr;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "tarsa-bridge: %s needs a value\n%s", argv[i], kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (const char *port = value("--port")) {
      auto p = port_number(port);
      if (!p) {
        std::fprintf(stderr, "tarsa-bridge: --port %s: not a port number (0 to 65535)\n", port);
        return 2;
      }
      opt.server.port = std::uint16_t(*p);
      opt.port_given = true;
    } else if (const char *bind = value("--bind")) {
      opt.server.bind = bind;
    } else if (const char *file = value("--record")) {
      opt.record = file;
    } else if (const char *fps = value("--camera-rate")) {
      auto n = number(fps);
      if (!n || *n <= 0 || *n > 60) {
        std::fprintf(stderr, "tarsa-bridge: --camera-rate %s: not a rate above 0 and up to 60\n",
                     fps);
        return 2;
      }
      opt.robot.camera_rate = *n;
    } else if (const char *size = value("--camera-size")) {
      int w = 0, h = 0, used = 0;
      if (std::sscanf(size, "%5dx%5d%n", &w, &h, &used) != 2 || size[used] != '\0' || w <= 0 ||
          h <= 0) {
        std::fprintf(stderr, "tarsa-bridge: --camera-size %s: not a size such as 320x240\n", size);
        return 2;
      }
      opt.robot.camera_width = w, opt.robot.camera_height = h;
    } else if (a == "--ros2") {
      opt.ros2.enabled = true;
    } else {
      lib_args.push_back(argv[i]);
    }
  }
  lib_args.push_back(nullptr);
  return -1;
}

int read_configuration(Options &opt) {
  auto get = [](const char *key) { return vx_config_get((std::string("bridge.") + key).c_str()); };
  if (const char *v = get("port"); v && !opt.port_given) {
    auto p = port_number(v);
    if (!p) return bad_setting("port", v, "not a port number (0 to 65535)");
    opt.server.port = std::uint16_t(*p);
  }
  if (const char *v = get("bind")) opt.server.bind = v;

  // Addresses whose clients may drive, separated by commas or spaces. Only this machine by
  // default: driving from elsewhere is a decision made in the robot's configuration.
  const char *from = get("drive_from");
  std::string list = from ? from : "127.0.0.1, ::1";
  opt.server.drive_from.clear();
  for (char *save = nullptr, *tok = strtok_r(list.data(), ", \t", &save); tok;
       tok = strtok_r(nullptr, ", \t", &save))
    opt.server.drive_from.emplace_back(tok);

  struct Limit {
    const char *key;
    double *to;
    bool zero_ok;
  } limits[] = {
      {"max_linear", &opt.robot.limits.max_linear, false},
      {"max_angular", &opt.robot.limits.max_angular, false},
      {"max_linear_accel", &opt.robot.limits.max_linear_accel, true},
      {"max_angular_accel", &opt.robot.limits.max_angular_accel, true},
  };
  for (auto &l : limits) {
    const char *v = get(l.key);
    if (!v) continue;
    auto n = number(v);
    if (!n || *n < 0 || (*n == 0 && !l.zero_ok))
      return bad_setting(l.key, v,
                         l.zero_ok ? "not a number of 0 or more" : "not a number above 0");
    *l.to = *n;
  }
  for (auto [key, flag] :
       {std::pair{"stargazer", &opt.robot.stargazer}, std::pair{"lrf", &opt.robot.lrf},
        std::pair{"camera", &opt.robot.camera}}) {
    const char *v = get(key);
    if (!v) continue;
    if (std::strcmp(v, "true") != 0 && std::strcmp(v, "false") != 0)
      return bad_setting(key, v, "not true or false");
    *flag = std::strcmp(v, "true") == 0;
  }
  if (const char *v = get("lrf_port")) opt.robot.lrf_port = v;
  if (const char *v = get("watchdog_ms")) {
    auto n = number(v);
    if (!n || *n < 0 || *n > 3600000 || *n != std::floor(*n))
      return bad_setting("watchdog_ms", v, "not a whole number of milliseconds (0 turns it off)");
    opt.robot.limits.watchdog_ms = int(*n);
  }
  return read_ros2_settings(opt);
}

}  // namespace bridge
