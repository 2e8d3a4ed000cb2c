// The robot node's core: the robot loop, the sensors, the samples.
#include "robot.h"

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "tarsa/vx_tarsa4.h"

namespace bridge {

namespace {

constexpr std::int64_t kTickNs = 50'000'000;  // the robot loop runs at 20 Hz
constexpr std::int64_t kSecondNs = 1'000'000'000;
// A sensor that delivered nothing for this long is reported silent.
constexpr std::int64_t kSilentNs = 3 * kSecondNs;
// Half the width of the range finder's sector ahead that the safety field watches.
constexpr double kFrontSectorRad = 15 * M_PI / 180;

// The nearest return within the sector ahead, infinity for none, NaN for an empty scan.
double nearest_ahead(const ScanSample &s) {
  if (s.range_m.size() < 2) return NAN;
  const double step = (s.end_angle_rad - s.start_angle_rad) / double(s.range_m.size() - 1);
  double nearest = INFINITY;
  for (std::size_t i = 0; i < s.range_m.size(); ++i) {
    const double a = s.start_angle_rad + double(i) * step;
    if (std::fabs(a) <= kFrontSectorRad && s.range_m[i] > 0)
      nearest = std::fmin(nearest, s.range_m[i]);
  }
  return nearest;
}

const char *const kWatchedNames[] = {"range finder", "camera", "StarGazer"};
const char *const kWatchedTopics[] = {"scan", "camera", "stargazer"};

}  // namespace

// Tick statistics over the last second, and over the whole run.
class Robot::Meter {
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
  void roll(DiagnosticsSample &s) {
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

Robot::Robot(RobotOptions options)
    : options_(std::move(options)), drive_(options_.limits), meter_(std::make_unique<Meter>()) {}

Robot::~Robot() {
  close();
}

bool Robot::open() {
  base_ = lyn_open("Tarsa4:dsPic", 0, 0, nullptr);
  if (!base_)
    std::fprintf(stderr, "tarsa-bridge: the robot base (Tarsa4:dsPic) cannot be opened\n");
  return base_ != nullptr;
}

void Robot::open_sensors() {
  const RobotOptions &o = options_;
  std::string lrf_why, gazer_why, camera_why;
  std::thread lrf_start, camera_start;
  if (o.lrf) lrf_start = std::thread([&] { present_.scan = lrf_.open(o.lrf_port, &lrf_why); });
  if (o.camera)
    camera_start = std::thread([&] {
      present_.camera = camera_.open(&options_.camera_width, &options_.camera_height, &camera_why);
    });
  if (o.stargazer) present_.stargazer = gazer_.open(&gazer_why);
  if (lrf_start.joinable()) lrf_start.join();
  if (camera_start.joinable()) camera_start.join();
  if (o.stargazer && !present_.stargazer)
    std::printf("tarsa-bridge: StarGazer left out: %s\n", gazer_why.c_str());
  if (o.lrf && !present_.scan)
    std::printf("tarsa-bridge: range finder left out: %s\n", lrf_why.c_str());
  if (o.camera && !present_.camera)
    std::printf("tarsa-bridge: camera left out: %s\n", camera_why.c_str());
}

void Robot::announce() const {
  if (present_.camera)
    std::printf("tarsa-bridge: camera at %dx%d, %g frames a second\n", options_.camera_width,
                options_.camera_height, options_.camera_rate);
  if (options_.limits.watchdog_ms == 0) std::printf("tarsa-bridge: drive watchdog off\n");
  std::fflush(stdout);
}

bool Robot::reset_odometry() {
  const std::uint64_t asked = ++resets_asked_;
  for (int i = 0; i < 200 && resets_done_ < asked; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return resets_done_ >= asked;
}

std::shared_ptr<const CameraSample> Robot::snapshot() const {
  std::lock_guard lock(camera_mutex_);
  return newest_frame_;
}

DriveInput Robot::drive_input() {
  return {[this](const Twist &t) { drive_.command(t, Clock::monotonic_ns() / 1000); },
          [this] { drive_.stop(); }};
}

void Robot::publish(const Sample &sample) const {
  for (FrontEnd *f : front_ends_) f->publish(sample);
}

bool Robot::run(const volatile sig_atomic_t &quit, const sigset_t &mask) {
  unsigned char rev = 0;
  if (tr4_revision(&rev, base_) == 0)
    stats_.firmware_revision = rev;
  else
    ++stats_.bus_errors;
  tr4_drive_start(base_);

  const std::int64_t start = Clock::monotonic_ns();
  for (auto &l : last_) l = start;
  if (present_.scan)
    lrf_.start(clock_, [this](Sample s) {
      delivered(kScan);
      drive_.obstacle(0, nearest_ahead(std::get<ScanSample>(s.value)));
      if (streaming_[kScanStream]) publish(s);
    });
  camera_stage_.set_quality(options_.camera_quality);
  start_camera(options_.camera_rate);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  std::int64_t due = start, last_tick = start, next_report = start + kSecondNs;
  while (!quit) {
    timespec at{time_t(due / kSecondNs), long(due % kSecondNs)};
    if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) continue;
    const std::int64_t now = Clock::monotonic_ns();
    meter_->tick(now, due);
    tick(now, now - last_tick);
    last_tick = now;
    if (now >= next_report) {
      next_report += kSecondNs;
      meter_->roll(stats_);
      stats_.scan_errors = lrf_.errors();
      stats_.scan_restarts = lrf_.restarts();
      watch_sensors(now);
      for (FrontEnd *f : front_ends_) f->count(stats_);
      publish({clock_.stamp(now), stats_});
    }
    ++stats_.ticks;
    // A tick that overran skips the due times it missed rather than running them in a burst.
    due += kTickNs;
    if (std::int64_t behind = Clock::monotonic_ns() - due; behind > 0)
      due += (behind / kTickNs + 1) * kTickNs;
  }
  // Wheels first, then the rest; nothing interrupts the stop.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  drive_.stop();
  return tr4_stop(base_) == 0;
}

// One tick: the wheels' speeds out, then every reading of the robot base in.
void Robot::tick(std::int64_t now, std::int64_t dt_ns) {
  const std::uint64_t t = clock_.stamp(now);
  auto ok = [this](int result) {
    if (result != 0) ++stats_.bus_errors;
    return result == 0;
  };

  bool expired = false;
  tr4_wheel_speeds_t w = drive_.tick(now / 1000, dt_ns / 1e9, &expired);
  safety_report();
  ok(tr4_set_speed(w.left, w.right, base_));
  if (expired) {
    std::printf("tarsa-bridge: no drive command for %d ms, wheels stopped\n",
                drive_.limits().watchdog_ms);
    std::fflush(stdout);
  }

  WheelsSample wheels;
  if (ok(tr4_get_position(&wheels.pos_left, &wheels.pos_right, base_)) &&
      ok(tr4_get_speed(&wheels.speed_left, &wheels.speed_right, base_))) {
    if (const std::uint64_t asked = resets_asked_; asked != resets_done_) {
      tr4_odometry_reset(&odometry_);
      resets_done_ = asked;
    }
    tr4_odometry_update(&odometry_, wheels.pos_left, wheels.pos_right);
    publish({t, OdometrySample{odometry_.x_m, odometry_.y_m, odometry_.theta_rad}});
    publish({t, wheels});
  }
  unsigned char raw[TR4_ACC_BYTES];
  ImuSample imu;
  if (ok(tr4_measure_acc(raw, base_))) tr4_decode_acc(raw, &imu.accel_g.emplace());
  if (ok(tr4_measure_gyro(raw, base_))) tr4_decode_gyro(raw, &imu.rate_deg_s.emplace());
  if (imu.accel_g || imu.rate_deg_s) publish({t, imu});
  InfraredSample ir;
  unsigned char ambient[TR4_IR_BYTES];
  if (ok(tr4_proximity_ir(raw, base_)) && ok(tr4_ambiant_ir(ambient, base_))) {
    tr4_decode_ir(raw, ir.proximity);
    tr4_decode_ir(ambient, ir.ambient);
    publish({t, ir});
  }
  UltrasonicSample us;
  if (ok(tr4_measure_us(us.reply, base_))) {
    tr4_decode_us(us.reply, us.range_m);
    drive_.obstacle(1, us.range_m[2]);  // the sensor straight ahead
    publish({t, us});
  }
  BatterySample battery;
  if (ok(tr4_battery_status(battery.reply, base_))) {
    tr4_decode_battery(battery.reply, &battery.state);
    battery.charge_line = tr4_battery_charge(base_) == 1;
    publish({t, battery});
  }
  if (present_.stargazer) {
    StarGazerSample g;
    bool heard = false;
    if (gazer_.read(&g, &heard) && streaming_[kStarGazerStream]) publish({t, g});
    if (heard) delivered(kStarGazer);
  }
}

void Robot::start_camera(double fps) {
  std::lock_guard lock(camera_mutex_);
  if (!present_.camera) return;
  camera_stage_.start(fps, clock_, [this](Sample s) {
    delivered(kCamera);
    {
      std::lock_guard frame_lock(camera_mutex_);
      newest_frame_ = std::make_shared<const CameraSample>(std::get<CameraSample>(s.value));
    }
    if (streaming_[kCameraStream]) publish(s);
  });
  camera_running_ = true;
}

bool Robot::set_camera_size(int *width, int *height, std::string *why) {
  std::unique_lock lock(camera_mutex_);
  if (!present_.camera) {
    *why = "no camera on this robot";
    return false;
  }
  const bool running = camera_running_;
  camera_running_ = false;
  lock.unlock();  // the stage's last frame takes the lock
  camera_stage_.stop();
  lock.lock();
  newest_frame_.reset();  // a snapshot is of the size in force
  camera_.close();
  bool taken = camera_.open(width, height, why);
  if (taken) {
    options_.camera_width = *width, options_.camera_height = *height;
  } else if (std::string again;
             !camera_.open(&options_.camera_width, &options_.camera_height, &again)) {
    std::printf("tarsa-bridge: camera lost at %dx%d: %s\n", options_.camera_width,
                options_.camera_height, again.c_str());
    std::fflush(stdout);
    return false;
  }
  lock.unlock();
  if (running) start_camera(camera_stage_.rate());
  return taken;
}

void Robot::safety_report() {
  const bool held = drive_.holding();
  stats_.safety_hold = held;
  if (held && !held_before_) {
    std::printf("tarsa-bridge: obstacle within %g m ahead, forward motion held back\n",
                drive_.limits().safety_distance_m);
    std::fflush(stdout);
  }
  held_before_ = held;
}

void Robot::watch_sensors(std::int64_t now) {
  const bool present[kWatched] = {present_.scan, present_.camera, present_.stargazer};
  stats_.silent.clear();
  for (int w = 0; w < kWatched; ++w) {
    if (!present[w]) continue;
    const bool silent = now - last_[w] > kSilentNs;
    if (silent != silent_[w]) {
      if (silent)
        std::printf("tarsa-bridge: %s silent for %lld s\n", kWatchedNames[w],
                    static_cast<long long>((now - last_[w]) / kSecondNs));
      else
        std::printf("tarsa-bridge: %s delivers again\n", kWatchedNames[w]);
      std::fflush(stdout);
      silent_[w] = silent;
    }
    if (silent) stats_.silent.emplace_back(kWatchedTopics[w]);
  }
}

void Robot::close() {
  lrf_.stop();
  camera_stage_.stop();
  camera_.close();
  gazer_.close();
}

void Robot::summary() const {
  meter_->summary();
}

}  // namespace bridge
