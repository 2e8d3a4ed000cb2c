// Foxglove WebSocket protocol, server side.
#include "protocol.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace bridge {

namespace {

using nlohmann::json;

constexpr std::uint8_t kClientMessageData = 0x01;
constexpr std::uint8_t kServiceCallRequest = 0x02;
constexpr std::uint8_t kMessageData = 0x01;
constexpr std::uint8_t kServiceCallResponse = 0x03;

enum Level { kInfo = 0, kWarning = 1, kError = 2 };

// A JSON integer that fits an id (uint32) into `id`; false when there is none.
bool id_of(const json *v, std::uint32_t &id) {
  if (!v || !v->is_number_integer()) return false;
  if (v->is_number_unsigned()) {
    auto u = v->get<std::uint64_t>();
    id = std::uint32_t(u);
    return u <= 0xFFFFFFFFu;
  }
  auto i = v->get<std::int64_t>();
  id = std::uint32_t(i);
  return i >= 0 && i <= 0xFFFFFFFF;
}

const json *field(const json &o, const char *name) {
  if (!o.is_object()) return nullptr;
  auto it = o.find(name);
  return it == o.end() ? nullptr : &*it;
}

void subscribe(ClientState &st, const json &msg, std::span<const Channel> channels, Outcome &out) {
  const json *subs = field(msg, "subscriptions");
  if (!subs || !subs->is_array()) {
    out.replies.push_back(status(kError, "subscribe: subscriptions must be an array"));
    return;
  }
  for (const json &s : *subs) {
    std::uint32_t id = 0, channel = 0;
    if (!id_of(field(s, "id"), id) || !id_of(field(s, "channelId"), channel)) {
      out.replies.push_back(
          status(kError, "subscribe: each subscription needs an id and a channelId"));
      continue;
    }
    // An extension of ours: "maxRate", at most this many messages a second for this
    // subscription. Other servers ignore the field; a client that does not send it gets every
    // message.
    const json *rate = field(s, "maxRate");
    if (rate && (!rate->is_number() || !(rate->get<double>() > 0))) {
      out.replies.push_back(
          status(kError, "subscribe: maxRate must be a positive number of messages a second"));
      continue;
    }
    bool known = false;
    for (const Channel &c : channels) known = known || c.id == channel;
    bool twice = false;
    for (auto &[sid, ch] : st.subscriptions) twice = twice || ch == channel;
    if (!known) {
      out.replies.push_back(status(kError, "subscribe: no channel " + std::to_string(channel)));
    } else if (st.subscriptions.count(id)) {
      out.replies.push_back(
          status(kError, "subscribe: subscription id " + std::to_string(id) + " is in use"));
    } else if (twice) {
      out.replies.push_back(
          status(kError, "subscribe: already subscribed to channel " + std::to_string(channel)));
    } else {
      st.subscriptions[id] = channel;
      if (rate) out.max_rates[id] = rate->get<double>();
      out.subscriptions_changed = true;
    }
  }
}

void unsubscribe(ClientState &st, const json &msg, Outcome &out) {
  const json *ids = field(msg, "subscriptionIds");
  if (!ids || !ids->is_array()) {
    out.replies.push_back(status(kError, "unsubscribe: subscriptionIds must be an array"));
    return;
  }
  for (const json &v : *ids) {
    std::uint32_t id = 0;
    if (id_of(&v, id) && st.subscriptions.erase(id)) {
      out.subscriptions_changed = true;
    } else {
      out.replies.push_back(status(kWarning, "unsubscribe: no subscription " + v.dump()));
    }
  }
}

void client_advertise(ClientState &st, const json &msg, Outcome &out) {
  if (!st.may_publish) {
    out.replies.push_back(status(
        kError, "publishing refused: " + st.address + " may watch but is not allowed to drive"));
    return;
  }
  const json *chans = field(msg, "channels");
  if (!chans || !chans->is_array()) {
    out.replies.push_back(status(kError, "advertise: channels must be an array"));
    return;
  }
  for (const json &c : *chans) {
    const json *topic = field(c, "topic"), *enc = field(c, "encoding");
    std::uint32_t id = 0;
    if (!id_of(field(c, "id"), id) || !topic || !topic->is_string() || !enc || !enc->is_string()) {
      out.replies.push_back(
          status(kError, "advertise: each channel needs an id, a topic and an encoding"));
    } else if (topic->get<std::string>() != kDriveTopic || enc->get<std::string>() != "json") {
      out.replies.push_back(status(kWarning, "advertise: only " + std::string(kDriveTopic) +
                                                 " in json is taken; " + topic->get<std::string>() +
                                                 " is ignored"));
    } else {
      st.publications[id] = topic->get<std::string>();
    }
  }
}

void client_unadvertise(ClientState &st, const json &msg, Outcome &out) {
  const json *ids = field(msg, "channelIds");
  if (!ids || !ids->is_array()) {
    out.replies.push_back(status(kError, "unadvertise: channelIds must be an array"));
    return;
  }
  for (const json &v : *ids) {
    std::uint32_t id = 0;
    if (id_of(&v, id) && st.publications.erase(id)) out.withdrawn = true;
  }
}

// The parameterNames of a get or a (un)subscription: false when it is not an array of strings.
bool parameter_names(const json &msg, std::vector<std::string> &names) {
  const json *list = field(msg, "parameterNames");
  if (!list || !list->is_array()) return false;
  for (const json &n : *list) {
    if (!n.is_string()) return false;
    names.push_back(n.get<std::string>());
  }
  return true;
}

void parameters(ClientState &st, const std::string &op, const json &msg, Outcome &out) {
  ParameterRequest r;
  const json *id = field(msg, "id");
  if (id && id->is_string()) r.id = id->get<std::string>();
  if (op == "setParameters") {
    if (!st.may_publish) {
      out.replies.push_back(status(kError, "setParameters refused: " + st.address +
                                               " may watch but is not allowed to change settings"));
      return;
    }
    const json *list = field(msg, "parameters");
    if (!list || !list->is_array()) {
      out.replies.push_back(status(kError, "setParameters: parameters must be an array"));
      return;
    }
    r.op = ParameterRequest::kSet;
    for (const json &p : *list) {
      const json *name = field(p, "name");
      if (!name || !name->is_string()) {
        out.replies.push_back(status(kError, "setParameters: each parameter needs a name"));
        continue;
      }
      const json *value = field(p, "value");
      const json *type = field(p, "type");
      r.names.push_back(name->get<std::string>());
      if (value && !value->is_null())
        r.set.push_back(ParameterValue{r.names.back(), value->dump(), type && *type == "float64"});
      else
        r.set.emplace_back();
    }
  } else {
    r.op = op == "getParameters"               ? ParameterRequest::kGet
           : op == "subscribeParameterUpdates" ? ParameterRequest::kSubscribe
                                               : ParameterRequest::kUnsubscribe;
    if (!parameter_names(msg, r.names)) {
      out.replies.push_back(status(kError, op + ": parameterNames must be an array of strings"));
      return;
    }
  }
  out.parameters = std::move(r);
}

}  // namespace

