// RIHS01 type hashes of the ROS 2 types the front-end uses: SHA-256 of the canonical JSON of a
// type's description and of every type it refers to, computed at start-up from the descriptions
// below (the messages' fields in order: name, field type id, array size, nested type).
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ros2.h"

namespace bridge {

namespace {

// Field type ids: the scalar's id; + 48 for a fixed array, + 144 for an unbounded sequence.
enum : int {
  kNested = 1,
  kUint8 = 3,
  kInt32 = 6,
  kUint32 = 7,
  kFloat = 10,
  kDouble = 11,
  kBoolean = 15,
  kByte = 16,
  kString = 17,
  kArray = 48,
  kSequence = 144
};

struct Field {
  const char *name;
  int type;
  int capacity = 0;  // the size of a fixed array
  const char *nested = "";
};

const std::map<std::string, std::vector<Field>> &descriptions() {
  static const std::map<std::string, std::vector<Field>> d = {
      {"builtin_interfaces/msg/Time", {{"sec", kInt32}, {"nanosec", kUint32}}},
      {"std_msgs/msg/Header",
       {{"stamp", kNested, 0, "builtin_interfaces/msg/Time"}, {"frame_id", kString}}},
      {"geometry_msgs/msg/Vector3", {{"x", kDouble}, {"y", kDouble}, {"z", kDouble}}},
      {"geometry_msgs/msg/Point", {{"x", kDouble}, {"y", kDouble}, {"z", kDouble}}},
      {"geometry_msgs/msg/Quaternion",
       {{"x", kDouble}, {"y", kDouble}, {"z", kDouble}, {"w", kDouble}}},
      {"geometry_msgs/msg/Pose",
       {{"position", kNested, 0, "geometry_msgs/msg/Point"},
        {"orientation", kNested, 0, "geometry_msgs/msg/Quaternion"}}},
      {"geometry_msgs/msg/PoseWithCovariance",
       {{"pose", kNested, 0, "geometry_msgs/msg/Pose"}, {"covariance", kDouble + kArray, 36}}},
      {"geometry_msgs/msg/PoseWithCovarianceStamped",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"pose", kNested, 0, "geometry_msgs/msg/PoseWithCovariance"}}},
      {"geometry_msgs/msg/Twist",
       {{"linear", kNested, 0, "geometry_msgs/msg/Vector3"},
        {"angular", kNested, 0, "geometry_msgs/msg/Vector3"}}},
      {"geometry_msgs/msg/TwistStamped",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"twist", kNested, 0, "geometry_msgs/msg/Twist"}}},
      {"geometry_msgs/msg/TwistWithCovariance",
       {{"twist", kNested, 0, "geometry_msgs/msg/Twist"}, {"covariance", kDouble + kArray, 36}}},
      {"geometry_msgs/msg/Transform",
       {{"translation", kNested, 0, "geometry_msgs/msg/Vector3"},
        {"rotation", kNested, 0, "geometry_msgs/msg/Quaternion"}}},
      {"geometry_msgs/msg/TransformStamped",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"child_frame_id", kString},
        {"transform", kNested, 0, "geometry_msgs/msg/Transform"}}},
      {"nav_msgs/msg/Odometry",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"child_frame_id", kString},
        {"pose", kNested, 0, "geometry_msgs/msg/PoseWithCovariance"},
        {"twist", kNested, 0, "geometry_msgs/msg/TwistWithCovariance"}}},
      {"tf2_msgs/msg/TFMessage",
       {{"transforms", kNested + kSequence, 0, "geometry_msgs/msg/TransformStamped"}}},
      {"sensor_msgs/msg/JointState",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"name", kString + kSequence},
        {"position", kDouble + kSequence},
        {"velocity", kDouble + kSequence},
        {"effort", kDouble + kSequence}}},
      {"sensor_msgs/msg/Imu",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"orientation", kNested, 0, "geometry_msgs/msg/Quaternion"},
        {"orientation_covariance", kDouble + kArray, 9},
        {"angular_velocity", kNested, 0, "geometry_msgs/msg/Vector3"},
        {"angular_velocity_covariance", kDouble + kArray, 9},
        {"linear_acceleration", kNested, 0, "geometry_msgs/msg/Vector3"},
        {"linear_acceleration_covariance", kDouble + kArray, 9}}},
      {"sensor_msgs/msg/BatteryState",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"voltage", kFloat},
        {"temperature", kFloat},
        {"current", kFloat},
        {"charge", kFloat},
        {"capacity", kFloat},
        {"design_capacity", kFloat},
        {"percentage", kFloat},
        {"power_supply_status", kUint8},
        {"power_supply_health", kUint8},
        {"power_supply_technology", kUint8},
        {"present", kBoolean},
        {"cell_voltage", kFloat + kSequence},
        {"cell_temperature", kFloat + kSequence},
        {"location", kString},
        {"serial_number", kString}}},
      {"sensor_msgs/msg/Range",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"radiation_type", kUint8},
        {"field_of_view", kFloat},
        {"min_range", kFloat},
        {"max_range", kFloat},
        {"range", kFloat}}},
      {"sensor_msgs/msg/LaserScan",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"angle_min", kFloat},
        {"angle_max", kFloat},
        {"angle_increment", kFloat},
        {"time_increment", kFloat},
        {"scan_time", kFloat},
        {"range_min", kFloat},
        {"range_max", kFloat},
        {"ranges", kFloat + kSequence},
        {"intensities", kFloat + kSequence}}},
      {"sensor_msgs/msg/CompressedImage",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"format", kString},
        {"data", kUint8 + kSequence}}},
      {"sensor_msgs/msg/RegionOfInterest",
       {{"x_offset", kUint32},
        {"y_offset", kUint32},
        {"height", kUint32},
        {"width", kUint32},
        {"do_rectify", kBoolean}}},
      {"sensor_msgs/msg/CameraInfo",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"height", kUint32},
        {"width", kUint32},
        {"distortion_model", kString},
        {"d", kDouble + kSequence},
        {"k", kDouble + kArray, 9},
        {"r", kDouble + kArray, 9},
        {"p", kDouble + kArray, 12},
        {"binning_x", kUint32},
        {"binning_y", kUint32},
        {"roi", kNested, 0, "sensor_msgs/msg/RegionOfInterest"}}},
      {"diagnostic_msgs/msg/KeyValue", {{"key", kString}, {"value", kString}}},
      {"diagnostic_msgs/msg/DiagnosticStatus",
       {{"level", kByte},
        {"name", kString},
        {"message", kString},
        {"hardware_id", kString},
        {"values", kNested + kSequence, 0, "diagnostic_msgs/msg/KeyValue"}}},
      {"diagnostic_msgs/msg/DiagnosticArray",
       {{"header", kNested, 0, "std_msgs/msg/Header"},
        {"status", kNested + kSequence, 0, "diagnostic_msgs/msg/DiagnosticStatus"}}},
      {"std_msgs/msg/String", {{"data", kString}}},
  };
  return d;
}

