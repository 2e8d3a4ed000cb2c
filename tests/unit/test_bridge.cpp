// tarsa-bridge's modules: a client's messages, the send queue's drops, the drive limits and
// watchdog, the JSON of the samples, the MCAP writer's framing, and the camera stage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "camera.h"
#include "channels.h"
#include "drive.h"
#include "mcap.h"
#include "outbox.h"
#include "protocol.h"
#include "testutil.h"

using namespace bridge;
using nlohmann::json;

namespace {

std::vector<std::string> messages(const Outcome &o) {
  std::vector<std::string> m;
  for (auto &r : o.replies) m.push_back(json::parse(r).at("message"));
  return m;
}

std::vector<std::uint8_t> publish(std::uint32_t channel, const std::string &payload) {
  std::vector<std::uint8_t> b(5 + payload.size());
  b[0] = 1;
  for (int i = 0; i < 4; ++i) b[1 + i] = std::uint8_t(channel >> (8 * i));
  std::memcpy(b.data() + 5, payload.data(), payload.size());
  return b;
}

}  // namespace

TEST(BridgeProtocol, SubscriptionsAreCheckedAndKept) {
  auto channels = base_channels();
  ClientState st;
  auto o = handle_text(
      st, R"({"op":"subscribe","subscriptions":[{"id":0,"channelId":3},{"id":1,"channelId":99},
      {"id":0,"channelId":4},{"id":2,"channelId":3},{"id":-1,"channelId":4},{"id":5}]})",
      channels);
  EXPECT_TRUE(o.subscriptions_changed);
  EXPECT_EQ(st.subscriptions, (std::map<std::uint32_t, std::uint32_t>{{0, 3}}));
  EXPECT_EQ(messages(o), (std::vector<std::string>{
                             "subscribe: no channel 99", "subscribe: subscription id 0 is in use",
                             "subscribe: already subscribed to channel 3",
                             "subscribe: each subscription needs an id and a channelId",
                             "subscribe: each subscription needs an id and a channelId"}));
  o = handle_text(st, R"({"op":"subscribe","subscriptions":[{"id":4,"channelId":5,"maxRate":2},
      {"id":6,"channelId":6,"maxRate":0}]})",
                  channels);
  EXPECT_EQ(o.max_rates, (std::map<std::uint32_t, double>{{4, 2.0}}));
  EXPECT_EQ(messages(o), std::vector<std::string>{
                             "subscribe: maxRate must be a positive number of messages a second"});
  o = handle_text(st, R"({"op":"unsubscribe","subscriptionIds":[0,4,7]})", channels);
  EXPECT_TRUE(st.subscriptions.empty());
  EXPECT_EQ(messages(o), std::vector<std::string>{"unsubscribe: no subscription 7"});
  for (const char *bad :
       {"", "[]", "{\"op\":1}", "{\"op\":\"subscribe\"}", "{\"op\":\"getParameters\"}"})
    EXPECT_EQ(handle_text(st, bad, channels).replies.size(), 1u) << bad;
}

TEST(BridgeProtocol, OnlyAllowedClientsDriveOnTheirAdvertisedChannel) {
  ClientState watcher{"10.0.0.9", false, {}, {}};
  auto o = handle_text(
      watcher, R"({"op":"advertise","channels":[{"id":1,"topic":"/cmd_vel","encoding":"json"}]})",
      {});
  EXPECT_TRUE(watcher.publications.empty());
  EXPECT_EQ(messages(o), std::vector<std::string>{
                             "publishing refused: 10.0.0.9 may watch but is not allowed to drive"});
  EXPECT_FALSE(handle_binary(watcher, publish(1, R"({"linear":{"x":1}})")).drive);

  ClientState driver{"127.0.0.1", true, {}, {}};
  o = handle_text(driver,
                  R"({"op":"advertise","channels":[{"id":1,"topic":"/cmd_vel","encoding":"json"},
      {"id":2,"topic":"/other","encoding":"json"},{"id":3,"topic":"/cmd_vel","encoding":"cdr"}]})",
                  {});
  EXPECT_EQ(driver.publications.size(), 1u);
  EXPECT_EQ(o.replies.size(), 2u);
  auto d = handle_binary(driver, publish(1, R"({"linear":{"x":0.25,"y":9},"angular":{"z":-0.5}})"));
  ASSERT_TRUE(d.drive);
  EXPECT_EQ(d.drive->linear, 0.25);
  EXPECT_EQ(d.drive->angular, -0.5);
  EXPECT_FALSE(handle_binary(driver, publish(2, "{}")).drive);
  EXPECT_EQ(handle_binary(driver, {std::vector<std::uint8_t>{1, 1, 0}}).replies.size(), 1u);
  EXPECT_TRUE(handle_text(driver, R"({"op":"unadvertise","channelIds":[1]})", {}).withdrawn);
}

