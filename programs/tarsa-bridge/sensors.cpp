// The robot's optional sensors beside the camera.
#include "sensors.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tarsa/vx_lrf.h"
#include "tarsa/vx_stargazer.h"

namespace bridge {

namespace {

// The sensor's geometry: 1024 steps a turn, the front at step 384, the first entry step 44.
constexpr int kStepsPerTurn = 1024;
constexpr int kFrontEntry = 384 - 44;

ScanSample scan(const std::int32_t *mm, int count) {
  ScanSample s;
  s.range_m.assign(mm, mm + count);
  for (double &r : s.range_m) r /= 1000;
  const double step = 2 * M_PI / kStepsPerTurn;
  s.start_angle_rad = -kFrontEntry * step;
  s.end_angle_rad = (count - 1 - kFrontEntry) * step;
  return s;
}

}  // namespace

bool RangeFinder::open(const std::string &port, std::string *why) {
  if (int r = vx_lrf_Power_On(); r < 0) {
    *why = std::string("cannot switch its power on: ") + std::strerror(-r);
    return false;
  }
  handle_ = vx_lrf_Init(port.c_str());
  if (handle_ < 0) {
    *why = "no answer on " + port + ": " + std::strerror(-handle_);
    vx_lrf_Power_Off();
    return false;
  }
  port_ = port;
  return true;
}

void RangeFinder::pause(int ms) const {
  for (int i = 0; i < ms / 50 && !stopping_; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void RangeFinder::start(const Clock &clock, SampleSink sink) {
  thread_ = std::thread([this, &clock, sink = std::move(sink)] {
    int failures = 0;
    while (!stopping_) {
      if (handle_ < 0) {
        // Opening it again switches the laser on; until it answers, it is tried twice a second.
        handle_ = vx_lrf_Init(port_.c_str());
        if (handle_ < 0) {
          pause(500);
          continue;
        }
        ++restarts_;
        std::printf("tarsa-bridge: range finder restarted, laser on\n");
        std::fflush(stdout);
      }
      // A failed scan is counted and the next one tried: the driver skips what is left of it.
      if (vx_lrf_GetDistances(handle_) != 0) {
        ++errors_;
        if (++failures >= kFailuresBeforeRestart) {
          vx_lrf_Close(handle_);
          handle_ = -1;
          failures = 0;
        }
        pause(100);
        continue;
      }
      failures = 0;
      std::uint64_t t = clock.now();
      sink({t, scan(vx_lrf_DistanceData, VX_LRF_DISTANCES)});
    }
  });
}

void RangeFinder::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (handle_ >= 0) vx_lrf_Close(handle_);
  if (!port_.empty()) vx_lrf_Power_Off();
  handle_ = -1;
  port_.clear();
}

bool StarGazer::open(std::string *why) {
  int r = vx_stargazer_Init();
  if (r == 0) r = vx_gazer_start_computation() == 0 ? 0 : -4;
  if (r == 0) return open_ = true;
  *why = r == -2   ? "cannot open /dev/ttyO0"
         : r == -3 ? "no answer on /dev/ttyO0"
                   : "computation not started";
  vx_stargazer_Close();
  return false;
}

bool StarGazer::read(StarGazerSample *sample, bool *heard) {
  // Centimetres and degrees, as the driver gives them.
  vx_stargazer_position_t p{};
  const int r = open_ ? vx_stargazer_poll(&p, 0) : VX_GAZER_POLL_NOT_OPEN;
  *heard = r == VX_GAZER_POLL_POSITION || r == VX_GAZER_POLL_DEAD_ZONE;
  if (r != VX_GAZER_POLL_POSITION) return false;
  *sample = {p.x / 100, p.y / 100, p.height / 100, p.angle * M_PI / 180, p.id, p.mode};
  return true;
}

void StarGazer::close() {
  if (!open_) return;
  vx_gazer_stop_computation();
  vx_stargazer_Close();
  open_ = false;
}

}  // namespace bridge
