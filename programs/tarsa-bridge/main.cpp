// tarsa-bridge: the robot in Foxglove and in a browser. Streams the robot's sensors over the
// Foxglove WebSocket protocol, takes drive commands from allowed clients, records runs as MCAP
// and serves its own console page, all on one port.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera.h"
#include "channels.h"
#include "drive.h"
#include "options.h"
#include "recorder.h"
#include "sensors.h"
#include "server.h"
#include "tarsa/lyn.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_stargazer.h"
#include "tarsa/vx_tarsa4.h"

extern const unsigned char kPageHtml[];
extern const std::size_t kPageHtmlSize;

namespace {

volatile sig_atomic_t gQuit = 0;

void on_signal(int sig) {
  gQuit = sig;
}

constexpr std::int64_t kTickNs = 50'000'000;  // the robot loop runs at 20 Hz

std::int64_t clock_ns(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Tick statistics over the last second, and over the whole run.
class LoopMeter {
 public:
  void tick(std::int64_t start_ns, std::int64_t due_ns) {
    double late = (start_ns - due_ns) / 1e6;
    if (late > max_late_) max_late_ = late;
    if (last_ > 0) {
      double dt = (start_ns - last_) / 1e6;
      sum_ += dt, sum2_ += dt * dt, ++n_;
      all_sum_ += dt, all_sum2_ += dt * dt, ++all_n_;
    }
    last_ = start_ns;
  }
  // Rate, jitter and lateness of the second that ends; starts the next one.
  void roll(bridge::LoopStats &s) {
    s.rate_hz = n_ ? 1000.0 / (sum_ / n_) : 0;
    s.jitter_ms = sd(sum_, sum2_, n_);
    s.max_late_ms = max_late_;
    sum_ = sum2_ = max_late_ = 0;
    n_ = 0;
  }
  void summary() const {
    if (!all_n_) return;
    std::printf("tarsa-bridge: loop %.2f Hz over %llu ticks, interval sd %.2f ms\n",
                1000.0 / (all_sum_ / all_n_), static_cast<unsigned long long>(all_n_ + 1),
                sd(all_sum_, all_sum2_, all_n_));
  }

 private:
  static double sd(double sum, double sum2, std::uint64_t n) {
    if (n < 2) return 0;
    double mean = sum / n;
    return std::sqrt(std::fmax(0.0, sum2 / n - mean * mean));
  }
  std::int64_t last_ = 0;
  double sum_ = 0, sum2_ = 0, max_late_ = 0, all_sum_ = 0, all_sum2_ = 0;
  std::uint64_t n_ = 0, all_n_ = 0;
};

// Everything the loop publishes goes to the clients and to the recording.
struct Outlets {
  bridge::Server &server;
  bridge::Recorder *recorder;
  void put(std::uint32_t key, std::uint64_t t_ns, std::string json, bool frame = false) {
    auto payload = std::make_shared<const std::string>(std::move(json));
    server.publish(key + 1, t_ns, payload, frame);
    if (recorder) recorder->offer(key + 1, t_ns, payload);
  }
};

}  // namespace

int main(int argc, char *argv[]) {
  bridge::Options opt;
  std::vector<char *> lib_args;
  if (int r = bridge::parse_command_line(argc, argv, opt, lib_args); r >= 0) return r;

  vx_set_debug_level(2);
  // The robot driver's start-up starts the library with the library's own options.
  if (tr4_init(int(lib_args.size()) - 1, lib_args.data()) < 0) return 1;
  if (int r = bridge::read_configuration(opt); r >= 0) return r;

  lyn_dev_t dsPic = lyn_open("Tarsa4:dsPic", 0, 0, nullptr);
  if (!dsPic) {
    std::fprintf(stderr, "tarsa-bridge: the robot base (Tarsa4:dsPic) cannot be opened\n");
    return 1;
  }

  // Signals only set a flag; the loop stops the wheels itself. The network and recording
  // threads start with the signals blocked so that they always reach the loop's thread.
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &old);

