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

// A parameter's value as JSON text; numbers of `float64` ones are marked as such.
struct ParameterValue {
  std::string name, json;
  bool float64 = false;
};

// A parameter operation, for the server to carry out against the live settings.
struct ParameterRequest {
  enum Op { kGet, kSet, kSubscribe, kUnsubscribe } op = kGet;
  std::vector<std::string> names;                  // empty: every parameter
  std::vector<std::optional<ParameterValue>> set;  // kSet: the values asked (none: an unset)
  std::optional<std::string> id;                   // the request's, for the reply
};

// A service call request: the service, the call and the request's bytes.
struct ServiceCall {
  std::uint32_t service = 0, call = 0;
  std::string encoding, payload;
};

// A service the bridge offers; requests and responses are JSON, described by JSON schemas.
struct ServiceInfo {
  std::uint32_t id = 0;
  std::string name, type, request_schema, response_schema;
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
  std::optional<ParameterRequest> parameters;  // a parameter operation to carry out
  std::optional<ServiceCall> call;             // a service call from a client that may drive
  // Subscriptions made that asked for at most this many messages a second (by subscription id).
  std::map<std::uint32_t, double> max_rates;
};

Outcome handle_text(ClientState &state, std::string_view text, std::span<const Channel> channels);
Outcome handle_binary(ClientState &state, std::span<const std::uint8_t> data);

// A drive command's payload: {"linear":{"x":m/s},"angular":{"z":rad/s}}, the shape of a ROS
// Twist as Foxglove's teleoperation panel sends it; absent components are 0. Empty with `error`
// set when the payload is not such a command.
std::optional<Twist> parse_twist(std::string_view payload, std::string *error);

// With `controls`, the parameters and services capabilities.
std::string server_info(bool may_publish, std::string_view session_id, bool controls = false);
// Parameter Values: `id` is the request's, when it had one.
std::string parameter_values(std::span<const ParameterValue> values,
                             const std::optional<std::string> &id);
std::string advertise_services(std::span<const ServiceInfo> services);
std::string service_call_failure(std::uint32_t service, std::uint32_t call,
                                 std::string_view message);
// A Service Call Response frame (binary).
std::string service_call_response(const ServiceCall &call, std::string_view payload);
std::string advertise(std::span<const Channel> channels);
// Levels: 0 info, 1 warning, 2 error.
std::string status(int level, std::string_view message);
// The 13 bytes that precede a message's payload in a Message Data frame.
std::string message_data_header(std::uint32_t subscription, std::uint64_t time_ns);

}  // namespace bridge
