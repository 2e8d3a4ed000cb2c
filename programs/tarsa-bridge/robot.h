// The robot node's core: owns the robot base, the one DriveControl and the optional sensors;
// runs the 20 Hz robot loop and the sensor threads, and hands every sample, stamped on one
// clock, to the front-ends attached.
#pragma once

#include <signal.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera.h"
#include "drive.h"
#include "samples.h"
#include "sensors.h"
#include "tarsa/lyn.h"

namespace bridge {

struct RobotOptions {
  DriveLimits limits;
  bool stargazer = false, lrf = false, camera = false;  // optional sensors, when enabled
  int camera_width = 320, camera_height = 240;
  double camera_rate = 10;  // frames per second
  int camera_quality = 75;  // JPEG quality, 1 to 100
  std::string lrf_port = "/dev/ttyACM0";
};

class Robot {
 public:
  explicit Robot(RobotOptions options);
  ~Robot();
  Robot(const Robot &) = delete;
  Robot &operator=(const Robot &) = delete;

  // Opens the robot base; false after saying why on stderr.
  bool open();
  // Opens the enabled optional sensors side by side; one that does not answer is reported and
  // left out.
  void open_sensors();
  const SensorSet &sensors() const { return present_; }
  // Reports what runs otherwise than one might expect: the camera's size and rate, a watchdog
  // that is off.
  void announce() const;

  // Commands for the one DriveControl, for the front-ends.
  DriveInput drive_input();

  // Live settings, from any thread while the loop runs.
  DriveLimits limits() const { return drive_.limits(); }
  void set_limits(const DriveLimits &limits) { drive_.set_limits(limits); }
  void set_camera_rate(double fps) { camera_stage_.set_rate(fps); }
  void set_camera_quality(int quality) { camera_stage_.set_quality(quality); }
  // Opens the camera again for *width x *height (the size granted is written back); false with
  // `why` set when it cannot, the camera then back at its former size if it takes it.
  bool set_camera_size(int *width, int *height, std::string *why);
  // Whether an optional sensor's samples go to the front-ends (the safety field goes on seeing
  // the range finder's either way).
  enum Optional { kScanStream, kCameraStream, kStarGazerStream };
  void set_streaming(Optional which, bool on) { streaming_[which] = on; }
  bool streaming(Optional which) const { return streaming_[which]; }
  // Puts the odometry back at the origin on the loop's next tick; false when the loop did not
  // take it within a second.
  bool reset_odometry();
  // The newest camera frame, none before the first.
  std::shared_ptr<const CameraSample> snapshot() const;
  // Every sample goes to `front_end` from now on. Before run().
  void attach(FrontEnd &front_end) { front_ends_.push_back(&front_end); }

  // Readies the robot for driving, starts the sensor threads, sets the calling thread's signal
  // mask to `mask` and runs the loop until `quit` is set; then blocks every signal and stops the
  // wheels with the stop routine. False when the robot did not take the stop.
  bool run(const volatile sig_atomic_t &quit, const sigset_t &mask);
  // Ends the sensor threads and closes the sensors.
  void close();
  // The loop's rate and regularity over the run.
  void summary() const;

 private:
  class Meter;
  // The optional sensors whose delivery is watched.
  enum Watched { kScan, kCamera, kStarGazer, kWatched };
  void publish(const Sample &sample) const;
  void delivered(Watched w) { last_[w] = Clock::monotonic_ns(); }
  // Notes on the log the sensors that fell silent or came back, and lists the silent ones.
  void watch_sensors(std::int64_t now);
  void safety_report();
  void tick(std::int64_t now, std::int64_t dt_ns);
  void start_camera(double fps);

  RobotOptions options_;
  Clock clock_;
  lyn_dev_t base_ = nullptr;
  DriveControl drive_;
  tr4_odometry_t odometry_{};
  DiagnosticsSample stats_;
  std::unique_ptr<Meter> meter_;
  std::vector<FrontEnd *> front_ends_;
  std::atomic<std::int64_t> last_[kWatched] = {};
  bool silent_[kWatched] = {};
  bool held_before_ = false;
  std::atomic<bool> streaming_[3] = {true, true, true};
  std::atomic<std::uint64_t> resets_asked_{0}, resets_done_{0};
  mutable std::mutex camera_mutex_;  // the camera's restart, and the newest frame
  bool camera_running_ = false;
  std::shared_ptr<const CameraSample> newest_frame_;

  SensorSet present_;
  RangeFinder lrf_;
  StarGazer gazer_;
  CameraDriver camera_;
  CameraStage camera_stage_{camera_};
};

}  // namespace bridge