// The JSON of one type description, as Python's json.dumps writes it with separators ", " and
// ": " (the names are plain ASCII: nothing to escape).
std::string description_json(const std::string &type) {
  std::string j = "{\"type_name\": \"" + type + "\", \"fields\": [";
  bool first = true;
  for (const Field &f : descriptions().at(type)) {
    if (!first) j += ", ";
    first = false;
    j += "{\"name\": \"" + std::string(f.name) +
         "\", \"type\": {\"type_id\": " + std::to_string(f.type) +
         ", \"capacity\": " + std::to_string(f.capacity) +
         ", \"string_capacity\": 0, \"nested_type_name\": \"" + f.nested + "\"}}";
  }
  return j + "]}";
}

void referenced(const std::string &type, std::set<std::string> &out) {
  for (const Field &f : descriptions().at(type))
    if (*f.nested && out.insert(f.nested).second) referenced(f.nested, out);
}

// SHA-256 (FIPS 180-4).
std::array<std::uint8_t, 32> sha256(const std::string &text) {
  static constexpr std::uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<std::uint8_t> m(text.begin(), text.end());
  const std::uint64_t bits = std::uint64_t(text.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(std::uint8_t(bits >> (8 * i)));
  auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (std::size_t at = 0; at < m.size(); at += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = std::uint32_t(m[at + 4 * i]) << 24 | std::uint32_t(m[at + 4 * i + 1]) << 16 |
             std::uint32_t(m[at + 4 * i + 2]) << 8 | m[at + 4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t t1 =
          hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
  }
  std::array<std::uint8_t, 32> out{};
  for (int i = 0; i < 32; ++i) out[i] = std::uint8_t(h[i / 4] >> (24 - 8 * (i % 4)));
  return out;
}

}  // namespace

std::string ros2_type_hash(const std::string &type) {
  if (!descriptions().count(type)) return "";
  std::set<std::string> refs;  // ordered by name, as the canonical form wants them
  referenced(type, refs);
  std::string json =
      "{\"type_description\": " + description_json(type) + ", \"referenced_type_descriptions\": [";
  bool first = true;
  for (const std::string &r : refs) {
    if (!first) json += ", ";
    first = false;
    json += description_json(r);
  }
  json += "]}";
  std::string hex = "RIHS01_";
  char byte[3];
  for (std::uint8_t b : sha256(json)) {
    std::snprintf(byte, sizeof byte, "%02x", b);
    hex += byte;
  }
  return hex;
}

}  // namespace bridge
