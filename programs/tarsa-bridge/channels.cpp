// The bridge's channels: topics, JSON schemas and the messages of the robot base.
#include "channels.h"

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "teleop_ctl.h"

namespace bridge {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// ---- schema building ----

ordered_json num(const char *description) {
  return {{"type", "number"}, {"description", description}};
}
ordered_json integer(const char *description) {
  return {{"type", "integer"}, {"description", description}};
}
ordered_json array_of(ordered_json item, int count, const char *description) {
  return {{"type", "array"},
          {"items", std::move(item)},
          {"minItems", count},
          {"maxItems", count},
          {"description", description}};
}
ordered_json time_schema() {
  return {{"type", "object"},
          {"title", "time"},
          {"properties",
           {{"sec", {{"type", "integer"}, {"minimum", 0}}},
            {"nsec", {{"type", "integer"}, {"minimum", 0}, {"maximum", 999999999}}}}},
          {"required", {"sec", "nsec"}}};
}
ordered_json object(const char *title, const char *description,
                    std::initializer_list<std::pair<const char *, ordered_json>> props) {
  ordered_json p = ordered_json::object(), required = ordered_json::array();
  for (auto &[name, schema] : props) {
    p[name] = schema;
    required.push_back(name);
  }
  ordered_json o = {
      {"type", "object"}, {"properties", std::move(p)}, {"required", std::move(required)}};
  if (title) o["title"] = title;
  if (description) o["description"] = description;
  return o;
}
ordered_json vector3(const char *description) {
  return object("foxglove.Vector3", description,
                {{"x", num("x")}, {"y", num("y")}, {"z", num("z")}});
}
ordered_json quaternion(const char *description) {
  return object("foxglove.Quaternion", description,
                {{"x", num("x")}, {"y", num("y")}, {"z", num("z")}, {"w", num("w")}});
}
ordered_json pose_schema() {
  return object("foxglove.Pose", "Pose in 3D space",
                {{"position", vector3("position")}, {"orientation", quaternion("orientation")}});
}
ordered_json axes(const char *unit) {
  return object(nullptr, nullptr, {{"x", num(unit)}, {"y", num(unit)}, {"z", num(unit)}});
}

Channel channel(ChannelKey key, const char *topic, const char *name, ordered_json schema) {
  schema["title"] = name;
  return {std::uint32_t(key) + 1, topic, name, schema.dump()};
}

// ---- messages ----

json stamp(std::uint64_t t_ns) {
  return {{"sec", t_ns / 1000000000u}, {"nsec", t_ns % 1000000000u}};
}
int word(const unsigned char *raw, int i) {
  return raw[2 * i] | raw[2 * i + 1] << 8;
}
json quat_z(double theta) {
  return {{"x", 0.0}, {"y", 0.0}, {"z", std::sin(theta / 2)}, {"w", std::cos(theta / 2)}};
}
json position(const Pose &p) {
  return {{"x", p.x}, {"y", p.y}, {"z", 0.0}};
}

}  // namespace

