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
// Standard base64, padded: how a JPEG travels in a JSON message.
std::string base64(const std::string &bytes);

}  // namespace bridge
