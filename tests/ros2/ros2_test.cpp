// tarsa-bridge's ROS 2 front-end met by a DDS participant that behaves as a ROS 2 node's
// middleware does: it finds the topics by discovery (names, types, QoS, type hashes), reads the
// robot's messages and drives it on /cmd_vel. The bridges run on simulated boards; DDS stays on
// the loopback interface, in a domain of this process's own.
#include <dds/dds.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ros2_test_types.h"
#include "simtest.h"
#include "testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

const char *kLoopback =
    "<General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces><AllowMulticast>false"
    "</AllowMulticast></General><Discovery><Peers><Peer address=\"127.0.0.1\"/></Peers>"
    "<ParticipantIndex>auto</ParticipantIndex></Discovery>";

// Waits stretch under an emulator (the armhf build under qemu).
double slow() {
  return std::getenv("TARSA_EMULATED") ? 8 : 1;
}

int test_domain() {
  return 1 + int(getpid() % 200);
}

double seconds(const builtin_interfaces_msg_dds__Time_ &t) {
  return t.sec + t.nanosec / 1e9;
}

// A bridge on a simulated board of its own, with `settings` as its [bridge] table.
std::unique_ptr<simtest::Program> start_bridge(const std::string &settings) {
  const std::string config =
      testutil::read_file(std::string(TARSA_SOURCE_DIR) + "/tarsa.toml.sample") + "\n[bridge]\n" +
      settings + "\nros2 = true\nros2_domain = " + std::to_string(test_domain()) + "\n";
  const std::string path = testutil::temp_file(config, "ros2_bridge_");
  simtest::RunOptions o;
  o.env = {"TARSA_CONFIG=" + path, std::string("CYCLONEDDS_URI=") + kLoopback};
  auto p = std::make_unique<simtest::Program>(
      std::vector<std::string>{simtest::bin("tarsa-bridge"), "--port", "0", "--bind", "127.0.0.1"},
      o);
  EXPECT_TRUE(testutil::eventually(
      [&] { return p->out().find("ROS 2 on DDS domain") != std::string::npos; }, 30 * slow()))
      << p->out() << p->err();
  return p;
}

struct Participant {
  Participant() {
    setenv("CYCLONEDDS_URI", kLoopback, 1);
    pp = dds_create_participant(dds_domainid_t(test_domain()), nullptr, nullptr);
  }
  ~Participant() { dds_delete(pp); }

