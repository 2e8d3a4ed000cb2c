// tarsa-bridge's command line and configuration settings.
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "program_usage.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_init.h"

namespace bridge {

namespace {

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

// The [bridge] keys and the kind of value each takes.
struct KnownKey {
  const char *key;
  Kind kind;
};
constexpr KnownKey kKeys[] = {
    {"port", Kind::integer},
    {"bind", Kind::string},
    {"drive_from", Kind::string},
    {"max_linear", Kind::number},
    {"max_angular", Kind::number},
    {"max_linear_accel", Kind::number},
    {"max_angular_accel", Kind::number},
    {"stargazer", Kind::boolean},
    {"lrf", Kind::boolean},
    {"camera", Kind::boolean},
    {"lrf_port", Kind::string},
    {"watchdog_ms", Kind::integer},
    {"safety_distance_m", Kind::number},
    {"camera_rate", Kind::number},
    {"camera_size", Kind::string},
    {"camera_quality", Kind::integer},
    {"record_compression", Kind::string},
    {"ros2", Kind::boolean},
    {"ros2_drive", Kind::boolean},
    {"ros2_cmd_vel_stamped", Kind::boolean},
    {"ros2_domain", Kind::integer},
    {"ros2_namespace", Kind::string},
    {"ros2_frame_prefix", Kind::string},
};

// A key of the [bridge] table as written in the configuration file, and the kind of its value.
struct WrittenKey {
  std::string key;
  std::optional<Kind> kind;  // none: an array or a table
};

// The keys of the [bridge] table, as the library read them from the configuration file. A table
// inside it (`[bridge.x]`, `x = { ... }`) is one key whose value is of no kind a setting takes.
std::vector<WrittenKey> written_keys() {
  std::vector<WrittenKey> keys;
  vx_enum_setting(
      "bridge",
      [](const char *key, int type, void *context) {
        auto &out = *static_cast<std::vector<WrittenKey> *>(context);
        const char *dot = std::strchr(key, '.');
        std::string name = dot ? std::string(key, std::size_t(dot - key)) : std::string(key);
        std::optional<Kind> kind;
        if (!dot && type == VX_SETTING_STRING) kind = Kind::string;
        if (!dot && type == VX_SETTING_INTEGER) kind = Kind::integer;
        if (!dot && type == VX_SETTING_FLOAT) kind = Kind::number;
        if (!dot && type == VX_SETTING_BOOLEAN) kind = Kind::boolean;
        if (dot)
          for (const WrittenKey &w : out)
            if (w.key == name) return 0;  // the table's other keys
        out.push_back({name, kind});
        return 0;
      },
      &keys);
  return keys;
}

// Every setting that cannot be used, one line each.
struct Refusals {
  std::vector<std::string> lines;
  std::vector<WrittenKey> written = written_keys();

