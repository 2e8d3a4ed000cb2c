// The Foxglove side's encoding: the channels' topics and JSON schemas, and the JSON messages
// made of the core's samples. Pure functions: no robot, no network.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol.h"
#include "samples.h"

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
// The robot base's channels and those of the optional sensors present.
std::vector<Channel> channels(const SensorSet &present);

// The messages of one sample: each as its channel and its JSON text, stamped with the sample's
// time. One sample may make several messages (a pose: /tf and /odom), or none.
void encode(const Sample &sample, const std::function<void(ChannelKey, std::string)> &emit);
// The robot's path since the bridge started, for a console page opened mid-run: points at least
// `spacing` metres apart, at most `capacity` of them. When full, every other point goes and the
// spacing doubles, so the whole path stays, coarser. Not thread-safe.
class PathHistory {
 public:
  explicit PathHistory(std::size_t capacity = 2000, double spacing_m = 0.01)
      : capacity_(capacity < 2 ? 2 : capacity), spacing_(spacing_m) {}
  void add(std::uint64_t time_ns, double x_m, double y_m);
  std::size_t size() const { return points_.size(); }
  // {"frame_id":"odom","points":[[seconds, x, y], ...]}: Unix seconds, metres in odom, oldest
  // first.
  std::string json() const;

 private:
  struct Point {
    std::uint64_t t;
    double x, y;
  };
  std::size_t capacity_;
  double spacing_;
  std::vector<Point> points_;
};

// Standard base64, padded: how a JPEG travels in a JSON message.
std::string base64(const std::string &bytes);

}  // namespace bridge