  // The optional sensors start side by side; one that does not answer is left out, and its
  // channel with it.
  std::vector<bridge::Channel> channels = bridge::base_channels();
  bridge::RangeFinder lrf;
  bridge::Camera camera;
  bool have_lrf = false, have_gazer = false, have_camera = false;
  std::string lrf_why, gazer_why, camera_why;
  std::thread lrf_start, camera_start;
  if (opt.lrf) lrf_start = std::thread([&] { have_lrf = lrf.open(opt.lrf_port, &lrf_why); });
  if (opt.camera)
    camera_start = std::thread(
        [&] { have_camera = camera.open(&opt.camera_width, &opt.camera_height, &camera_why); });
  if (opt.stargazer) have_gazer = bridge::open_stargazer(&gazer_why);
  if (lrf_start.joinable()) lrf_start.join();
  if (camera_start.joinable()) camera_start.join();
  if (opt.stargazer && !have_gazer)
    std::printf("tarsa-bridge: StarGazer left out: %s\n", gazer_why.c_str());
  if (opt.lrf && !have_lrf)
    std::printf("tarsa-bridge: range finder left out: %s\n", lrf_why.c_str());
  if (opt.camera && !have_camera)
    std::printf("tarsa-bridge: camera left out: %s\n", camera_why.c_str());
  if (have_gazer) channels.push_back(bridge::stargazer_channel());
  if (have_lrf) channels.push_back(bridge::scan_channel());
  if (have_camera) channels.push_back(bridge::camera_channel());