TEST(BridgeProtocol, ServiceCallsFramedBothWaysAndOnlyFromDrivers) {
  const std::string frame("\x02\x07\0\0\0\x2A\0\0\x01\x04\0\0\0json{\"path\":\"a\"}", 29);
  const std::vector<std::uint8_t> bytes(frame.begin(), frame.end());
  ClientState driver{"127.0.0.1", true, {}, {}}, watcher{"10.0.0.9", false, {}, {}};
  auto o = handle_binary(driver, bytes);
  ASSERT_TRUE(o.call);
  EXPECT_EQ(o.call->service, 7u);
  EXPECT_EQ(o.call->call, 0x0100002Au);
  EXPECT_EQ(o.call->encoding, "json");
  EXPECT_EQ(o.call->payload, R"({"path":"a"})");
  EXPECT_EQ(service_call_response(*o.call, "{}"),
            std::string("\x03\x07\0\0\0\x2A\0\0\x01\x04\0\0\0json{}", 19));
  o = handle_binary(watcher, bytes);
  EXPECT_FALSE(o.call);
  ASSERT_EQ(o.replies.size(), 1u);
  EXPECT_EQ(json::parse(o.replies[0]),
            (json{{"op", "serviceCallFailure"},
                  {"serviceId", 7},
                  {"callId", 0x0100002A},
                  {"message", "refused: 10.0.0.9 may watch but is not allowed to call"}}));
  // An encoding said to run past the frame.
  auto cut = bytes;
  cut[9] = 0xFF;
  EXPECT_FALSE(handle_binary(driver, cut).call);
  // Setting parameters is the drivers' too; reading is anyone's.
  EXPECT_FALSE(handle_text(watcher, R"({"op":"setParameters","parameters":[]})", {}).parameters);
  auto get = handle_text(watcher, R"({"op":"getParameters","parameterNames":["a"],"id":"q"})", {});
  ASSERT_TRUE(get.parameters);
  EXPECT_EQ(get.parameters->names, std::vector<std::string>{"a"});
  EXPECT_EQ(get.parameters->id, "q");
}

