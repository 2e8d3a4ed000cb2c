// Fuzzing of tarsa-bridge's handling of client messages: random bytes, mutated real messages and
// JSON with fields of every type, fed to one session's state as a client would send them. Built
// with the sanitizers, any invalid access fails the run; every reply must be a status message
// (or a service call's failure).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "channels.h"
#include "protocol.h"

using namespace bridge;
using nlohmann::json;

namespace {

const std::vector<std::string> kSeeds = {
    R"({"op":"subscribe","subscriptions":[{"id":0,"channelId":1},{"id":1,"channelId":2}]})",
    R"({"op":"unsubscribe","subscriptionIds":[0,1,2]})",
    R"({"op":"advertise","channels":[{"id":1,"topic":"/cmd_vel","encoding":"json","schemaName":"x"}]})",
    R"({"op":"unadvertise","channelIds":[1]})",
    R"({"op":"getParameters","parameterNames":[],"id":"x"})",
    "\x01\x01\x00\x00\x00{\"linear\":{\"x\":0.1},\"angular\":{\"z\":0.2}}",
    "\x02\x01\x00\x00\x00\x01\x00\x00\x00\x04\x00\x00\x00json{}",
};

json random_value(std::mt19937 &rng, int depth) {
  switch (rng() % (depth > 3 ? 6 : 8)) {
    case 0:
      return nullptr;
    case 1:
      return bool(rng() & 1);
    case 2:
      return std::int64_t(rng()) - (std::int64_t(1) << 31) * (rng() % 3);
    case 3:
      return std::uniform_real_distribution<double>(-1e308, 1e308)(rng);
    case 4:
      return std::string(rng() % 8, char('a' + rng() % 26));
    case 5:
      return std::uint64_t(rng()) << 32 | rng();
    case 6: {
      json a = json::array();
      for (unsigned i = rng() % 4; i > 0; --i) a.push_back(random_value(rng, depth + 1));
      return a;
    }
    default: {
      static const char *keys[] = {
          "id",       "channelId",  "topic",  "encoding", "subscriptions", "subscriptionIds",
          "channels", "channelIds", "linear", "x"};
      json o = json::object();
      for (unsigned i = rng() % 4; i > 0; --i) o[keys[rng() % 10]] = random_value(rng, depth + 1);
      return o;
    }
  }
}

void check(const Outcome &o) {
  for (auto &r : o.replies) {
    json m = json::parse(r);
    ASSERT_TRUE(m.at("op") == "status" || m.at("op") == "serviceCallFailure") << r;
  }
  if (o.drive) {
    ASSERT_TRUE(std::isfinite(o.drive->linear) && std::isfinite(o.drive->angular));
  }
}

}  // namespace

TEST(BridgeFuzz, ClientMessages) {
  std::mt19937 rng(20261208);
  auto channels = base_channels();
  static const char *ops[] = {"subscribe", "unsubscribe", "advertise", "unadvertise", "x"};
  for (int session = 0; session < 120; ++session) {
    ClientState st{"127.0.0.1", session % 2 == 0, {}, {}};
    for (int i = 0; i < 200; ++i) {
      std::string bytes;
      switch (rng() % 3) {
        case 0:
          bytes.resize(rng() % 64);
          for (char &c : bytes) c = char(rng());
          break;
        case 1: {
          bytes = kSeeds[rng() % kSeeds.size()];
          for (unsigned n = rng() % 4; n > 0 && !bytes.empty(); --n) {
            std::size_t at = rng() % bytes.size();
            switch (rng() % 3) {
              case 0:
                bytes[at] = char(rng());
                break;
              case 1:
                bytes.erase(at, 1 + rng() % 8);
                break;
              default:
                bytes.insert(at, 1, char(rng()));
            }
          }
          break;
        }
        default: {
          json m = random_value(rng, 0);
          if (m.is_object()) m["op"] = ops[rng() % 5];
          bytes = m.dump();
          // Client data on a channel the client may or may not have advertised.
          if (rng() % 2)
            bytes = std::string("\x01") + char(rng() % 3) + std::string(3, '\0') + bytes;
        }
      }
      auto span = std::span(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
      check(handle_binary(st, span));
      check(handle_text(st, bytes, channels));
      if (HasFatalFailure()) return;
    }
  }
}
