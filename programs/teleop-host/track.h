// The robot's run as the console follows it: pose, path and message rates across restarts of the
// robot's program. A restart (the robot's clock goes back, or its messages come from another
// sender) begins a new session: the wheel positions count from a new origin and no interval is
// taken across the gap, so that the run reads as if the restart had not happened.
#pragma once

#include <utility>
#include <vector>

#include "sensor_message.h"

class Track {
 public:
  Track(double mm_per_count, double wheel_base_mm) : odo_(mm_per_count, wheel_base_mm) {}

  // Takes a message that arrived at `arrival` (seconds, any clock); `new_sender` when it came
  // from another sender than the one before. True when it begins a session after the first.
  bool add(const SensorMessage &m, double arrival, bool new_sender);

  struct Spread {
    double mean = 0, sd = 0, max = 0;  // seconds
  };

  const Odometry &pose() const { return odo_; }
  const std::vector<std::pair<double, double>> &path() const { return path_; }
  unsigned long received() const { return received_; }
  unsigned sessions() const { return sessions_; }
  unsigned long intervals() const { return robot_.n; }
  // Robot time covered by the messages of all sessions, seconds.
  double robot_time() const { return done_time_ + (last_t_ - first_t_); }
  // Messages per second of robot time; 0 before two messages of one session.
  double rate() const;
  // Intervals between messages of one session, on the robot's clock and on arrival.
  Spread robot_intervals() const { return robot_.spread(); }
  Spread arrival_intervals() const { return arrival_.spread(); }

 private:
  struct Sums {
    double sum = 0, sum2 = 0, max = 0;
    unsigned long n = 0;
    void add(double d);
    Spread spread() const;
  };

  Odometry odo_;
  std::vector<std::pair<double, double>> path_;
  unsigned long received_ = 0;
  unsigned sessions_ = 0;
  double first_t_ = 0, last_t_ = 0, last_arrival_ = 0;
  double done_time_ = 0;  // robot time of the sessions before this one
  Sums robot_, arrival_;
};