  void refuse(const char *key, const char *value, const char *want) {
    // Numbers and booleans are shown as written, strings quoted.
    const std::optional<Kind> k = written_kind(key);
    const bool quoted = !k || *k == Kind::string;
    char text[512];
    std::snprintf(text, sizeof text, "tarsa-bridge: setting bridge.%s = %s%s%s: %s", key,
                  quoted ? "\"" : "", value, quoted ? "\"" : "", want);
    lines.emplace_back(text);
  }
  std::optional<Kind> written_kind(const char *key) const {
    for (const WrittenKey &w : written)
      if (w.key == key) return w.kind;
    return std::nullopt;
  }
  // Unknown keys, and known ones of the wrong kind (which are then not read further).
  void check_written() {
    for (const WrittenKey &w : written) {
      const KnownKey *known = nullptr;
      for (const KnownKey &k : kKeys)
        if (w.key == k.key) known = &k;
      if (!known) {
        lines.push_back("tarsa-bridge: setting bridge." + w.key + ": unknown key");
        continue;
      }
      const bool fits = w.kind && (*w.kind == known->kind ||
                                   (known->kind == Kind::number && *w.kind == Kind::integer));
      if (!fits) {
        const char *v = vx_config_get(("bridge." + w.key).c_str());
        refuse(known->key, v ? v : "?", (std::string("wants ") + kind_name(known->kind)).c_str());
        mistyped.push_back(w.key);
      }
    }
  }
  bool is_mistyped(const char *key) const {
    for (const std::string &k : mistyped)
      if (k == key) return true;
    return false;
  }
  std::vector<std::string> mistyped;
};

}  // namespace

namespace {

constexpr option kLongOptions[] = {
    {"port", required_argument, nullptr, 0},
    {"bind", required_argument, nullptr, 0},
    {"record", required_argument, nullptr, 0},
    {"camera-rate", required_argument, nullptr, 0},
    {"camera-size", required_argument, nullptr, 0},
    {"ros2", no_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

// The library's options that take the next word as their value.
bool library_option_with_value(std::string_view a) {
  if (a == "--i2c-device") return true;
  // "--debug" or a prefix of it, without "=N".
  if (a.size() > 2 && a.substr(0, 2) == "--" && a.find('=') == std::string_view::npos &&
      std::string_view("--debug").substr(0, a.size()) == a && a.size() >= 3)
    return true;
  // A group of short options ending in "d" takes the next word: "-d 3", "-vd 3".
  return a.size() >= 2 && a[0] == '-' && a[1] != '-' && a.back() == 'd';
}

// The bridge's long option that `a` ("--name", "--name=value" or a unique prefix) names.
const char *own_option(std::string_view a) {
  if (a.size() < 3 || a.substr(0, 2) != "--") return nullptr;
  std::string_view name =
      a.substr(2, a.find('=') == std::string_view::npos ? a.npos : a.find('=') - 2);
  const char *found = nullptr;
  for (const option &o : kLongOptions) {
    if (!o.name) break;
    if (name == o.name) return o.name;
    if (std::string_view(o.name).substr(0, name.size()) == name) found = found ? nullptr : o.name;
  }
  return found;
}

// The ros2_* settings; `ros2 = true` turns the ROS 2 front-end on, as --ros2 does.
void read_ros2_settings(Options &opt, Refusals &refusals) {
  auto get = [&](const char *key) -> const char * {
    return refusals.is_mistyped(key) ? nullptr
                                     : vx_config_get((std::string("bridge.") + key).c_str());
  };
  for (auto [key, flag] :
       {std::pair{"ros2", &opt.ros2.enabled}, std::pair{"ros2_drive", &opt.ros2.drive},
        std::pair{"ros2_cmd_vel_stamped", &opt.ros2.cmd_vel_stamped}}) {
    const char *v = get(key);
    if (!v) continue;
    if (std::strcmp(v, "true") != 0 && std::strcmp(v, "false") != 0) {
      refusals.refuse(key, v, "not true or false");
      continue;
    }
    // --ros2 on the command line is not undone by `ros2 = false`.
    const bool on = std::strcmp(v, "true") == 0;
    *flag = flag == &opt.ros2.enabled ? *flag || on : on;
  }
  if (const char *v = get("ros2_domain")) {
    auto n = number(v);
    if (!n || *n < 0 || *n > 232 || *n != std::floor(*n))
      refusals.refuse("ros2_domain", v, "not a DDS domain (0 to 232)");
    else
      opt.ros2.domain = int(*n);
  }
  if (const char *v = get("ros2_namespace")) {
    std::string ns = v;
    while (!ns.empty() && ns.front() == '/') ns.erase(0, 1);
    while (!ns.empty() && ns.back() == '/') ns.pop_back();
    opt.ros2.ns = ns;
  }
  if (const char *v = get("ros2_frame_prefix")) opt.ros2.frame_prefix = v;
}

}  // namespace

const char *kind_name(Kind k) {
  switch (k) {
    case Kind::string:
      return "a string";
    case Kind::integer:
      return "a whole number";
    case Kind::number:
      return "a number";
    case Kind::boolean:
      return "true or false";
  }
  return "";
}

std::optional<Kind> setting_kind(std::string_view key) {
  for (const KnownKey &k : kKeys)
    if (key == k.key) return k.kind;
  return std::nullopt;
}

std::string apply_setting(Options &opt, std::string_view key, const char *v) {
  DriveLimits &limits = opt.robot.limits;
  struct Limit {
    const char *key;
    double *to;
    bool zero_ok;
  } limits_table[] = {
      {"max_linear", &limits.max_linear, false},
      {"max_angular", &limits.max_angular, false},
      {"max_linear_accel", &limits.max_linear_accel, true},
      {"max_angular_accel", &limits.max_angular_accel, true},
      {"safety_distance_m", &limits.safety_distance_m, true},
  };
  for (auto &l : limits_table) {
    if (key != l.key) continue;
    auto n = number(v);
    if (!n || *n < 0 || (*n == 0 && !l.zero_ok))
      return l.zero_ok ? "not a number of 0 or more" : "not a number above 0";
    *l.to = *n;
    return {};
  }
  for (auto [name, flag] :
       {std::pair{"stargazer", &opt.robot.stargazer}, std::pair{"lrf", &opt.robot.lrf},
        std::pair{"camera", &opt.robot.camera}}) {
    if (key != name) continue;
    if (std::strcmp(v, "true") != 0 && std::strcmp(v, "false") != 0) return "not true or false";
    *flag = std::strcmp(v, "true") == 0;
    return {};
  }
  if (key == "lrf_port") {
    opt.robot.lrf_port = v;
  } else if (key == "watchdog_ms") {
    auto n = number(v);
    if (!n || *n < 0 || *n > 3600000 || *n != std::floor(*n))
      return "not a whole number of milliseconds (0 turns it off)";
    limits.watchdog_ms = int(*n);
  } else if (key == "camera_rate") {
    auto n = number(v);
    if (!n || *n <= 0 || *n > 60) return "not a rate above 0 and up to 60";
    opt.robot.camera_rate = *n;
  } else if (key == "camera_size") {
    int w = 0, h = 0, used = 0;
    if (std::sscanf(v, "%5dx%5d%n", &w, &h, &used) != 2 || v[used] != '\0' || w <= 0 || h <= 0)
      return "not a size such as 320x240";
    opt.robot.camera_width = w, opt.robot.camera_height = h;
  } else if (key == "camera_quality") {
    auto n = number(v);
    if (!n || *n < 1 || *n > 100 || *n != std::floor(*n)) return "not a JPEG quality (1 to 100)";
    opt.robot.camera_quality = int(*n);
  } else {
    return "unknown key";
  }
  return {};
}

int parse_command_line(int argc, char *argv[], Options &opt, std::vector<char *> &lib_args) {
  if (int r = vx_check_options(argc, argv, program_usage, "", kLongOptions); r != VX_OPTIONS_OK)
    return r;
  lib_args.assign(argv, argv + (argc > 0 ? 1 : 0));
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    const char *own = own_option(a);
    if (!own) {
      // The library's options and their values go to the library; anything else is not ours.
      if (a.size() < 2 || a[0] != '-' || a == "--") {
        std::fprintf(stderr, "tarsa-bridge: unexpected argument '%s'\n%s", argv[i], program_usage);
        return 2;
      }
      lib_args.push_back(argv[i]);
      if (library_option_with_value(a) && i + 1 < argc) lib_args.push_back(argv[++i]);
      continue;
    }
    const std::string_view name = own;
    if (name == "ros2") {
      opt.ros2.enabled = true;
      continue;
    }
    // vx_check_options made sure that the value is there.
    const auto eq = a.find('=');
    const char *value = eq != std::string_view::npos ? argv[i] + eq + 1 : argv[++i];
    if (name == "port") {
      auto p = port_number(value);
      if (!p) {
        std::fprintf(stderr, "tarsa-bridge: --port %s: not a port number (0 to 65535)\n", value);
        return 2;
      }
      opt.server.port = std::uint16_t(*p);
      opt.port_given = true;
    } else if (name == "bind") {
      opt.server.bind = value;
    } else if (name == "record") {
      opt.record = value;
    } else if (name == "camera-rate") {
      if (!apply_setting(opt, "camera_rate", value).empty()) {
        std::fprintf(stderr, "tarsa-bridge: --camera-rate %s: not a rate above 0 and up to 60\n",
                     value);
        return 2;
      }
      opt.camera_rate_given = true;
    } else if (name == "camera-size") {
      if (!apply_setting(opt, "camera_size", value).empty()) {
        std::fprintf(stderr, "tarsa-bridge: --camera-size %s: not a size such as 320x240\n", value);
        return 2;
      }
      opt.camera_size_given = true;
    }
  }
  lib_args.push_back(nullptr);
  return -1;
}

int read_configuration(Options &opt) {
  Refusals refusals;
  refusals.check_written();
  auto get = [&](const char *key) -> const char * {
    return refusals.is_mistyped(key) ? nullptr
                                     : vx_config_get((std::string("bridge.") + key).c_str());
  };
  if (const char *v = get("port"); v && !opt.port_given) {
    if (auto p = port_number(v))
      opt.server.port = std::uint16_t(*p);
    else
      refusals.refuse("port", v, "not a port number (0 to 65535)");
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

  for (const char *key : {"max_linear", "max_angular", "max_linear_accel", "max_angular_accel",
                          "safety_distance_m", "stargazer", "lrf", "camera", "lrf_port",
                          "watchdog_ms", "camera_rate", "camera_size", "camera_quality"}) {
    const char *v = get(key);
    // The command line's camera options win over the file's.
    if (!v || (opt.camera_rate_given && std::strcmp(key, "camera_rate") == 0) ||
        (opt.camera_size_given && std::strcmp(key, "camera_size") == 0))
      continue;
    if (std::string why = apply_setting(opt, key, v); !why.empty())
      refusals.refuse(key, v, why.c_str());
  }
  if (const char *v = get("record_compression"); v && !parse_compression(v, opt.record_compression))
    refusals.refuse("record_compression", v, "not none, lz4 or zstd");
  read_ros2_settings(opt, refusals);
  for (const std::string &line : refusals.lines) std::fprintf(stderr, "%s\n", line.c_str());
  return refusals.lines.empty() ? -1 : 2;
}

}  // namespace bridge
