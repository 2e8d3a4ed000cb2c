// Foxglove WebSocket protocol, server side: the messages the bridge sends, and the handling of a
// client's messages as a pure function of their bytes and of the client's state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "samples.h"

namespace bridge {

// Subprotocol names a client may ask for: the current Foxglove one, and the one of the npm
// client library. Both name the same protocol.
inline constexpr std::string_view kSubprotocols[] = {"foxglove.sdk.v1", "foxglove.websocket.v1"};

// The one topic a client may publish on, and its encoding.
inline constexpr std::string_view kDriveTopic = "/cmd_vel";

// A channel the bridge serves.
struct Channel {
  std::uint32_t id = 0;
  std::string topic, schema_name, schema;  // JSON messages described by a JSON schema
};

struct ClientState {
  std::string address;  // the peer, for messages
  bool may_publish = false;
  std::map<std::uint32_t, std::uint32_t> subscriptions;  // subscription id -> channel id
  std::map<std::uint32_t, std::string> publications;     // client channel id -> topic
};

// What one client message leads to.
struct Outcome {
  std::vector<std::string> replies;  // text messages to send back (status)
  std::optional<Twist> drive;        // a drive command to apply
  bool withdrawn = false;            // the client withdrew its drive channel
  bool subscriptions_changed = false;
  // Subscriptions made that asked for at most this many messages a second (by subscription id).
  std::map<std::uint32_t, double> max_rates;
};

Outcome handle_text(ClientState &state, std::string_view text, std::span<const Channel> channels);
Outcome handle_binary(ClientState &state, std::span<const std::uint8_t> data);

// A drive command's payload: {"linear":{"x":m/s},"angular":{"z":rad/s}}, the shape of a ROS
// Twist as Foxglove's teleoperation panel sends it; absent components are 0. Empty with `error`
// set when the payload is not such a command.
std::optional<Twist> parse_twist(std::string_view payload, std::string *error);

std::string server_info(bool may_publish, std::string_view session_id);
std::string advertise(std::span<const Channel> channels);
// Levels: 0 info, 1 warning, 2 error.
std::string status(int level, std::string_view message);
// The 13 bytes that precede a message's payload in a Message Data frame.
std::string message_data_header(std::uint32_t subscription, std::uint64_t time_ns);

}  // namespace bridge
