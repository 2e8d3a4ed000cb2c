// The metadata records of a recording.
#include "record_metadata.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tarsa/vx_init.h"

namespace bridge {

namespace {

std::string text(bool v) {
  return v ? "true" : "false";
}

// A number as it would be written in the configuration file: 0.3, 10.
std::string text(double v) {
  char s[32];
  std::snprintf(s, sizeof s, "%.15g", v);
  if (std::strtod(s, nullptr) != v) std::snprintf(s, sizeof s, "%.17g", v);
  return s;
}

}  // namespace

std::vector<RecordMetadata> recording_metadata(const Options &opt, const SensorSet &sensors) {
  char host[256] = "";
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  RecordMetadata robot{"robot",
                       {{"model", "Tarsa4"},
                        {"host", host},
                        {"stargazer", text(sensors.stargazer)},
                        {"lrf", text(sensors.scan)},
                        {"camera", text(sensors.camera)}}};

  const RobotOptions &r = opt.robot;
  std::string drive_from;
  for (const std::string &a : opt.server.drive_from)
    drive_from += (drive_from.empty() ? "" : ", ") + a;
  const char *file = std::getenv("TARSA_CONFIG");
  RecordMetadata config{
      "configuration",
      {{"file", file && *file ? file : "/etc/tarsa/tarsa.toml"},
       {"port", std::to_string(opt.server.port)},
       {"bind", opt.server.bind},
       {"drive_from", drive_from},
       {"max_linear", text(r.limits.max_linear)},
       {"max_angular", text(r.limits.max_angular)},
       {"max_linear_accel", text(r.limits.max_linear_accel)},
       {"max_angular_accel", text(r.limits.max_angular_accel)},
       {"watchdog_ms", std::to_string(r.limits.watchdog_ms)},
       {"safety_distance_m", text(r.limits.safety_distance_m)},
       {"stargazer", text(r.stargazer)},
       {"lrf", text(r.lrf)},
       {"lrf_port", r.lrf_port},
       {"camera", text(r.camera)},
       {"camera_rate", text(r.camera_rate)},
       {"camera_size", std::to_string(r.camera_width) + "x" + std::to_string(r.camera_height)},
       {"record_compression", opt.record_compression == Compression::none
                                  ? "none"
                                  : compression_name(opt.record_compression)},
       {"ros2", text(opt.ros2.enabled)},
       {"ros2_drive", text(opt.ros2.drive)},
       {"ros2_cmd_vel_stamped", text(opt.ros2.cmd_vel_stamped)},
       {"ros2_domain", std::to_string(opt.ros2.domain)},
       {"ros2_namespace", opt.ros2.ns},
       {"ros2_frame_prefix", opt.ros2.frame_prefix}}};

  RecordMetadata bridge{
      "tarsa-bridge",
      {{"version", TARSA_BRIDGE_VERSION},
       {"library", std::to_string(VX_VERSION_MAJOR) + "." + std::to_string(VX_VERSION_MINOR)}}};
  return {std::move(robot), std::move(config), std::move(bridge)};
}

}  // namespace bridge