std::vector<Channel> base_channels() {
  std::vector<Channel> c;
  c.push_back(
      channel(kTf, "/tf", "foxglove.FrameTransform",
              object(nullptr, "Pose of the robot (base_link) in the odometry frame (odom), 20 Hz",
                     {{"timestamp", time_schema()},
                      {"parent_frame_id", {{"type", "string"}}},
                      {"child_frame_id", {{"type", "string"}}},
                      {"translation", vector3("metres")},
                      {"rotation", quaternion("heading about z")}})));
  c.push_back(channel(kOdom, "/odom", "foxglove.PoseInFrame",
                      object(nullptr, "Pose of the robot from its wheel encoders, 20 Hz",
                             {{"timestamp", time_schema()},
                              {"frame_id", {{"type", "string"}}},
                              {"pose", pose_schema()}})));
  auto wheel = object(nullptr, nullptr,
                      {{"speed", num("mm/s")},
                       {"position", num("mm travelled since start")},
                       {"raw_speed", integer("firmware speed units (0.678181 mm/s)")},
                       {"raw_position", integer("encoder counts (0.678181 mm)")}});
  c.push_back(channel(kWheels, "/wheels", "tarsa.Wheels",
                      object(nullptr, "Wheel speeds and positions, 20 Hz",
                             {{"timestamp", time_schema()}, {"left", wheel}, {"right", wheel}})));
  c.push_back(channel(kAccel, "/imu/accel", "tarsa.Acceleration",
                      object(nullptr, "Accelerometer, mean of 10 samples; x forward, z up, 20 Hz",
                             {{"timestamp", time_schema()}, {"acceleration", axes("g")}})));
  c.push_back(channel(kGyro, "/imu/gyro", "tarsa.AngularRate",
                      object(nullptr, "Gyroscope, mean of 10 samples; z counter-clockwise, 20 Hz",
                             {{"timestamp", time_schema()}, {"rate", axes("deg/s")}})));
  auto ir = ordered_json{{"type", "integer"}, {"minimum", 0}, {"maximum", 4095}};
  c.push_back(channel(
      kInfrared, "/infrared", "tarsa.Infrared",
      object(nullptr,
             "12 infrared sensors every 30 degrees counter-clockwise from straight ahead, 20 Hz",
             {{"timestamp", time_schema()},
              {"proximity", array_of(ir, 12, "reflected light, 0-4095; higher is nearer")},
              {"ambient", array_of(ir, 12, "ambient light, 0-4095")}})));
  c.push_back(channel(
      kUltrasonic, "/ultrasonic", "tarsa.Ultrasonic",
      object(nullptr, "5 ultrasonic sensors at +90, +45, 0, -45, -90 degrees, 20 Hz",
             {{"timestamp", time_schema()},
              {"range_cm", array_of({{"type", "integer"}}, 5, "cm; 0: nothing in range")}})));
  c.push_back(channel(
      kBattery, "/battery", "tarsa.Battery",
      object(nullptr, "Battery monitor, 20 Hz",
             {{"timestamp", time_schema()},
              {"voltage", num("V")},
              {"current", num("A, negative while discharging")},
              {"temperature", num("degrees Celsius")},
              {"remaining_mah", integer("mAh")},
              {"capacity_mah", integer("mAh")},
              {"percent", integer("state of charge, %")},
              {"charging", {{"type", "boolean"}, {"description", "charge line"}}},
              {"raw", {{"type", "string"}, {"description", "the monitor's 12 bytes, hex"}}}})));
  c.push_back(channel(
      kDiagnostics, "/diagnostics", "tarsa.Diagnostics",
      object(nullptr, "State of the bridge, 1 Hz",
             {{"timestamp", time_schema()},
              {"loop_rate_hz", num("robot loop ticks per second over the last second")},
              {"loop_jitter_ms", num("standard deviation of the tick intervals")},
              {"loop_max_late_ms", num("latest tick start after its due time")},
              {"ticks", integer("ticks since start")},
              {"bus_errors", integer("failed robot commands since start")},
              {"scan_errors", integer("failed range finder scans since start")},
              {"firmware_revision", integer("robot firmware revision, -1 unknown")},
              {"clients", integer("connected clients")},
              {"dropped_messages", integer("messages dropped for slow clients since start")},
              {"queued_bytes", integer("bytes waiting in the clients' send queues")},
              {"recorded_messages", integer("messages written to the recording")},
              {"record_dropped", integer("messages the recording could not keep up with")}})));
  return c;
}

Channel stargazer_channel() {
  return channel(
      kStarGazer, "/stargazer", "tarsa.StarGazerPose",
      object(nullptr, "Position from the StarGazer's ceiling landmarks, as each record comes",
             {{"timestamp", time_schema()},
              {"x", num("m")},
              {"y", num("m")},
              {"height", num("m, to the landmark")},
              {"heading", num("rad, counter-clockwise")},
              {"landmark_id", integer("landmark seen")},
              {"mode", {{"type", "string"}, {"description", "record mode letter"}}}}));
}

Channel scan_channel() {
  auto ranges = ordered_json{{"type", "array"}, {"items", {{"type", "number"}}}};
  return channel(kScan, "/scan", "foxglove.LaserScan",
                 object(nullptr, "Range finder, one message per scan; 0: nothing measured",
                        {{"timestamp", time_schema()},
                         {"frame_id", {{"type", "string"}}},
                         {"pose", pose_schema()},
                         {"start_angle", num("rad")},
                         {"end_angle", num("rad")},
                         {"ranges", ranges},
                         {"intensities", ranges}}));
}

Channel camera_channel() {
  return channel(kCamera, "/camera/image/compressed", "foxglove.CompressedImage",
                 object(nullptr, "Camera frames, JPEG, at the rate set on the command line",
                        {{"timestamp", time_schema()},
                         {"frame_id", {{"type", "string"}}},
                         {"data", {{"type", "string"}, {"contentEncoding", "base64"}}},
                         {"format", {{"type", "string"}}}}));
}

void Odometry::update(int pos_left, int pos_right) {
  if (!started_) {
    started_ = true;
    left_ = pos_left, right_ = pos_right;
    return;
  }
  // Counters wrap at 32 bits: the difference is taken modulo 2^32.
  auto delta = [](int now, int before) {
    return double(std::int32_t(std::uint32_t(now) - std::uint32_t(before)));
  };
  double dl = delta(pos_left, left_) * kSpeedUnit / 1000,
         dr = delta(pos_right, right_) * kSpeedUnit / 1000;
  left_ = pos_left, right_ = pos_right;
  double d = (dl + dr) / 2, dtheta = (dr - dl) / (kWheelBase / 1000);
  pose_.x += d * std::cos(pose_.theta + dtheta / 2);
  pose_.y += d * std::sin(pose_.theta + dtheta / 2);
  pose_.theta = std::remainder(pose_.theta + dtheta, 2 * M_PI);
}

std::string tf_json(std::uint64_t t_ns, const Pose &p) {
  return json{{"timestamp", stamp(t_ns)},
              {"parent_frame_id", "odom"},
              {"child_frame_id", "base_link"},
              {"translation", position(p)},
              {"rotation", quat_z(p.theta)}}
      .dump();
}