Outcome handle_text(ClientState &st, std::string_view text, std::span<const Channel> channels) {
  Outcome out;
  json msg = json::parse(text, nullptr, false);
  const json *op = field(msg, "op");
  if (!op || !op->is_string()) {
    out.replies.push_back(status(kError, "not a JSON object with an op"));
    return out;
  }
  const auto &name = op->get_ref<const std::string &>();
  if (name == "subscribe") {
    subscribe(st, msg, channels, out);
  } else if (name == "unsubscribe") {
    unsubscribe(st, msg, out);
  } else if (name == "advertise") {
    client_advertise(st, msg, out);
  } else if (name == "unadvertise") {
    client_unadvertise(st, msg, out);
  } else if (name == "getParameters" || name == "setParameters" ||
             name == "subscribeParameterUpdates" || name == "unsubscribeParameterUpdates") {
    parameters(st, name, msg, out);
  } else {
    out.replies.push_back(status(kWarning, "operation not supported: " + name));
  }
  return out;
}

Outcome handle_binary(ClientState &st, std::span<const std::uint8_t> data) {
  Outcome out;
  if (data.empty()) {
    out.replies.push_back(status(kError, "empty binary message"));
  } else if (data[0] == kClientMessageData && data.size() >= 5) {
    std::uint32_t channel = data[1] | data[2] << 8 | data[3] << 16 | std::uint32_t(data[4]) << 24;
    if (!st.may_publish) {
      out.replies.push_back(status(
          kError, "publishing refused: " + st.address + " may watch but is not allowed to drive"));
    } else if (!st.publications.count(channel)) {
      out.replies.push_back(status(kError, "message on channel " + std::to_string(channel) +
                                               ", which this client has not advertised"));
    } else {
      std::string error;
      std::string_view payload(reinterpret_cast<const char *>(data.data() + 5), data.size() - 5);
      out.drive = parse_twist(payload, &error);
      if (!out.drive) out.replies.push_back(status(kError, "drive command ignored: " + error));
    }
  } else if (data[0] == kClientMessageData) {
    out.replies.push_back(status(kError, "message data shorter than its header"));
  } else if (data[0] == kServiceCallRequest && data.size() >= 13) {
    auto u32 = [&](std::size_t at) {
      return data[at] | data[at + 1] << 8 | data[at + 2] << 16 | std::uint32_t(data[at + 3]) << 24;
    };
    ServiceCall c{u32(1), u32(5), {}, {}};
    const std::uint32_t length = u32(9);
    if (length > data.size() - 13) {
      out.replies.push_back(
          service_call_failure(c.service, c.call, "encoding longer than the call"));
    } else if (!st.may_publish) {
      out.replies.push_back(service_call_failure(
          c.service, c.call, "refused: " + st.address + " may watch but is not allowed to call"));
    } else {
      const char *bytes = reinterpret_cast<const char *>(data.data());
      c.encoding.assign(bytes + 13, length);
      c.payload.assign(bytes + 13 + length, data.size() - 13 - length);
      out.call = std::move(c);
    }
  } else if (data[0] == kServiceCallRequest) {
    out.replies.push_back(status(kError, "service call shorter than its header"));
  } else {
    out.replies.push_back(status(kError, "unknown binary operation " + std::to_string(data[0])));
  }
  return out;
}

