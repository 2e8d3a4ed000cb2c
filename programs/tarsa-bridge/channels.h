// The bridge's channels: their topics and JSON schemas, and the JSON messages built from the
// robot's readings. Pure functions: no robot, no network.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"

namespace bridge {

// Channel numbers; the id a client sees is the number plus one.
enum ChannelKey : std::uint32_t {
  kTf,
  kOdom,
  kWheels,
  kAccel,
  kGyro,
  kInfrared,
  kUltrasonic,
  kBattery,
  kDiagnostics,
  kStarGazer,
  kScan,
  kCamera,
  kChannelCount
};

// Every channel of the robot base, in ChannelKey order.
std::vector<Channel> base_channels();
Channel stargazer_channel();
Channel scan_channel();
Channel camera_channel();

// Readings of one tick of the robot base, as the driver's raw replies and values.
struct BaseReadings {
  int speed_left = 0, speed_right = 0;  // wheel speed units
  int pos_left = 0, pos_right = 0;      // encoder counts
  unsigned char acc[60] = {}, gyro[60] = {}, us[10] = {}, ir[24] = {}, ambient[24] = {};
  unsigned char battery[12] = {};
  int charging = 0;  // tr4_battery_charge(): 1, 0 or negative
};

// Planar pose in the odometry frame: metres and radians, counter-clockwise.
struct Pose {
  double x = 0, y = 0, theta = 0;
};

// Dead reckoning from the wheel encoders.
class Odometry {
 public:
  void update(int pos_left, int pos_right);
  const Pose &pose() const { return pose_; }

 private:
  bool started_ = false;
  int left_ = 0, right_ = 0;
  Pose pose_;
};

struct LoopStats {
  double rate_hz = 0, jitter_ms = 0, max_late_ms = 0;
  std::uint64_t ticks = 0, bus_errors = 0, scan_errors = 0, dropped = 0, recorded = 0,
                record_dropped = 0;
  std::uint64_t queued_bytes = 0;
  int firmware_revision = -1, clients = 0;
};

std::string tf_json(std::uint64_t t_ns, const Pose &p);
std::string odom_json(std::uint64_t t_ns, const Pose &p);
std::string wheels_json(std::uint64_t t_ns, const BaseReadings &r);
std::string accel_json(std::uint64_t t_ns, const BaseReadings &r);
std::string gyro_json(std::uint64_t t_ns, const BaseReadings &r);
std::string infrared_json(std::uint64_t t_ns, const BaseReadings &r);
std::string ultrasonic_json(std::uint64_t t_ns, const BaseReadings &r);
std::string battery_json(std::uint64_t t_ns, const BaseReadings &r);
std::string diagnostics_json(std::uint64_t t_ns, const LoopStats &s);

// A StarGazer position record as vx_stargazer_read_data() gives it: centimetres, degrees.
struct GazerRecord {
  double x = 0, y = 0, height = 0, angle = 0;
  int id = 0;
  char mode = 0;
};
std::string stargazer_json(std::uint64_t t_ns, const GazerRecord &g);
// A camera frame: JPEG, base64-encoded.
std::string compressed_image_json(std::uint64_t t_ns, const std::string &jpeg_base64);
// A range finder scan: millimetres, entry i at (i - front) steps of 2 pi / steps_per_turn,
// counter-clockwise; 0 where nothing was measured.
std::string scan_json(std::uint64_t t_ns, const std::int32_t *mm, int count, int front,
                      int steps_per_turn);

}  // namespace bridge