std::string odom_json(std::uint64_t t_ns, const Pose &p) {
  return json{{"timestamp", stamp(t_ns)},
              {"frame_id", "odom"},
              {"pose", {{"position", position(p)}, {"orientation", quat_z(p.theta)}}}}
      .dump();
}

std::string wheels_json(std::uint64_t t_ns, const BaseReadings &r) {
  auto wheel = [](int speed, int pos) {
    return json{{"speed", speed * kSpeedUnit},
                {"position", pos * kSpeedUnit},
                {"raw_speed", speed},
                {"raw_position", pos}};
  };
  return json{{"timestamp", stamp(t_ns)},
              {"left", wheel(r.speed_left, r.pos_left)},
              {"right", wheel(r.speed_right, r.pos_right)}}
      .dump();
}

std::string accel_json(std::uint64_t t_ns, const BaseReadings &r) {
  double x, y, z;
  decode_acc(r.acc, &x, &y, &z);
  return json{{"timestamp", stamp(t_ns)}, {"acceleration", {{"x", x}, {"y", y}, {"z", z}}}}.dump();
}

std::string gyro_json(std::uint64_t t_ns, const BaseReadings &r) {
  double x, y, z;
  decode_gyro(r.gyro, &x, &y, &z);
  return json{{"timestamp", stamp(t_ns)}, {"rate", {{"x", x}, {"y", y}, {"z", z}}}}.dump();
}

std::string infrared_json(std::uint64_t t_ns, const BaseReadings &r) {
  int prox[12], amb[12];
  decode_ir(r.ir, prox);
  decode_ir(r.ambient, amb);
  return json{{"timestamp", stamp(t_ns)}, {"proximity", prox}, {"ambient", amb}}.dump();
}

std::string ultrasonic_json(std::uint64_t t_ns, const BaseReadings &r) {
  std::int16_t us[5];
  decode_us(r.us, us);
  return json{{"timestamp", stamp(t_ns)}, {"range_cm", us}}.dump();
}

std::string battery_json(std::uint64_t t_ns, const BaseReadings &r) {
  // The monitor's layout as the robot's firmware fills it: mV, signed mA, 0.1 degC, mAh, mAh,
  // percent, flags.
  const unsigned char *b = r.battery;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string raw;
  for (int i = 0; i < 12; ++i) raw += {kHex[b[i] >> 4], kHex[b[i] & 15]};
  return json{{"timestamp", stamp(t_ns)},
              {"voltage", word(b, 0) / 1000.0},
              {"current", std::int16_t(word(b, 1)) / 1000.0},
              {"temperature", std::int16_t(word(b, 2)) / 10.0},
              {"remaining_mah", word(b, 3)},
              {"capacity_mah", word(b, 4)},
              {"percent", int(b[10])},
              {"charging", r.charging == 1},
              {"raw", raw}}
      .dump();
}

std::string diagnostics_json(std::uint64_t t_ns, const LoopStats &s) {
  return json{{"timestamp", stamp(t_ns)},
              {"loop_rate_hz", s.rate_hz},
              {"loop_jitter_ms", s.jitter_ms},
              {"loop_max_late_ms", s.max_late_ms},
              {"ticks", s.ticks},
              {"bus_errors", s.bus_errors},
              {"scan_errors", s.scan_errors},
              {"firmware_revision", s.firmware_revision},
              {"clients", s.clients},
              {"dropped_messages", s.dropped},
              {"queued_bytes", s.queued_bytes},
              {"recorded_messages", s.recorded},
              {"record_dropped", s.record_dropped}}
      .dump();
}

}  // namespace bridge

namespace bridge {

std::string stargazer_json(std::uint64_t t_ns, const GazerRecord &g) {
  return json{{"timestamp", stamp(t_ns)},
              {"x", g.x / 100},
              {"y", g.y / 100},
              {"height", g.height / 100},
              {"heading", g.angle * M_PI / 180},
              {"landmark_id", g.id},
              {"mode", std::string(g.mode ? 1 : 0, g.mode)}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string compressed_image_json(std::uint64_t t_ns, const std::string &jpeg_base64) {
  return json{
      {"timestamp", stamp(t_ns)}, {"frame_id", "camera"}, {"data", jpeg_base64}, {"format", "jpeg"}}
      .dump();
}

std::string scan_json(std::uint64_t t_ns, const std::int32_t *mm, int count, int front,
                      int steps_per_turn) {
  std::vector<double> ranges(mm, mm + count);
  for (double &r : ranges) r /= 1000;
  const double step = 2 * M_PI / steps_per_turn;
  return json{
      {"timestamp", stamp(t_ns)},
      {"frame_id", "base_link"},
      {"pose", {{"position", {{"x", 0.0}, {"y", 0.0}, {"z", 0.0}}}, {"orientation", quat_z(0)}}},
      {"start_angle", -front * step},
      {"end_angle", (count - 1 - front) * step},
      {"ranges", ranges},
      {"intensities", json::array()}}
      .dump();
}

}  // namespace bridge
