// The robot's run as the console follows it, across restarts of the robot's program.
#include "track.h"

#include <algorithm>
#include <cmath>

void Track::Sums::add(double d) {
  sum += d, sum2 += d * d, max = std::max(max, d);
  ++n;
}

Track::Spread Track::Sums::spread() const {
  if (n == 0) return {};
  double mean = sum / double(n);
  return {mean, std::sqrt(std::max(0.0, sum2 / double(n) - mean * mean)), max};
}

bool Track::add(const SensorMessage &m, double arrival, bool new_sender) {
  const bool restart = received_ > 0 && (new_sender || m.t < last_t_);
  if (received_ == 0 || restart) {
    done_time_ = robot_time();
    first_t_ = m.t;
    ++sessions_;
    // The restarted robot's encoders count from 0 again: no motion between the two readings.
    odo_.new_origin();
  } else {
    robot_.add(m.t - last_t_);
    arrival_.add(arrival - last_arrival_);
  }
  last_t_ = m.t, last_arrival_ = arrival;
  ++received_;
  odo_.update(m.posL, m.posR);
  path_.emplace_back(odo_.x(), odo_.y());
  return restart;
}

double Track::rate() const {
  double span = robot_time();
  return span > 0 ? double(robot_.n) / span : 0;
}
