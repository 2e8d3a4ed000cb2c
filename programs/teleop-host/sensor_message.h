// The operator's view of teleop traffic: parsing the robot's sensor message, writing commands,
// and dead reckoning from the wheel positions.
#pragma once

#include <array>
#include <string>
#include <string_view>

inline constexpr int kSensorFields = 28;

struct SensorMessage {
  double t = 0, ax = 0, ay = 0, az = 0, gx = 0, gy = 0, gz = 0;
  int posL = 0, posR = 0, spdL = 0, spdR = 0;
  std::array<int, 5> us{};
  std::array<int, 12> ir{};
};

// Field tags in message order.
extern const std::array<const char *, kSensorFields> kSensorTags;

// Parses one message: each of the 28 fields as tag, value, tag, in order, nothing else. The first
// seven values are decimal numbers, the others integers. False for anything else (out untouched).
bool parse_sensor_message(std::string_view text, SensorMessage &out);

// The command text "WxV" that teleop parses.
std::string format_command(double W, double V);

// Robot pose from its wheel positions (encoder counts).
class Odometry {
 public:
  Odometry(double mm_per_count, double wheel_base_mm)
      : mm_per_count_(mm_per_count), base_(wheel_base_mm) {}
  void update(int posL, int posR);
  // The next reading is a new origin for the wheel positions; the pose stays where it is.
  void new_origin() { started_ = false; }
  double x() const { return x_; }
  double y() const { return y_; }
  double heading() const { return heading_; }
  double distance() const { return distance_; }

 private:
  double mm_per_count_, base_;
  double x_ = 0, y_ = 0, heading_ = 0, distance_ = 0;
  bool started_ = false;
  int lastL_ = 0, lastR_ = 0;
};

// Cuts a TCP byte stream into sensor messages: a message ends with the last field "IL<n>IL".
class MessageSplitter {
 public:
  void feed(std::string_view bytes) { buf_.append(bytes); }
  // Next complete message, or false. Bytes that cannot start a message are dropped and counted.
  bool next(std::string &message);
  unsigned long dropped() const { return dropped_; }

 private:
  std::string buf_;
  unsigned long dropped_ = 0;
};
