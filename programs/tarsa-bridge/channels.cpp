// The Foxglove side's encoding: topics, JSON schemas and the messages made of the samples.
#include "channels.h"

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <variant>

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
json position(const OdometrySample &p) {
  return {{"x", p.x_m}, {"y", p.y_m}, {"z", 0.0}};
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
      object(
          nullptr, "State of the bridge, 1 Hz",
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
           {"record_dropped", integer("messages the recording could not keep up with or lost")},
           {"record_error",
            {{"type", "string"}, {"description", "why the recording stopped writing, or empty"}}},
           {"scan_restarts", integer("times the range finder was opened again")},
           {"safety_hold",
            {{"type", "boolean"}, {"description", "forward motion held back by an obstacle"}}},
           {"silent_sensors",
            {{"type", "array"},
             {"items", {{"type", "string"}}},
             {"description", "sensors that delivered nothing for 3 s"}}}})));
  return c;
}

namespace {

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

}  // namespace

std::vector<Channel> channels(const SensorSet &present) {
  std::vector<Channel> c = base_channels();
  if (present.stargazer) c.push_back(stargazer_channel());
  if (present.scan) c.push_back(scan_channel());
  if (present.camera) c.push_back(camera_channel());
  return c;
}

namespace {

// One message per sample kind, or several; `t` is the sample's time.
struct Encoder {
  std::uint64_t t;
  const std::function<void(ChannelKey, std::string)> &emit;

  void operator()(const OdometrySample &p) const {
    emit(kTf, json{{"timestamp", stamp(t)},
                   {"parent_frame_id", "odom"},
                   {"child_frame_id", "base_link"},
                   {"translation", position(p)},
                   {"rotation", quat_z(p.theta_rad)}}
                  .dump());
    emit(kOdom, json{{"timestamp", stamp(t)},
                     {"frame_id", "odom"},
                     {"pose", {{"position", position(p)}, {"orientation", quat_z(p.theta_rad)}}}}
                    .dump());
  }

  void operator()(const WheelsSample &w) const {
    auto wheel = [](int speed, int pos) {
      return json{{"speed", speed * TR4_MM_PER_UNIT},
                  {"position", pos * TR4_MM_PER_UNIT},
                  {"raw_speed", speed},
                  {"raw_position", pos}};
    };
    emit(kWheels, json{{"timestamp", stamp(t)},
                       {"left", wheel(w.speed_left, w.pos_left)},
                       {"right", wheel(w.speed_right, w.pos_right)}}
                      .dump());
  }

  void operator()(const ImuSample &imu) const {
    auto axes = [](const tr4_vector3_t &v) { return json{{"x", v.x}, {"y", v.y}, {"z", v.z}}; };
    if (imu.accel_g)
      emit(kAccel, json{{"timestamp", stamp(t)}, {"acceleration", axes(*imu.accel_g)}}.dump());
    if (imu.rate_deg_s)
      emit(kGyro, json{{"timestamp", stamp(t)}, {"rate", axes(*imu.rate_deg_s)}}.dump());
  }

  void operator()(const InfraredSample &ir) const {
    emit(
        kInfrared,
        json{{"timestamp", stamp(t)}, {"proximity", ir.proximity}, {"ambient", ir.ambient}}.dump());
  }

  void operator()(const UltrasonicSample &us) const {
    // The firmware's own centimetres, signed; 0 where nothing was in range.
    std::int16_t cm[TR4_US_COUNT];
    for (int i = 0; i < TR4_US_COUNT; ++i) cm[i] = std::int16_t(word(us.reply, i));
    emit(kUltrasonic, json{{"timestamp", stamp(t)}, {"range_cm", cm}}.dump());
  }

  void operator()(const BatterySample &b) const {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string raw;
    for (unsigned char c : b.reply) raw += {kHex[c >> 4], kHex[c & 15]};
    emit(kBattery, json{{"timestamp", stamp(t)},
                        {"voltage", b.state.voltage_v},
                        {"current", b.state.current_a},
                        {"temperature", b.state.temperature_c},
                        {"remaining_mah", b.state.remaining_mah},
                        {"capacity_mah", b.state.capacity_mah},
                        {"percent", b.state.charge_percent},
                        {"charging", b.charge_line},
                        {"raw", raw}}
                       .dump());
  }

  void operator()(const DiagnosticsSample &s) const {
    emit(kDiagnostics, json{{"timestamp", stamp(t)},
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
                            {"record_dropped", s.record_dropped},
                            {"record_error", s.record_error},
                            {"scan_restarts", s.scan_restarts},
                            {"safety_hold", s.safety_hold},
                            {"silent_sensors", s.silent}}
                           .dump());
  }

  void operator()(const StarGazerSample &g) const {
    emit(kStarGazer, json{{"timestamp", stamp(t)},
                          {"x", g.x_m},
                          {"y", g.y_m},
                          {"height", g.height_m},
                          {"heading", g.heading_rad},
                          {"landmark_id", g.landmark_id},
                          {"mode", std::string(g.mode ? 1 : 0, g.mode)}}
                         .dump(-1, ' ', false, json::error_handler_t::replace));
  }

  void operator()(const ScanSample &s) const {
    emit(kScan,
         json{{"timestamp", stamp(t)},
              {"frame_id", "base_link"},
              {"pose",
               {{"position", {{"x", 0.0}, {"y", 0.0}, {"z", 0.0}}}, {"orientation", quat_z(0)}}},
              {"start_angle", s.start_angle_rad},
              {"end_angle", s.end_angle_rad},
              {"ranges", s.range_m},
              {"intensities", json::array()}}
             .dump());
  }

  void operator()(const CameraSample &f) const {
    emit(kCamera, json{{"timestamp", stamp(t)},
                       {"frame_id", "camera"},
                       {"data", base64(f.jpeg)},
                       {"format", "jpeg"}}
                      .dump());
  }
};

}  // namespace

void encode(const Sample &sample, const std::function<void(ChannelKey, std::string)> &emit) {
  std::visit(Encoder{sample.time_ns, emit}, sample.value);
}

void PathHistory::add(std::uint64_t time_ns, double x_m, double y_m) {
  if (!points_.empty() && std::hypot(x_m - points_.back().x, y_m - points_.back().y) < spacing_)
    return;
  if (points_.size() >= capacity_) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < points_.size(); i += 2) points_[kept++] = points_[i];
    points_.resize(kept);
    spacing_ *= 2;
  }
  points_.push_back({time_ns, x_m, y_m});
}

std::string PathHistory::json() const {
  auto mm = [](double v) { return std::round(v * 1000) / 1000; };
  nlohmann::json points = nlohmann::json::array();
  for (const Point &p : points_) points.push_back({double(p.t / 1000000) / 1000, mm(p.x), mm(p.y)});
  return nlohmann::json{{"frame_id", "odom"}, {"points", std::move(points)}}.dump();
}

std::string base64(const std::string &bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v =
        std::uint8_t(bytes[i]) << 16 | std::uint8_t(bytes[i + 1]) << 8 | std::uint8_t(bytes[i + 2]);
    out += {kDigits[v >> 18], kDigits[v >> 12 & 63], kDigits[v >> 6 & 63], kDigits[v & 63]};
  }
  if (std::size_t rest = bytes.size() - i) {
    unsigned v = std::uint8_t(bytes[i]) << 16 | (rest > 1 ? std::uint8_t(bytes[i + 1]) << 8 : 0);
    out += {kDigits[v >> 18], kDigits[v >> 12 & 63], rest > 1 ? kDigits[v >> 6 & 63] : '=', '='};
  }
  return out;
}

}  // namespace bridge
