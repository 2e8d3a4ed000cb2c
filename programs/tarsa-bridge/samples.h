// The robot node's vocabulary: the typed samples its core produces, each stamped on one clock
// when it was read; the one interface through which front-ends take them; and the drive input
// through which front-ends hand velocity commands back to the core.
#pragma once

#include <time.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tarsa/tr4_model.h"
#include "tarsa/vx_tarsa4.h"

namespace bridge {

// Pose of the robot (base_link) in the odometry frame (odom).
struct OdometrySample {
  double x_m = 0, y_m = 0, theta_rad = 0;
};

// The wheels as the robot reports them: speeds in speed units, positions in encoder counts
// (TR4_MM_PER_UNIT mm each).
struct WheelsSample {
  int speed_left = 0, speed_right = 0, pos_left = 0, pos_right = 0;
};

// Means of 10 samples; a part whose read failed is absent.
struct ImuSample {
  std::optional<tr4_vector3_t> accel_g, rate_deg_s;
};

// Levels 0 to 4095, sensor i at i * TR4_IR_SPACING_DEG counter-clockwise from straight ahead.
struct InfraredSample {
  int proximity[TR4_IR_COUNT] = {}, ambient[TR4_IR_COUNT] = {};
};

// Ranges from the body's edge in the sensors' order (tr4_decode_us()), and the reply they come
// from (the firmware's centimetres).
struct UltrasonicSample {
  double range_m[TR4_US_COUNT] = {};
  unsigned char reply[TR4_US_BYTES] = {};
};

struct BatterySample {
  tr4_battery_t state{};
  bool charge_line = false;  // the board's charge line (tr4_battery_charge())
  unsigned char reply[TR4_BATTERY_BYTES] = {};
};

// The node's own state over the last second and since the start. The core fills the loop's
// part, each front-end its own (FrontEnd::count()).
struct DiagnosticsSample {
  double rate_hz = 0, jitter_ms = 0, max_late_ms = 0;
  std::uint64_t ticks = 0, bus_errors = 0, scan_errors = 0, dropped = 0, recorded = 0,
                record_dropped = 0;
  std::uint64_t queued_bytes = 0;
  int firmware_revision = -1, clients = 0;
  std::uint64_t scan_restarts = 0;  // times the range finder was opened again
  bool safety_hold = false;         // the safety field holds forward motion back
  std::vector<std::string> silent;  // sensors that delivered nothing for a while
  std::string record_error;         // why the recording stopped writing; empty while it writes
};

// A StarGazer position record: the robot in the landmarks' frame.
struct StarGazerSample {
  double x_m = 0, y_m = 0, height_m = 0, heading_rad = 0;
  int landmark_id = 0;
  char mode = 0;  // the record's mode letter
};

// One range finder scan in base_link: ranges[i] at start_angle + i steps of the same size up to
// end_angle, counter-clockwise; 0 where nothing was measured.
struct ScanSample {
  std::vector<double> range_m;
  double start_angle_rad = 0, end_angle_rad = 0;
};

struct CameraSample {
  std::string jpeg;
  int width = 0, height = 0;
};

struct Sample {
  std::uint64_t time_ns = 0;  // when it was read: nanoseconds on the wall clock's epoch
  std::variant<OdometrySample, WheelsSample, ImuSample, InfraredSample, UltrasonicSample,
               BatterySample, DiagnosticsSample, StarGazerSample, ScanSample, CameraSample>
      value;
};

// Where samples go from the thread that read them.
using SampleSink = std::function<void(Sample)>;

// The node's one clock. Stamps are on the wall clock's epoch and advance with the monotonic
// clock: they never go back, not even when the board's clock is set.
class Clock {
 public:
  Clock() : mono0_(monotonic_ns()), wall0_(read(CLOCK_REALTIME)) {}
  static std::int64_t monotonic_ns() { return read(CLOCK_MONOTONIC); }
  // The stamp of monotonic time `mono_ns`.
  std::uint64_t stamp(std::int64_t mono_ns) const {
    return std::uint64_t(wall0_ + (mono_ns - mono0_));
  }
  std::uint64_t now() const { return stamp(monotonic_ns()); }

 private:
  static std::int64_t read(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
  }
  std::int64_t mono0_, wall0_;
};

// The optional sensors that answered at the start; front-ends offer channels for these only.
struct SensorSet {
  bool stargazer = false, scan = false, camera = false;
};

// A consumer of the samples: a server, a recording, another middleware.
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // Takes a sample. Called from the robot loop and from the sensor threads, possibly at once;
  // never waits on a client, a disk or a network: what cannot keep up is dropped within bounds
  // of the front-end's own.
  virtual void publish(const Sample &sample) = 0;
  // Adds the front-end's own counters to the diagnostics about to be published.
  virtual void count(DiagnosticsSample &) const {}
};

// A velocity command: linear m/s forward, angular rad/s counter-clockwise.
struct Twist {
  double linear = 0, angular = 0;
};

// How a front-end drives: commands go to the one DriveControl, which holds them to the limits
// and the watchdog.
struct DriveInput {
  std::function<void(const Twist &)> command;  // a client's command, in force from now
  std::function<void()> stop;                  // stop at once: the commanding client went away
};

}  // namespace bridge