  bridge::DriveControl drive(opt.limits);
  bridge::Server server(opt.server, channels, drive,
                        std::string_view(reinterpret_cast<const char *>(kPageHtml), kPageHtmlSize));
  std::string error;
  int port = server.start(&error);
  if (port < 0) {
    std::fprintf(stderr, "tarsa-bridge: %s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<bridge::Recorder> recorder;
  if (!opt.record.empty()) {
    recorder = std::make_unique<bridge::Recorder>();
    if (int r = recorder->start(opt.record, channels); r < 0) {
      std::fprintf(stderr, "tarsa-bridge: cannot record to %s: %s\n", opt.record.c_str(),
                   std::strerror(-r));
      return 1;
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);

  std::printf("tarsa-bridge: serving on port %d (console: http://%s:%d/)\n", port,
              opt.server.bind == "0.0.0.0" ? "localhost" : opt.server.bind.c_str(), port);
  if (recorder) std::printf("tarsa-bridge: recording to %s\n", opt.record.c_str());
  if (have_camera)
    std::printf("tarsa-bridge: camera at %dx%d, %g frames a second\n", opt.camera_width,
                opt.camera_height, opt.camera_rate);
  if (opt.limits.watchdog_ms == 0) std::printf("tarsa-bridge: drive watchdog off\n");
  std::fflush(stdout);

  bridge::LoopStats stats;
  unsigned char rev = 0;
  if (tr4_revision(&rev, dsPic) == 0)
    stats.firmware_revision = rev;
  else
    ++stats.bus_errors;
  // The start-up of teleop, whose control law the drive commands go through.
  tr4_SetSpeedProfile(100, 0, 20, 1, 800, dsPic);
  tr4_SetMode(2, dsPic);
  tr4_ResetEncoders(dsPic);

  Outlets out{server, recorder.get()};
  bridge::Odometry odometry;
  bridge::BaseReadings r;
  LoopMeter meter;
  // Timestamps on the wall clock's epoch, advancing with the monotonic clock: they never go
  // back, not even when the board's clock is set.
  const std::int64_t mono0 = clock_ns(CLOCK_MONOTONIC), wall0 = clock_ns(CLOCK_REALTIME);
  auto stamp = [&](std::int64_t mono) { return std::uint64_t(wall0 + (mono - mono0)); };
  if (have_lrf)
    lrf.start(
        [&] { return stamp(clock_ns(CLOCK_MONOTONIC)); },
        [&](std::uint64_t t, std::string json) { out.put(bridge::kScan, t, std::move(json)); });
  if (have_camera)
    camera.start(
        opt.camera_rate, [&] { return stamp(clock_ns(CLOCK_MONOTONIC)); },
        [&](std::uint64_t t, std::string json) { out.put(bridge::kCamera, t, std::move(json)); });
  std::int64_t due = mono0, last_tick = mono0, next_report = mono0 + 1'000'000'000;
  auto ok = [&stats](int result) {
    if (result != 0) ++stats.bus_errors;
    return result == 0;
  };

  while (!gQuit) {
    timespec at{time_t(due / 1'000'000'000), long(due % 1'000'000'000)};
    if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) continue;
    const std::int64_t now = clock_ns(CLOCK_MONOTONIC);
    meter.tick(now, due);
    const std::uint64_t t = stamp(now);

    bool expired = false;
    WheelSpeeds w = drive.tick(now / 1000, (now - last_tick) / 1e9, &expired);
    last_tick = now;
    ok(tr4_set_speed(w.left, w.right, dsPic));
    if (expired) {
      std::printf("tarsa-bridge: no drive command for %d ms, wheels stopped\n",
                  opt.limits.watchdog_ms);
      std::fflush(stdout);
    }

    if (ok(tr4_get_position(&r.pos_left, &r.pos_right, dsPic)) &&
        ok(tr4_get_speed(&r.speed_left, &r.speed_right, dsPic))) {
      odometry.update(r.pos_left, r.pos_right);
      out.put(bridge::kTf, t, bridge::tf_json(t, odometry.pose()));
      out.put(bridge::kOdom, t, bridge::odom_json(t, odometry.pose()));
      out.put(bridge::kWheels, t, bridge::wheels_json(t, r));
    }
    if (ok(tr4_measure_acc(r.acc, dsPic))) out.put(bridge::kAccel, t, bridge::accel_json(t, r));
    if (ok(tr4_measure_gyro(r.gyro, dsPic))) out.put(bridge::kGyro, t, bridge::gyro_json(t, r));
    if (ok(tr4_proximity_ir(r.ir, dsPic)) && ok(tr4_ambiant_ir(r.ambient, dsPic)))
      out.put(bridge::kInfrared, t, bridge::infrared_json(t, r));
    if (ok(tr4_measure_us(r.us, dsPic)))
      out.put(bridge::kUltrasonic, t, bridge::ultrasonic_json(t, r));
    if (ok(tr4_battery_status(r.battery, dsPic))) {
      r.charging = tr4_battery_charge(dsPic);
      out.put(bridge::kBattery, t, bridge::battery_json(t, r));
    }

    if (have_gazer) {
      bridge::GazerRecord g;
      if (vx_stargazer_read_data(&g.x, &g.y, &g.height, &g.angle, &g.id, &g.mode, 0) == 0)
        out.put(bridge::kStarGazer, t, bridge::stargazer_json(t, g));
    }

    if (now >= next_report) {
      next_report += 1'000'000'000;
      meter.roll(stats);
      stats.clients = server.clients();
      stats.dropped = server.dropped();
      stats.queued_bytes = server.queued_bytes();
      stats.scan_errors = lrf.errors();
      if (recorder)
        stats.recorded = recorder->recorded(), stats.record_dropped = recorder->dropped();
      out.put(bridge::kDiagnostics, t, bridge::diagnostics_json(t, stats));
    }
    ++stats.ticks;
    // A tick that overran skips the due times it missed rather than running them in a burst.
    due += kTickNs;
    if (std::int64_t behind = clock_ns(CLOCK_MONOTONIC) - due; behind > 0)
      due += (behind / kTickNs + 1) * kTickNs;
  }

  // Wheels first, then the rest.
  drive.stop();
  tr4_set_speed(0, 0, dsPic);
  tr4_SetMode(0, dsPic);
  std::printf("tarsa-bridge: %s, wheels stopped\n", gQuit == SIGINT ? "interrupted" : "terminated");
  std::fflush(stdout);
  lrf.stop();
  camera.stop();
  if (have_gazer) bridge::close_stargazer();
  server.stop();
  int status = 0;
  if (recorder) {
    if (int rr = recorder->stop(); rr < 0) {
      std::fprintf(stderr, "tarsa-bridge: recording to %s failed: %s\n", opt.record.c_str(),
                   std::strerror(-rr));
      status = 1;
    } else {
      std::printf("tarsa-bridge: recorded %llu messages to %s (%llu dropped)\n",
                  static_cast<unsigned long long>(recorder->recorded()), opt.record.c_str(),
                  static_cast<unsigned long long>(recorder->dropped()));
    }
  }
  meter.summary();
  return status;
}
