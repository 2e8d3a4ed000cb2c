// The ROS 2 front-end over Cyclone DDS's C API.
//
// Topics (under the namespace, if any; DDS topic "rt/" + the name) and their quality of service:
//   /odom nav_msgs/Odometry, /tf, /joint_states, /battery_state, /diagnostics: reliable, keep last
//   10 (ROS 2's default); /tf_static: reliable, transient local, keep last 1, sent once;
//   /imu, /scan, /ultrasonic/<name>, /camera/image_raw/compressed, /camera/camera_info,
//   /stargazer/pose: best effort, keep last 5 (ROS 2's sensor data profile);
//   /cmd_vel geometry_msgs/Twist (or TwistStamped) read best effort, so that both kinds of
//   writers match.
// Every message carries the time its sample was read. Frames follow REP-105: odom -> base_link
// from the odometry, the sensors fixed to base_link (/tf_static).
#include "ros2.h"

#include <dds/dds.h>
#include <dlfcn.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <vector>

#include "robot.h"
#include "tarsa/tr4_model.h"

extern "C" {
#include "diagnostic_msgs.h"
#include "geometry_msgs.h"
#include "nav_msgs.h"
#include "sensor_msgs.h"
#include "tf2_msgs.h"
}

namespace bridge {

namespace {

// The robot's geometry beyond what tr4_model.h gives: assumed, documented in README.md ("ROS 2").
constexpr double kWheelRadiusM = 0.0205;  // drive wheels of 41 mm diameter
// Mounting of the sensors in base_link (x forward, y left, z up; metres, radians).
constexpr double kLaserX = 0.0, kLaserZ = 0.10;     // on top, centred
constexpr double kCameraX = 0.06, kCameraZ = 0.08;  // at the front, looking ahead
constexpr double kStarGazerZ = 0.12;                // on top, looking up
constexpr double kUltrasonicZ = 0.03;               // on the body's edge
constexpr double kUltrasonicFov = 0.5, kUltrasonicMin = 0.02, kUltrasonicMax = 3.0;
constexpr const char *kUltrasonicNames[TR4_US_COUNT] = {"left", "front_left", "front",
                                                        "front_right", "right"};
// The range finder's reach and turn (10 scans a second).
constexpr double kScanRangeMin = 0.02, kScanRangeMax = 5.6, kScanTime = 0.1;
// The camera's horizontal field of view, for an approximate camera_info.
constexpr double kCameraHfov = 60.0 * M_PI / 180;

// Odometry's covariance grows with the wheels' travel: each wheel's travel has an error of
// variance kWheelVar per metre travelled (1 cm standard deviation over a metre). Over travels
// s_l, s_r: var(theta) = k (s_l + s_r) / B^2; var(x) = var(y) = k (s_l + s_r) / 4 + var(theta) d^2
// / 2 with d the path length: the heading's error spreads the position sideways.
constexpr double kWheelVar = 1e-4;
// Velocities from the wheel speeds: 2 cm/s and 0.05 rad/s standard deviation.
constexpr double kLinearVelVar = 4e-4, kAngularVelVar = 2.5e-3;
constexpr double kGravity = 9.80665;

// Cyclone DDS's library is opened when the front-end starts, not linked: a program linked with
// it runs its start-up code before anything of the program, and the board simulator's preload
// must see the program's first system calls. The bridge without --ros2 never loads it.
#define TARSA_DDS_FUNCTIONS(X)     \
  X(dds_create_listener)           \
  X(dds_create_participant)        \
  X(dds_create_qos)                \
  X(dds_create_reader)             \
  X(dds_create_topic)              \
  X(dds_create_writer)             \
  X(dds_delete)                    \
  X(dds_delete_listener)           \
  X(dds_delete_qos)                \
  X(dds_lset_data_available)       \
  X(dds_lset_subscription_matched) \
  X(dds_qset_durability)           \
  X(dds_qset_history)              \
  X(dds_qset_reliability)          \
  X(dds_qset_userdata)             \
  X(dds_return_loan)               \
  X(dds_strretcode)                \
  X(dds_take)                      \
  X(dds_write)
struct DdsApi {
#define TARSA_DDS_DECLARE(name) decltype(&::name) name = nullptr;
  TARSA_DDS_FUNCTIONS(TARSA_DDS_DECLARE)
#undef TARSA_DDS_DECLARE
  // Loads the library and its functions; false with `why` set when it cannot.
  bool load(std::string *why) {
    void *lib = dlopen(TARSA_DDS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
      *why = dlerror();
      return false;
    }
    auto get = [&](auto &to, const char *name) {
      to = reinterpret_cast<std::remove_reference_t<decltype(to)>>(dlsym(lib, name));
      if (!to && why->empty()) *why = std::string("no ") + name + " in " TARSA_DDS_LIBRARY;
    };
#define TARSA_DDS_LOAD(name) get(name, #name);
    TARSA_DDS_FUNCTIONS(TARSA_DDS_LOAD)
#undef TARSA_DDS_LOAD
    return why->empty();
  }
};
DdsApi api;

std::string topic_name(const std::string &ns, const std::string &name) {
  std::string t = "rt/";
  if (!ns.empty()) t += ns + "/";
  return t + name;
}

builtin_interfaces_msg_dds__Time_ stamp(std::uint64_t ns) {
  return {std::int32_t(ns / 1'000'000'000), std::uint32_t(ns % 1'000'000'000)};
}

char *text(const std::string &s) {
  return const_cast<char *>(s.c_str());
}

// An empty string field: the messages' text pointers must outlive the write.
char *empty_text() {
  static char empty[1] = "";
  return empty;
}

geometry_msgs_msg_dds__Quaternion_ yaw_quaternion(double yaw) {
  return {0, 0, std::sin(yaw / 2), std::cos(yaw / 2)};
}

enum class Qos { sensor, reliable, latched, command };

dds_qos_t *make_qos(Qos kind, const std::string &type) {
  dds_qos_t *q = api.dds_create_qos();
  if (kind == Qos::sensor || kind == Qos::command)
    api.dds_qset_reliability(q, DDS_RELIABILITY_BEST_EFFORT, 0);
  else
    api.dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
  api.dds_qset_history(q, DDS_HISTORY_KEEP_LAST,
                       kind == Qos::latched    ? 1
                       : kind == Qos::reliable ? 10
                                               : 5);
  api.dds_qset_durability(
      q, kind == Qos::latched ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
  std::string user = "typehash=" + ros2_type_hash(type) + ";";
  api.dds_qset_userdata(q, user.data(), user.size());
  return q;
}

class Ros2 : public FrontEnd {
 public:
  Ros2(const Ros2Options &o, const SensorSet &sensors, DriveInput drive)
      : o_(o), sensors_(sensors), drive_(std::move(drive)) {}
  ~Ros2() override {
    if (participant_ > 0) api.dds_delete(participant_);
  }

  bool start() {
    int domain = o_.domain;
    if (domain < 0) {
      const char *env = std::getenv("ROS_DOMAIN_ID");
      domain = env && *env ? std::atoi(env) : 0;
    }
    participant_ = api.dds_create_participant(dds_domainid_t(domain), nullptr, nullptr);
    if (participant_ < 0) {
      std::fprintf(stderr, "tarsa-bridge: ROS 2: no DDS participant in domain %d: %s\n", domain,
                   api.dds_strretcode(participant_));
      return false;
    }
    odom_ =
        writer(&nav_msgs_msg_dds__Odometry__desc, "odom", "nav_msgs/msg/Odometry", Qos::reliable);
    tf_ = writer(&tf2_msgs_msg_dds__TFMessage__desc, "tf", "tf2_msgs/msg/TFMessage", Qos::reliable);
    tf_static_ = writer(&tf2_msgs_msg_dds__TFMessage__desc, "tf_static", "tf2_msgs/msg/TFMessage",
                        Qos::latched);
    joints_ = writer(&sensor_msgs_msg_dds__JointState__desc, "joint_states",
                     "sensor_msgs/msg/JointState", Qos::reliable);
    imu_ = writer(&sensor_msgs_msg_dds__Imu__desc, "imu", "sensor_msgs/msg/Imu", Qos::sensor);
    battery_ = writer(&sensor_msgs_msg_dds__BatteryState__desc, "battery_state",
                      "sensor_msgs/msg/BatteryState", Qos::reliable);
    for (int i = 0; i < TR4_US_COUNT; ++i)
      ranges_[i] = writer(&sensor_msgs_msg_dds__Range__desc,
                          std::string("ultrasonic/") + kUltrasonicNames[i], "sensor_msgs/msg/Range",
                          Qos::sensor);
    diagnostics_ = writer(&diagnostic_msgs_msg_dds__DiagnosticArray__desc, "diagnostics",
                          "diagnostic_msgs/msg/DiagnosticArray", Qos::reliable);
    if (sensors_.scan)
      scan_ = writer(&sensor_msgs_msg_dds__LaserScan__desc, "scan", "sensor_msgs/msg/LaserScan",
                     Qos::sensor);
    if (sensors_.camera) {
      image_ = writer(&sensor_msgs_msg_dds__CompressedImage__desc, "camera/image_raw/compressed",
                      "sensor_msgs/msg/CompressedImage", Qos::sensor);
      camera_info_ = writer(&sensor_msgs_msg_dds__CameraInfo__desc, "camera/camera_info",
                            "sensor_msgs/msg/CameraInfo", Qos::sensor);
    }
    if (sensors_.stargazer)
      gazer_ = writer(&geometry_msgs_msg_dds__PoseWithCovarianceStamped__desc, "stargazer/pose",
                      "geometry_msgs/msg/PoseWithCovarianceStamped", Qos::sensor);
    if (o_.drive && !reader()) return false;
    for (dds_entity_t w : {odom_, tf_, tf_static_, joints_, imu_, battery_, diagnostics_})
      if (w < 0) {
        std::fprintf(stderr, "tarsa-bridge: ROS 2: a writer could not be created: %s\n",
                     api.dds_strretcode(w));
        return false;
      }
    publish_static();
    std::printf("tarsa-bridge: ROS 2 on DDS domain %d%s%s\n", domain,
                o_.ns.empty() ? "" : ", namespace /", o_.ns.c_str());
    std::fflush(stdout);
    return true;
  }

  void publish(const Sample &s) override {
    std::visit([&](const auto &v) { on(s.time_ns, v); }, s.value);
  }

 private:
  dds_entity_t writer(const dds_topic_descriptor_t *desc, const std::string &name,
                      const std::string &type, Qos kind) {
    dds_entity_t topic =
        api.dds_create_topic(participant_, desc, topic_name(o_.ns, name).c_str(), nullptr, nullptr);
    if (topic < 0) return topic;
    dds_qos_t *q = make_qos(kind, type);
    dds_entity_t w = api.dds_create_writer(participant_, topic, q, nullptr);
    api.dds_delete_qos(q);
    return w;
  }

  bool reader() {
    const dds_topic_descriptor_t *desc = o_.cmd_vel_stamped
                                             ? &geometry_msgs_msg_dds__TwistStamped__desc
                                             : &geometry_msgs_msg_dds__Twist__desc;
    dds_entity_t topic = api.dds_create_topic(
        participant_, desc, topic_name(o_.ns, "cmd_vel").c_str(), nullptr, nullptr);
    dds_listener_t *l = api.dds_create_listener(this);
    api.dds_lset_data_available(
        l, [](dds_entity_t r, void *self) { static_cast<Ros2 *>(self)->take(r); });
    // The last writer gone: stop at once rather than at the watchdog.
    api.dds_lset_subscription_matched(
        l, [](dds_entity_t, const dds_subscription_matched_status_t st, void *self) {
          if (st.current_count == 0 && st.current_count_change < 0)
            static_cast<Ros2 *>(self)->drive_.stop();
        });
    dds_qos_t *q = make_qos(Qos::command, o_.cmd_vel_stamped ? "geometry_msgs/msg/TwistStamped"
                                                             : "geometry_msgs/msg/Twist");
    cmd_vel_ = topic < 0 ? topic : api.dds_create_reader(participant_, topic, q, l);
    api.dds_delete_qos(q);
    api.dds_delete_listener(l);
    if (cmd_vel_ < 0)
      std::fprintf(stderr, "tarsa-bridge: ROS 2: no /cmd_vel reader: %s\n",
                   api.dds_strretcode(cmd_vel_));
    return cmd_vel_ >= 0;
  }

  // Takes the commands waiting; the newest is in force.
  void take(dds_entity_t r) {
    void *buf[8] = {};
    dds_sample_info_t info[8];
    dds_return_t n = api.dds_take(r, buf, info, 8, 8);
    if (n <= 0) return;
    for (int i = n - 1; i >= 0; --i) {
      if (!info[i].valid_data) continue;
      const geometry_msgs_msg_dds__Twist_ &t =
          o_.cmd_vel_stamped ? static_cast<geometry_msgs_msg_dds__TwistStamped_ *>(buf[i])->twist
                             : *static_cast<geometry_msgs_msg_dds__Twist_ *>(buf[i]);
      drive_.command({t.linear.x, t.angular.z});
      break;
    }
    api.dds_return_loan(r, buf, n);
  }

  std::string frame(const char *name) const { return o_.frame_prefix + name; }

  geometry_msgs_msg_dds__TransformStamped_ transform(std::uint64_t t, const std::string &parent,
                                                     const std::string &child, double x, double y,
                                                     double z,
                                                     geometry_msgs_msg_dds__Quaternion_ q) const {
    geometry_msgs_msg_dds__TransformStamped_ m{};
    m.header = {stamp(t), text(parent)};
    m.child_frame_id = text(child);
    m.transform.translation = {x, y, z};
    m.transform.rotation = q;
    return m;
  }

  void publish_static() {
    const std::uint64_t now = Clock().now();
    const std::string base = frame("base_link");
    std::vector<std::string> names;   // the frame ids, alive until written
    names.reserve(TR4_US_COUNT + 8);  // never moved: the transforms point into it
    std::vector<geometry_msgs_msg_dds__TransformStamped_> all;
    const double bearings[TR4_US_COUNT] = TR4_US_BEARINGS_DEG;
    const double r = TR4_BODY_RADIUS_MM / 1000;
    for (int i = 0; i < TR4_US_COUNT; ++i) {
      const double b = bearings[i] * M_PI / 180;
      names.push_back(frame((std::string("ultrasonic_") + kUltrasonicNames[i]).c_str()));
      all.push_back(transform(now, base, names.back(), r * std::cos(b), r * std::sin(b),
                              kUltrasonicZ, yaw_quaternion(b)));
    }
    names.push_back(frame("laser"));
    all.push_back(transform(now, base, names.back(), kLaserX, 0, kLaserZ, yaw_quaternion(0)));
    names.push_back(frame("camera_link"));
    all.push_back(transform(now, base, names.back(), kCameraX, 0, kCameraZ, yaw_quaternion(0)));
    // The optical frame: z forward, x right, y down (REP-103).
    const std::string &camera_link = names.back();
    names.push_back(frame("camera_optical_frame"));
    all.push_back(transform(now, camera_link, names.back(), 0, 0, 0, {-0.5, 0.5, -0.5, 0.5}));
    names.push_back(frame("stargazer"));
    all.push_back(transform(now, base, names.back(), 0, 0, kStarGazerZ, yaw_quaternion(0)));
    tf2_msgs_msg_dds__TFMessage_ m{};
    m.transforms._buffer = all.data();
    m.transforms._length = m.transforms._maximum = std::uint32_t(all.size());
    api.dds_write(tf_static_, &m);
  }

  void on(std::uint64_t t, const OdometrySample &o) {
    const std::string odom = frame("odom"), base = frame("base_link");
    nav_msgs_msg_dds__Odometry_ m{};
    m.header = {stamp(t), text(odom)};
    m.child_frame_id = text(base);
    m.pose.pose.position = {o.x_m, o.y_m, 0};
    m.pose.pose.orientation = yaw_quaternion(o.theta_rad);
    Twist v;
    double var_xy = 0, var_theta = 0;
    {
      std::lock_guard lock(mutex_);
      v = velocity_;
      var_theta =
          kWheelVar * (travel_left_ + travel_right_) / std::pow(TR4_WHEEL_BASE_MM / 1000, 2);
      const double d = (travel_left_ + travel_right_) / 2;
      var_xy = kWheelVar * (travel_left_ + travel_right_) / 4 + var_theta * d * d / 2;
    }
    // The motion is planar: z, roll and pitch are known exactly, their variance is tiny.
    double *c = m.pose.covariance;
    c[0] = c[7] = var_xy;
    c[14] = c[21] = c[28] = 1e-9;
    c[35] = var_theta;
    m.twist.twist.linear.x = v.linear;
    m.twist.twist.angular.z = v.angular;
    double *tc = m.twist.covariance;
    tc[0] = kLinearVelVar;
    tc[7] = tc[14] = tc[21] = tc[28] = 1e-9;
    tc[35] = kAngularVelVar;
    api.dds_write(odom_, &m);

    auto tf = transform(t, odom, base, o.x_m, o.y_m, 0, m.pose.pose.orientation);
    tf2_msgs_msg_dds__TFMessage_ msg{};
    msg.transforms = {1, 1, &tf, false};
    api.dds_write(tf_, &msg);
  }

  void on(std::uint64_t t, const WheelsSample &w) {
    const double m_per_unit = TR4_MM_PER_UNIT / 1000;
    double linear_mm_s = 0, angular = 0;
    tr4_body_velocity(w.speed_left, w.speed_right, &linear_mm_s, &angular);
    {
      std::lock_guard lock(mutex_);
      if (have_wheels_) {
        // Differences modulo 2^32, as the odometry takes them.
        auto step = [](int now, int before) {
          return std::int32_t(std::uint32_t(now) - std::uint32_t(before));
        };
        std::int32_t dl = step(w.pos_left, last_left_), dr = step(w.pos_right, last_right_);
        if (std::abs(dl) <= TR4_ODOMETRY_MAX_STEP && std::abs(dr) <= TR4_ODOMETRY_MAX_STEP) {
          travel_left_ += std::abs(dl) * m_per_unit;
          travel_right_ += std::abs(dr) * m_per_unit;
        }
      }
      have_wheels_ = true;
      last_left_ = w.pos_left, last_right_ = w.pos_right;
      velocity_ = {linear_mm_s / 1000, angular};
    }
    const std::string left = frame("wheel_left_joint"), right = frame("wheel_right_joint");
    char *names[2] = {text(left), text(right)};
    double position[2] = {w.pos_left * m_per_unit / kWheelRadiusM,
                          w.pos_right * m_per_unit / kWheelRadiusM};
    double velocity[2] = {w.speed_left * m_per_unit / kWheelRadiusM,
                          w.speed_right * m_per_unit / kWheelRadiusM};
    sensor_msgs_msg_dds__JointState_ m{};
    m.header = {stamp(t), empty_text()};
    m.name = {2, 2, names, false};
    m.position = {2, 2, position, false};
    m.velocity = {2, 2, velocity, false};
    api.dds_write(joints_, &m);
  }

  void on(std::uint64_t t, const ImuSample &s) {
    const std::string base = frame("base_link");
    sensor_msgs_msg_dds__Imu_ m{};
    m.header = {stamp(t), text(base)};
    m.orientation = {0, 0, 0, 1};
    m.orientation_covariance[0] = -1;  // no orientation (REP-145)
    if (s.rate_deg_s) {
      const double k = M_PI / 180;
      m.angular_velocity = {s.rate_deg_s->x * k, s.rate_deg_s->y * k, s.rate_deg_s->z * k};
    } else {
      m.angular_velocity_covariance[0] = -1;
    }
    if (s.accel_g)
      m.linear_acceleration = {s.accel_g->x * kGravity, s.accel_g->y * kGravity,
                               s.accel_g->z * kGravity};
    else
      m.linear_acceleration_covariance[0] = -1;
    api.dds_write(imu_, &m);
  }

  void on(std::uint64_t t, const UltrasonicSample &s) {
    for (int i = 0; i < TR4_US_COUNT; ++i) {
      const std::string f = frame((std::string("ultrasonic_") + kUltrasonicNames[i]).c_str());
      sensor_msgs_msg_dds__Range_ m{};
      m.header = {stamp(t), text(f)};
      m.radiation_type = 0;  // ULTRASOUND
      m.field_of_view = float(kUltrasonicFov);
      m.min_range = float(kUltrasonicMin);
      m.max_range = float(kUltrasonicMax);
      m.range = float(s.range_m[i]);  // +inf: nothing within reach (REP-117)
      api.dds_write(ranges_[i], &m);
    }
  }

  void on(std::uint64_t t, const BatterySample &s) {
    const tr4_battery_t &b = s.state;
    sensor_msgs_msg_dds__BatteryState_ m{};
    const std::string base = frame("base_link");
    m.header = {stamp(t), text(base)};
    m.voltage = float(b.voltage_v);
    m.temperature = float(b.temperature_c);
    m.current = float(b.current_a);
    m.charge = float(b.remaining_mah / 1000.0);
    m.capacity = float(b.capacity_mah / 1000.0);
    m.design_capacity = NAN;
    m.percentage = float(b.charge_percent / 100.0);
    // POWER_SUPPLY_STATUS_ CHARGING 1, DISCHARGING 2, NOT_CHARGING 3; health and technology
    // unknown (0).
    m.power_supply_status = b.charging ? 1 : b.current_a < 0 ? 2 : 3;
    m.present = b.present != 0;
    m.location = empty_text();
    m.serial_number = empty_text();
    api.dds_write(battery_, &m);
  }

  void on(std::uint64_t t, const DiagnosticsSample &d) {
    std::vector<std::pair<std::string, std::string>> kv = {
        {"rate_hz", std::to_string(d.rate_hz)},
        {"jitter_ms", std::to_string(d.jitter_ms)},
        {"max_late_ms", std::to_string(d.max_late_ms)},
        {"ticks", std::to_string(d.ticks)},
        {"bus_errors", std::to_string(d.bus_errors)},
        {"scan_errors", std::to_string(d.scan_errors)},
        {"dropped", std::to_string(d.dropped)},
        {"firmware_revision", std::to_string(d.firmware_revision)},
        {"clients", std::to_string(d.clients)}};
    std::vector<diagnostic_msgs_msg_dds__KeyValue_> values;
    for (auto &[k, v] : kv) values.push_back({text(k), text(v)});
    const std::string name = "tarsa-bridge: robot loop", hw = o_.ns.empty() ? "tarsa4" : o_.ns;
    const bool late = d.rate_hz < 15 || d.bus_errors > 0;
    const std::string message = late ? "loop slow or bus errors" : "OK";
    diagnostic_msgs_msg_dds__DiagnosticStatus_ status{};
    status.level = late ? 1 : 0;  // WARN, OK
    status.name = text(name);
    status.message = text(message);
    status.hardware_id = text(hw);
    status.values = {std::uint32_t(values.size()), std::uint32_t(values.size()), values.data(),
                     false};
    diagnostic_msgs_msg_dds__DiagnosticArray_ m{};
    m.header = {stamp(t), empty_text()};
    m.status = {1, 1, &status, false};
    api.dds_write(diagnostics_, &m);
  }

  void on(std::uint64_t t, const StarGazerSample &g) {
    if (gazer_ <= 0) return;
    const std::string map = frame("map");
    geometry_msgs_msg_dds__PoseWithCovarianceStamped_ m{};
    m.header = {stamp(t), text(map)};
    m.pose.pose.position = {g.x_m, g.y_m, 0};
    m.pose.pose.orientation = yaw_quaternion(g.heading_rad);
    double *c = m.pose.covariance;
    c[0] = c[7] = 0.02 * 0.02;  // 2 cm
    c[14] = c[21] = c[28] = 1e-9;
    c[35] = std::pow(1.0 * M_PI / 180, 2);  // 1 degree
    api.dds_write(gazer_, &m);
  }

  void on(std::uint64_t t, const ScanSample &s) {
    if (scan_ <= 0 || s.range_m.size() < 2) return;
    std::vector<float> ranges(s.range_m.size());
    for (std::size_t i = 0; i < ranges.size(); ++i)
      ranges[i] = s.range_m[i] > 0 ? float(s.range_m[i]) : INFINITY;  // no return (REP-117)
    const std::string f = frame("laser");
    sensor_msgs_msg_dds__LaserScan_ m{};
    m.header = {stamp(t), text(f)};
    m.angle_min = float(s.start_angle_rad);
    m.angle_max = float(s.end_angle_rad);
    m.angle_increment = float((s.end_angle_rad - s.start_angle_rad) / double(ranges.size() - 1));
    m.scan_time = float(kScanTime);
    m.time_increment = float(kScanTime * m.angle_increment / (2 * M_PI));
    m.range_min = float(kScanRangeMin);
    m.range_max = float(kScanRangeMax);
    m.ranges = {std::uint32_t(ranges.size()), std::uint32_t(ranges.size()), ranges.data(), false};
    api.dds_write(scan_, &m);
  }

  void on(std::uint64_t t, const CameraSample &c) {
    if (image_ <= 0) return;
    const std::string f = frame("camera_optical_frame"), format = "jpeg";
    sensor_msgs_msg_dds__CompressedImage_ m{};
    m.header = {stamp(t), text(f)};
    m.format = text(format);
    m.data = {std::uint32_t(c.jpeg.size()), std::uint32_t(c.jpeg.size()),
              reinterpret_cast<std::uint8_t *>(const_cast<char *>(c.jpeg.data())), false};
    api.dds_write(image_, &m);

    // Uncalibrated: a pinhole of the assumed field of view, no distortion.
    const std::string model = "plumb_bob";
    double d[5] = {};
    sensor_msgs_msg_dds__CameraInfo_ i{};
    i.header = m.header;
    i.width = std::uint32_t(c.width), i.height = std::uint32_t(c.height);
    i.distortion_model = text(model);
    i.d = {5, 5, d, false};
    const double fx = c.width / 2.0 / std::tan(kCameraHfov / 2);
    const double k[9] = {fx, 0, c.width / 2.0, 0, fx, c.height / 2.0, 0, 0, 1};
    std::memcpy(i.k, k, sizeof k);
    const double r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::memcpy(i.r, r, sizeof r);
    const double p[12] = {fx, 0, c.width / 2.0, 0, 0, fx, c.height / 2.0, 0, 0, 0, 1, 0};
    std::memcpy(i.p, p, sizeof p);
    api.dds_write(camera_info_, &i);
  }

  void on(std::uint64_t, const InfraredSample &) {}

  Ros2Options o_;
  SensorSet sensors_;
  DriveInput drive_;
  dds_entity_t participant_ = 0, odom_ = 0, tf_ = 0, tf_static_ = 0, joints_ = 0, imu_ = 0,
               battery_ = 0, diagnostics_ = 0, scan_ = 0, image_ = 0, camera_info_ = 0, gazer_ = 0,
               cmd_vel_ = 0;
  std::array<dds_entity_t, TR4_US_COUNT> ranges_{};
  std::mutex mutex_;  // the odometry's state, from the robot loop
  Twist velocity_;
  bool have_wheels_ = false;
  int last_left_ = 0, last_right_ = 0;
  double travel_left_ = 0, travel_right_ = 0;
};

}  // namespace

std::unique_ptr<FrontEnd> attach_ros2(const Ros2Options &options, Robot &robot, bool *failed) {
  *failed = false;
  if (!options.enabled) return nullptr;
  static std::once_flag loaded;
  static std::string why;
  std::call_once(loaded, [] {
    if (!api.load(&why) && why.empty()) why = "cannot load " TARSA_DDS_LIBRARY;
  });
  if (!why.empty()) {
    std::fprintf(stderr, "tarsa-bridge: ROS 2: %s\n", why.c_str());
    *failed = true;
    return nullptr;
  }
  DriveInput drive = options.drive ? robot.drive_input() : DriveInput{};
  auto r = std::make_unique<Ros2>(options, robot.sensors(), drive);
  if (!r->start()) {
    *failed = true;
    return nullptr;
  }
  robot.attach(*r);
  return r;
}

}  // namespace bridge