std::optional<Twist> parse_twist(std::string_view payload, std::string *error) {
  json msg = json::parse(payload, nullptr, false);
  if (!msg.is_object()) {
    *error = "not a JSON object";
    return std::nullopt;
  }
  Twist t;
  auto take = [&](const char *part, const char *axis, double &to) {
    const json *p = field(msg, part);
    if (!p) return true;
    const json *v = field(*p, axis);
    if (!p->is_object() || (v && !v->is_number())) {
      *error = std::string(part) + "." + axis + " must be a number";
      return false;
    }
    if (v) to = v->get<double>();
    if (!std::isfinite(to)) {
      *error = std::string(part) + "." + axis + " must be finite";
      return false;
    }
    return true;
  };
  if (!take("linear", "x", t.linear) || !take("angular", "z", t.angular)) return std::nullopt;
  return t;
}

std::string server_info(bool may_publish, std::string_view session_id, bool controls) {
  json info = {{"op", "serverInfo"},
               {"name", "tarsa-bridge"},
               {"capabilities", json::array()},
               {"metadata", {{"robot", "Tarsa4"}}},
               {"sessionId", session_id}};
  if (may_publish) info["capabilities"].push_back("clientPublish");
  if (controls)
    for (const char *c : {"parameters", "parametersSubscribe", "services"})
      info["capabilities"].push_back(c);
  if (may_publish || controls) info["supportedEncodings"] = {"json"};
  return info.dump();
}

std::string advertise(std::span<const Channel> channels) {
  json list = json::array();
  for (const Channel &c : channels)
    list.push_back({{"id", c.id},
                    {"topic", c.topic},
                    {"encoding", "json"},
                    {"schemaName", c.schema_name},
                    {"schema", c.schema},
                    {"schemaEncoding", "jsonschema"}});
  return json{{"op", "advertise"}, {"channels", list}}.dump();
}

std::string parameter_values(std::span<const ParameterValue> values,
                             const std::optional<std::string> &id) {
  json list = json::array();
  for (const ParameterValue &v : values) {
    json p = {{"name", v.name}, {"value", json::parse(v.json, nullptr, false)}};
    if (v.float64) p["type"] = "float64";
    list.push_back(std::move(p));
  }
  json msg = {{"op", "parameterValues"}, {"parameters", std::move(list)}};
  if (id) msg["id"] = *id;
  return msg.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string advertise_services(std::span<const ServiceInfo> services) {
  json list = json::array();
  auto part = [](const std::string &type, const char *which, const std::string &schema) {
    return json{{"encoding", "json"},
                {"schemaName", type + "_" + which},
                {"schemaEncoding", "jsonschema"},
                {"schema", schema}};
  };
  for (const ServiceInfo &s : services)
    list.push_back({{"id", s.id},
                    {"name", s.name},
                    {"type", s.type},
                    {"request", part(s.type, "Request", s.request_schema)},
                    {"response", part(s.type, "Response", s.response_schema)},
                    // For clients that know only the older fields.
                    {"requestSchema", s.request_schema},
                    {"responseSchema", s.response_schema}});
  return json{{"op", "advertiseServices"}, {"services", std::move(list)}}.dump();
}

std::string service_call_failure(std::uint32_t service, std::uint32_t call,
                                 std::string_view message) {
  return json{
      {"op", "serviceCallFailure"}, {"serviceId", service}, {"callId", call}, {"message", message}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string service_call_response(const ServiceCall &call, std::string_view payload) {
  std::string f(13, '\0');
  f[0] = char(kServiceCallResponse);
  const std::uint32_t words[] = {call.service, call.call, std::uint32_t(call.encoding.size())};
  for (int w = 0; w < 3; ++w)
    for (int i = 0; i < 4; ++i) f[1 + 4 * w + i] = char(words[w] >> (8 * i));
  f += call.encoding;
  f += payload;
  return f;
}

std::string status(int level, std::string_view message) {
  return json{{"op", "status"}, {"level", level}, {"message", message}}.dump(
      -1, ' ', false, json::error_handler_t::replace);
}

std::string message_data_header(std::uint32_t subscription, std::uint64_t time_ns) {
  std::string h(13, '\0');
  h[0] = char(kMessageData);
  for (int i = 0; i < 4; ++i) h[1 + i] = char(subscription >> (8 * i));
  for (int i = 0; i < 8; ++i) h[5 + i] = char(time_ns >> (8 * i));
  return h;
}

}  // namespace bridge