  dds_entity_t reader(const dds_topic_descriptor_t *desc, const std::string &topic,
                      bool reliable = false, bool transient = false) {
    dds_entity_t t = dds_create_topic(pp, desc, topic.c_str(), nullptr, nullptr);
    dds_qos_t *q = dds_create_qos();
    dds_qset_reliability(q, reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
                         DDS_MSECS(100));
    dds_qset_durability(q, transient ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
    dds_qset_history(q, DDS_HISTORY_KEEP_LAST, 100);
    dds_entity_t r = dds_create_reader(pp, t, q, nullptr);
    dds_delete_qos(q);
    return r;
  }

  // A reliable writer, as teleop_twist_keyboard's (ROS 2's default QoS).
  dds_entity_t cmd_vel(const std::string &ns = "", bool stamped = false) {
    dds_entity_t t = dds_create_topic(
        pp,
        stamped ? &geometry_msgs_msg_dds__TwistStamped__desc : &geometry_msgs_msg_dds__Twist__desc,
        ("rt/" + ns + "cmd_vel").c_str(), nullptr, nullptr);
    dds_qos_t *q = dds_create_qos();
    dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_entity_t w = dds_create_writer(pp, t, q, nullptr);
    dds_delete_qos(q);
    return w;
  }

  dds_entity_t pp;
};

// Calls `f` with each valid sample waiting on `r`.
template <class T, class F>
void drain(dds_entity_t r, F f) {
  void *buf[32] = {};
  dds_sample_info_t info[32];
  dds_return_t n;
  while ((n = dds_take(r, buf, info, 32, 32)) > 0) {
    for (int i = 0; i < n; ++i)
      if (info[i].valid_data) f(*static_cast<const T *>(buf[i]));
    dds_return_loan(r, buf, n);
  }
}

// What discovery says of a writer.
struct Endpoint {
  std::string type;
  dds_reliability_kind_t reliability = DDS_RELIABILITY_BEST_EFFORT;
  dds_durability_kind_t durability = DDS_DURABILITY_VOLATILE;
  std::string user_data;
};

void discover(dds_entity_t builtin, std::map<std::string, Endpoint> &found) {
  drain<dds_builtintopic_endpoint_t>(builtin, [&](const dds_builtintopic_endpoint_t &e) {
    Endpoint ep;
    ep.type = e.type_name;
    dds_duration_t block;
    dds_qget_reliability(e.qos, &ep.reliability, &block);
    dds_qget_durability(e.qos, &ep.durability);
    void *ud = nullptr;
    size_t size = 0;
    if (dds_qget_userdata(e.qos, &ud, &size) && ud) {
      ep.user_data.assign(static_cast<const char *>(ud), size);
      dds_free(ud);
    }
    found[e.topic_name] = ep;
  });
}

void send(dds_entity_t w, double linear, double angular, bool stamped = false) {
  geometry_msgs_msg_dds__TwistStamped_ t{};
  t.header.frame_id = const_cast<char *>("");
  t.twist.linear.x = linear;
  t.twist.angular.z = angular;
  dds_write(w, stamped ? static_cast<void *>(&t) : static_cast<void *>(&t.twist));
}

bool matched(dds_entity_t w) {
  dds_publication_matched_status_t st{};
  return dds_get_publication_matched_status(w, &st) == 0 && st.current_count > 0;
}

// The wheel speed frames the robot got, in order ("w18:" and the two speeds).
std::vector<std::string> speed_frames(const std::string &trace) {
  std::vector<std::string> out;
  for (const auto &f : simtest::i2c_frames(simtest::read_trace(trace), {0x1F}))
    if (f.rfind("w18:", 0) == 0) out.push_back(f);
  return out;
}

TEST(Ros2, TopicsAsRos2SeesThemAndDriving) {
  auto bridge = start_bridge("lrf = true");
  Participant p;
  dds_entity_t pubs = dds_create_reader(p.pp, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
  dds_entity_t subs = dds_create_reader(p.pp, DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, nullptr, nullptr);
  dds_entity_t odom = p.reader(&nav_msgs_msg_dds__Odometry__desc, "rt/odom", true);
  dds_entity_t scan = p.reader(&sensor_msgs_msg_dds__LaserScan__desc, "rt/scan");
  dds_entity_t imu = p.reader(&sensor_msgs_msg_dds__Imu__desc, "rt/imu");
  dds_entity_t battery =
      p.reader(&sensor_msgs_msg_dds__BatteryState__desc, "rt/battery_state", true);
  dds_entity_t tf_static = p.reader(&tf2_msgs_msg_dds__TFMessage__desc, "rt/tf_static", true, true);

  struct Expect {
    const char *topic, *type;
    dds_reliability_kind_t reliability;
    dds_durability_kind_t durability;
  };
  const auto R = DDS_RELIABILITY_RELIABLE, B = DDS_RELIABILITY_BEST_EFFORT;
  const auto V = DDS_DURABILITY_VOLATILE, T = DDS_DURABILITY_TRANSIENT_LOCAL;
  const std::vector<Expect> writers = {
      {"rt/odom", "nav_msgs::msg::dds_::Odometry_", R, V},
      {"rt/tf", "tf2_msgs::msg::dds_::TFMessage_", R, V},
      {"rt/tf_static", "tf2_msgs::msg::dds_::TFMessage_", R, T},
      {"rt/joint_states", "sensor_msgs::msg::dds_::JointState_", R, V},
      {"rt/imu", "sensor_msgs::msg::dds_::Imu_", B, V},
      {"rt/battery_state", "sensor_msgs::msg::dds_::BatteryState_", R, V},
      {"rt/diagnostics", "diagnostic_msgs::msg::dds_::DiagnosticArray_", R, V},
      {"rt/scan", "sensor_msgs::msg::dds_::LaserScan_", B, V},
      {"rt/ultrasonic/front_left", "sensor_msgs::msg::dds_::Range_", B, V}};
  std::map<std::string, Endpoint> published, subscribed;
  ASSERT_TRUE(testutil::eventually(
      [&] {
        discover(pubs, published);
        discover(subs, subscribed);
        for (const auto &w : writers)
          if (!published.count(w.topic)) return false;
        return subscribed.count("rt/cmd_vel") > 0;
      },
      20 * slow()))
      << published.size() << " writers found";
  for (const auto &w : writers) {
    const Endpoint &e = published[w.topic];
    EXPECT_EQ(e.type, w.type) << w.topic;
    EXPECT_EQ(e.reliability, w.reliability) << w.topic;
    EXPECT_EQ(e.durability, w.durability) << w.topic;
    EXPECT_EQ(e.user_data.rfind("typehash=RIHS01_", 0), 0u) << w.topic << ": " << e.user_data;
    EXPECT_EQ(e.user_data.size(), std::strlen("typehash=RIHS01_;") + 64) << w.topic;
  }
  EXPECT_EQ(subscribed["rt/cmd_vel"].type, "geometry_msgs::msg::dds_::Twist_");
  EXPECT_EQ(subscribed["rt/cmd_vel"].reliability, DDS_RELIABILITY_BEST_EFFORT);
  // Hashes as ROS 2 publishes them for its own types.
  EXPECT_EQ(subscribed["rt/cmd_vel"].user_data,
            "typehash=RIHS01_9c45bf16fe0983d80e3cfe750d6835843d265a9a6c46bd2e609fcddde6fb8d2a;");
  EXPECT_EQ(published["rt/scan"].user_data,
            "typehash=RIHS01_64c191398013af96509d518dac71d5164f9382553fce5c1f8cca5be7924bd828;");
  EXPECT_EQ(published["rt/ultrasonic/front_left"].user_data,
            "typehash=RIHS01_9430b1915b94d4268ff903679e8ecd09b6a67d331bd028738ec1eeb592891ebd;");

  // The streams, over two seconds: the robot loop's 20 Hz, the laser's 10 scans a second.
  std::vector<double> odom_t, imu_t, scan_t;
  int batteries = 0;
  std::vector<std::string> static_frames;
  const auto t0 = Clock::now();
  while (Clock::now() - t0 < std::chrono::duration<double>(2 * slow())) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    drain<nav_msgs_msg_dds__Odometry_>(odom, [&](const auto &m) {
      odom_t.push_back(seconds(m.header.stamp));
      EXPECT_STREQ(m.header.frame_id, "odom");
      EXPECT_STREQ(m.child_frame_id, "base_link");
    });
    drain<sensor_msgs_msg_dds__Imu_>(imu, [&](const auto &m) {
      imu_t.push_back(seconds(m.header.stamp));
      EXPECT_EQ(m.orientation_covariance[0], -1);
      EXPECT_NEAR(m.linear_acceleration.z, 9.81, 1.0);  // at rest: gravity, in m/s^2
    });
    drain<sensor_msgs_msg_dds__LaserScan_>(scan, [&](const auto &m) {
      scan_t.push_back(seconds(m.header.stamp));
      EXPECT_EQ(m.ranges._length, 682u);
      EXPECT_NEAR(m.angle_min + 681 * m.angle_increment, m.angle_max, 1e-4);
      for (std::uint32_t i = 0; i < m.ranges._length; ++i) {
        const float r = m.ranges._buffer[i];
        if (std::isfinite(r))
          EXPECT_TRUE(r >= m.range_min && r <= m.range_max) << i << ": " << r;
        else
          EXPECT_GT(r, 0) << i;  // no return: +inf
      }
    });
    drain<sensor_msgs_msg_dds__BatteryState_>(battery, [&](const auto &m) {
      ++batteries;
      EXPECT_GT(m.voltage, 1);
      EXPECT_TRUE(m.percentage >= 0 && m.percentage <= 1) << m.percentage;
    });
    drain<tf2_msgs_msg_dds__TFMessage_>(tf_static, [&](const auto &m) {
      for (std::uint32_t i = 0; i < m.transforms._length; ++i)
        static_frames.push_back(m.transforms._buffer[i].child_frame_id);
    });
  }
  auto rate = [](const std::vector<double> &t) {
    return t.size() < 2 ? 0.0 : double(t.size() - 1) / (t.back() - t.front());
  };
  EXPECT_NEAR(rate(odom_t), 20, 4) << odom_t.size();
  EXPECT_NEAR(rate(imu_t), 20, 4) << imu_t.size();
  EXPECT_NEAR(rate(scan_t), 8, 3.5) << scan_t.size();
  EXPECT_GE(batteries, 20 / slow());
  for (const char *f : {"laser", "camera_link", "stargazer", "ultrasonic_front"})
    EXPECT_NE(std::find(static_frames.begin(), static_frames.end(), f), static_frames.end()) << f;

  // Driving: 0.1 m/s at 20 Hz for 1.5 s; the odometry's pose is the integral of its velocity.
  dds_entity_t cmd = p.cmd_vel();
  ASSERT_TRUE(testutil::eventually([&] { return matched(cmd); }, 10 * slow()));
  double x = 0, integral = 0, last_t = 0, last_v = 0;
  auto follow = [&] {
    drain<nav_msgs_msg_dds__Odometry_>(odom, [&](const auto &m) {
      const double t = seconds(m.header.stamp);
      if (last_t > 0) integral += last_v * (t - last_t);
      last_t = t, last_v = m.twist.twist.linear.x, x = m.pose.pose.position.x;
    });
  };
  follow();
  const double x0 = x;
  integral = 0;
  for (auto start = Clock::now(); Clock::now() - start < std::chrono::milliseconds(1500);) {
    send(cmd, 0.1, 0);
    follow();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto last_command = Clock::now();
  // The watchdog (500 ms) stops the wheels; a tick and the odometry's lag are allowed on top.
  ASSERT_TRUE(testutil::eventually(
      [&] {
        follow();
        return last_v == 0 && Clock::now() - last_command > std::chrono::milliseconds(300);
      },
      5 * slow()));
  EXPECT_LT(Clock::now() - last_command, std::chrono::duration<double>(0.8 * slow()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  follow();
  EXPECT_GT(x - x0, 0.1);
  EXPECT_LT(x - x0, 0.2);
  EXPECT_NEAR(integral, x - x0, 0.03);

  bridge->signal(SIGINT);
  EXPECT_EQ(bridge->wait(20 * slow()), 128 + SIGINT) << bridge->err();  // as a shell reports it
  const auto frames = speed_frames(bridge->trace());
  EXPECT_NE(std::find(frames.begin(), frames.end(), "w18:93009300"), frames.end());
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), "w18:00000000");
}

// Two robots in one domain, each in a namespace of its own: a command reaches only its robot.
// The second reads /cmd_vel as TwistStamped, as nav2 may send it.
TEST(Ros2, TwoRobotsEachOnItsOwnCmdVel) {
  auto one = start_bridge("ros2_namespace = \"tarsa1\"\nros2_frame_prefix = \"tarsa1/\"");
  auto two = start_bridge(
      "ros2_namespace = \"/tarsa2\"\nros2_frame_prefix = \"tarsa2/\"\nros2_cmd_vel_stamped = true");
  Participant p;
  dds_entity_t odom2 = p.reader(&nav_msgs_msg_dds__Odometry__desc, "rt/tarsa2/odom", true);
  dds_entity_t cmd1 = p.cmd_vel("tarsa1/"), cmd2 = p.cmd_vel("tarsa2/", true);
  ASSERT_TRUE(testutil::eventually([&] { return matched(cmd1) && matched(cmd2); }, 20 * slow()));
  std::string frame;
  double x2 = -1;
  auto follow = [&] {
    drain<nav_msgs_msg_dds__Odometry_>(odom2, [&](const auto &m) {
      frame = m.child_frame_id;
      x2 = m.pose.pose.position.x;
    });
  };
  auto drive = [&](dds_entity_t w, bool stamped) {
    for (auto start = Clock::now(); Clock::now() - start < std::chrono::milliseconds(1000);) {
      send(w, 0.1, 0, stamped);
      follow();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  drive(cmd1, false);
  EXPECT_EQ(frame, "tarsa2/base_link");
  EXPECT_EQ(x2, 0);  // robot 2 stood still
  drive(cmd2, true);
  ASSERT_TRUE(testutil::eventually(
      [&] {
        follow();
        return x2 > 0.05;
      },
      5 * slow()))
      << x2;
  for (auto *b : {one.get(), two.get()}) {
    b->signal(SIGINT);
    EXPECT_EQ(b->wait(20 * slow()), 128 + SIGINT) << b->err();
  }
  auto moving = [](const std::vector<std::string> &frames) {
    return std::count(frames.begin(), frames.end(), "w18:93009300");
  };
  EXPECT_GT(moving(speed_frames(one->trace())), 5);
  EXPECT_GT(moving(speed_frames(two->trace())), 5);
}

}  // namespace