TEST(BridgeProtocol, TwistPayloads) {
  std::string error;
  auto t = parse_twist(R"({"angular":{"z":1.5}})", &error);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->linear, 0.0);
  EXPECT_EQ(t->angular, 1.5);
  for (const char *bad :
       {"[1]", R"({"linear":{"x":"1"}})", R"({"linear":5})", R"({"linear":{"x":1e400}})", "{"}) {
    EXPECT_FALSE(parse_twist(bad, &error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(BridgeProtocol, MessageDataHeaderIsLittleEndian) {
  EXPECT_EQ(message_data_header(0x04030201, 0x0C0B0A0908070605),
            std::string("\x01\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C", 13));
  auto info = json::parse(server_info(false, "s"));
  EXPECT_EQ(info["capabilities"], json::array());
  EXPECT_FALSE(info.contains("supportedEncodings"));
}

TEST(BridgeOutbox, EachChannelBoundedAndServedInTurn) {
  auto msg = [](Outgoing::Kind k, std::uint32_t ch, char c, std::size_t n) {
    return Outgoing{k, false, ch, {}, std::make_shared<const std::string>(n, c)};
  };
  std::map<std::uint32_t, int> drops;
  auto dropped = [&](std::uint32_t ch) { ++drops[ch]; };
  Outbox box(100 * 1024, 2);
  box.push(msg(Outgoing::kControl, 0, 'i', 10));
  // The camera (channel 9) keeps its newest frame; a small channel drops its oldest.
  for (char c : {'A', 'B', 'C'}) box.push(msg(Outgoing::kLatest, 9, c, 20000), dropped);
  for (char c : {'a', 'b', 'c'}) box.push(msg(Outgoing::kMessage, 1, c, 100), dropped);
  box.push(msg(Outgoing::kMessage, 2, 'x', 100), dropped);
  EXPECT_EQ(drops, (std::map<std::uint32_t, int>{{1, 1}, {9, 2}}));
  EXPECT_EQ(box.count(), 5u);
  // Announcements first; a 20 kB frame waits for two turns while the small channels send.
  std::string order;
  for (Outgoing m; box.pop(m);) order += m.body->front();
  EXPECT_EQ(order, "ibcxC");
  EXPECT_EQ(box.bytes(), 0u);

  // Over the bytes bound the channel holding the most loses its oldest, never what just came.
  Outbox small(1000, 8);
  for (char c : {'a', 'b', 'c'}) small.push(msg(Outgoing::kMessage, 1, c, 300));
  EXPECT_EQ(small.push(msg(Outgoing::kMessage, 2, 'x', 300), dropped), 1u);
  EXPECT_EQ(small.push(msg(Outgoing::kMessage, 3, 'y', 900), dropped), 3u);
  order.clear();
  for (Outgoing m; small.pop(m);) order += m.body->front();
  EXPECT_EQ(order, "y");
}

TEST(BridgePath, KeepsTheWholeRunCoarserWhenFull) {
  PathHistory path(4, 0.01);
  path.add(1000000000, 0, 0);
  path.add(1001000000, 0.005, 0);  // nearer than the spacing
  for (int i = 1; i <= 4; ++i) path.add(1000000000 + i * 50000000ull, i * 0.1, 0);
  // Full at 4: every other point went, and the newest came.
  auto j = json::parse(path.json());
  EXPECT_EQ(j["frame_id"], "odom");
  EXPECT_EQ(j["points"], json::parse("[[1.0,0.0,0.0],[1.1,0.2,0.0],[1.2,0.4,0.0]]"));
}

TEST(BridgeDrive, LimitsRampAndWatchdog) {
  DriveControl d({0.3, 2.0, 0.5, 4.0, 500});
  d.command({5.0, -9.0}, 0);
  tr4_wheel_speeds_t w{};
  for (int i = 1; i <= 4; ++i) w = d.tick(i * 50000, 0.05);
  EXPECT_NEAR(d.current().linear, 0.1, 1e-12);  // 0.5 m/s^2 for 0.2 s
  EXPECT_NEAR(d.current().angular, -0.8, 1e-12);
  // Turning clockwise: the left wheel the faster.
  EXPECT_EQ(w.left, tr4_wheel_speeds(100, -0.8).left);
  EXPECT_GT(w.left, w.right);
  for (int i = 5; i <= 40; ++i) {
    d.command({5.0, -9.0}, i * 50000);
    d.tick(i * 50000, 0.05);
  }
  EXPECT_NEAR(d.current().linear, 0.3, 1e-12);
  EXPECT_NEAR(d.current().angular, -2.0, 1e-12);
  bool expired = false;
  d.tick(2500000, 0.05, &expired);  // exactly 500 ms after the last command: still in force
  EXPECT_FALSE(expired);
  w = d.tick(2550000, 0.05, &expired);
  EXPECT_TRUE(expired);
  EXPECT_EQ(w.left, 0);
  EXPECT_EQ(w.right, 0);

  DriveControl off({0.3, 2.0, 0, 0, 0});
  off.command({0.1, 0}, 0);
  w = off.tick(3600000000LL, 0.05, &expired);
  EXPECT_FALSE(expired);
  EXPECT_EQ(w.left, int(100 / TR4_MM_PER_UNIT));
  off.stop();
  EXPECT_EQ(off.tick(3600050000LL, 0.05).left, 0);
}

// The safety field holds forward motion back near an obstacle; turning and backing away go on.
TEST(BridgeDrive, SafetyFieldHoldsForwardMotionOnly) {
  DriveControl d({0.3, 2.0, 0, 0, 0, 0.3});
  d.obstacle(1, 0.2);
  d.command({0.2, 0.5}, 0);
  d.tick(50000, 0.05);
  EXPECT_TRUE(d.holding());
  EXPECT_EQ(d.current().linear, 0);
  EXPECT_EQ(d.current().angular, 0.5);
  d.command({-0.1, 0}, 0);
  d.tick(100000, 0.05);
  EXPECT_FALSE(d.holding());
  EXPECT_EQ(d.current().linear, -0.1);
  // A sensor that measured nothing leaves the obstacle where it was; the nearer of both counts.
  d.obstacle(1, NAN);
  d.command({0.2, 0}, 0);
  d.tick(150000, 0.05);
  EXPECT_TRUE(d.holding());
  d.obstacle(1, INFINITY);
  d.obstacle(0, 0.25);
  d.tick(200000, 0.05);
  EXPECT_TRUE(d.holding());
  d.obstacle(0, 1.0);
  d.tick(250000, 0.05);
  EXPECT_FALSE(d.holding());
  EXPECT_EQ(d.current().linear, 0.2);

  DriveControl off({0.3, 2.0, 0, 0, 0});
  off.obstacle(0, 0.01);
  off.command({0.2, 0}, 0);
  off.tick(50000, 0.05);
  EXPECT_EQ(off.current().linear, 0.2);
}

// The JSON of the samples, field by field as clients have them.
TEST(BridgeEncoding, SamplesMakeTheirMessages) {
  std::map<ChannelKey, json> got;
  auto take = [&](std::uint64_t t, auto value) {
    got.clear();
    encode({t, value}, [&](ChannelKey k, std::string text) { got[k] = json::parse(text); });
  };
  take(1'500'000'000, OdometrySample{1.0, -2.0, M_PI / 2});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[kTf]["timestamp"], json({{"sec", 1}, {"nsec", 500000000}}));
  EXPECT_EQ(got[kTf]["child_frame_id"], "base_link");
  EXPECT_NEAR(got[kOdom]["pose"]["orientation"]["z"].get<double>(), std::sqrt(0.5), 1e-12);
  EXPECT_EQ(got[kOdom]["pose"]["position"]["y"], -2.0);

  BatterySample b;
  const unsigned char reply[12] = {0x68, 0x10, 0x18, 0xfc, 0xfa, 0x00, 100, 0, 200, 0, 42, 0};
  std::memcpy(b.reply, reply, sizeof reply);
  tr4_decode_battery(b.reply, &b.state);
  b.charge_line = true;
  take(0, b);
  json &bat = got[kBattery];
  EXPECT_EQ(bat["voltage"], 4.2);
  EXPECT_EQ(bat["current"], -1.0);
  EXPECT_EQ(bat["temperature"], 25.0);
  EXPECT_EQ(bat["remaining_mah"], 100);
  EXPECT_EQ(bat["capacity_mah"], 200);
  EXPECT_EQ(bat["percent"], 42);
  EXPECT_EQ(bat["charging"], true);
  EXPECT_EQ(bat["raw"], "681018fcfa006400c8002a00");

  // The firmware's centimetres as they are, a word past 0x7fff included.
  UltrasonicSample us;
  const unsigned char words[10] = {0, 0, 35, 0, 0xff, 0xff, 0x10, 0x27, 1, 0};
  std::memcpy(us.reply, words, sizeof words);
  take(0, us);
  EXPECT_EQ(got[kUltrasonic]["range_cm"], json({0, 35, -1, 10000, 1}));

  ImuSample imu;
  imu.rate_deg_s = tr4_vector3_t{1, 2, 3};
  take(0, imu);
  ASSERT_EQ(got.size(), 1u);  // the accelerometer's read failed: no message of it
  EXPECT_EQ(got[kGyro]["rate"]["z"], 3.0);

  take(0, WheelsSample{-100, 100, 1000, 2000});
  EXPECT_EQ(got[kWheels]["left"]["speed"], -100 * TR4_MM_PER_UNIT);
  EXPECT_EQ(got[kWheels]["right"]["raw_position"], 2000);

  take(0, CameraSample{"foob", 2, 2});
  EXPECT_EQ(got[kCamera]["data"], "Zm9vYg==");
  EXPECT_EQ(got[kCamera]["format"], "jpeg");
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(BridgeMcap, CrcAndFraming) {
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  std::string path = testutil::temp_file("", "bridge_mcap_");
  {
    McapWriter w;
    ASSERT_EQ(w.open(path, "test"), 0);
    auto ch = w.add_channel(w.add_schema("s", "jsonschema", "{}"), "/t", "json");
    EXPECT_EQ(w.write_message(ch, 5, "{}"), 0);
    EXPECT_EQ(w.close(), 0);
    EXPECT_EQ(w.close(), 0);
  }
  const std::string f = testutil::read_file(path);
  unlink(path.c_str());
  const std::string magic("\x89MCAP0\r\n", 8);
  ASSERT_GT(f.size(), 2 * magic.size() + 29);
  EXPECT_EQ(f.substr(0, 8), magic);
  EXPECT_EQ(f.substr(f.size() - 8), magic);
  // Footer: opcode, length 20, summary start (a Schema record), summary offset start, CRC.
  std::size_t footer = f.size() - 8 - 29;
  EXPECT_EQ(f[footer], 0x02);
  std::uint64_t summary = 0;
  std::uint32_t crc = 0;
  std::memcpy(&summary, &f[footer + 9], 8);
  std::memcpy(&crc, &f[footer + 25], 4);
  EXPECT_EQ(f[summary], 0x03);
  EXPECT_EQ(crc, crc32(&f[summary], footer + 25 - summary));
  McapWriter unopened;
  EXPECT_LT(unopened.write_message(1, 0, "x"), 0);
  EXPECT_LT(unopened.open("/nonexistent-dir/x.mcap", "t"), 0);
}

// A file that cannot grow (RLIMIT_FSIZE here, a full disk on the robot) ends with whole records:
// what went out of the failed chunk is taken back, and its messages are counted as lost.
TEST(BridgeMcap, AWriteErrorLeavesWholeRecords) {
  std::string path = testutil::temp_file("", "bridge_full_");
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  auto old_xfsz = signal(SIGXFSZ, SIG_IGN);
  std::uint64_t lost = 0, taken = 0;
  int error = 0;
  {
    McapWriter w({1024, 1'000'000'000, Compression::none});
    ASSERT_EQ(w.open(path, "test"), 0);
    auto ch = w.add_channel(w.add_schema("s", "jsonschema", "{}"), "/t", "json");
    rlimit small = old;
    small.rlim_cur = 4000;
    setrlimit(RLIMIT_FSIZE, &small);
    const std::string payload(300, 'x');
    for (int i = 0; i < 40 && error == 0; ++i, ++taken) error = w.write_message(ch, i, payload);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(w.write_message(ch, 100 + i, payload), error);
    lost = w.lost();
    w.close();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_xfsz);
  EXPECT_EQ(error, -EFBIG);
  EXPECT_GT(lost, 0u);
  EXPECT_LT(lost, taken);
  const std::string f = testutil::read_file(path);
  unlink(path.c_str());
  // Records one after the other from the magic, up to the end of the file exactly.
  std::size_t at = 8, chunks = 0;
  while (at + 9 <= f.size()) {
    std::uint64_t length = 0;
    std::memcpy(&length, &f[at + 1], 8);
    chunks += f[at] == 0x06;
    at += 9 + length;
  }
  EXPECT_EQ(at, f.size());
  EXPECT_GT(chunks, 0u);
  EXPECT_LE(f.size(), 4000u);
}

namespace {

// Frames of a size set by the test, one new frame whenever asked.
class FakeFrames : public FrameSource {
 public:
  FakeFrames(int w, int h) : w_(w), h_(h) {}
  int read(unsigned char *rgb) override {
    if (fresh_) {
      fresh_ = false;
      std::memset(rgb, 0x80, std::size_t(w_) * h_ * 3);
      return VX_CAMERA_OK;
    }
    fresh_ = true;
    return kNoFrame;
  }
  int width() const override { return w_; }
  int height() const override { return h_; }

 private:
  int w_, h_;
  bool fresh_ = true;
};

}  // namespace

// A frame the JPEG engine refuses is reported once and left out; the stage goes on, and a
// camera beside it still streams: nothing ends the process.
TEST(BridgeCamera, AFrameThatCannotBeCompressedIsReportedAndTheStageGoesOn) {
  FakeFrames impossible(70000, 1), good(32, 16);
  CameraStage refused(impossible), streaming(good);
  Clock clock;
  std::mutex m;
  std::vector<CameraSample> frames;
  testing::internal::CaptureStdout();
  refused.start(50, clock, [&](Sample s) {
    std::lock_guard lock(m);
    frames.push_back(std::get<CameraSample>(s.value));
  });
  streaming.start(50, clock, [&](Sample s) {
    std::lock_guard lock(m);
    frames.push_back(std::get<CameraSample>(s.value));
  });
  EXPECT_TRUE(testutil::eventually(
      [&] {
        std::lock_guard lock(m);
        return refused.errors() >= 3 && frames.size() >= 3;
      },
      10));
  refused.stop();
  streaming.stop();
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(log,
            "tarsa-bridge: camera frame of 70000x1 not compressed: no JPEG image can have that "
            "size (-3)\n");
  for (const CameraSample &f : frames) {
    ASSERT_EQ(f.width, 32);
    ASSERT_GT(f.jpeg.size(), 4u);
    EXPECT_EQ(f.jpeg.substr(0, 2), "\xff\xd8");  // a JPEG's start of image
  }
}
