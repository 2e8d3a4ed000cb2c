// The robot's optional sensors beside the camera.
#include "sensors.h"

#include <chrono>
#include <cmath>
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
  return true;
}

void RangeFinder::start(const Clock &clock, SampleSink sink) {
  thread_ = std::thread([this, &clock, sink = std::move(sink)] {
    while (!stopping_) {
      // A failed scan is counted and the next one tried: the driver skips what is left of it.
      if (vx_lrf_GetDistances(handle_) != 0) {
        ++errors_;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      std::uint64_t t = clock.now();
      sink({t, scan(vx_lrf_DistanceData, VX_LRF_DISTANCES)});
    }
  });
}

void RangeFinder::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (handle_ >= 0) {
    vx_lrf_Close(handle_);
    vx_lrf_Power_Off();
    handle_ = -1;
  }
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

bool StarGazer::read(StarGazerSample *sample) {
  // Centimetres and degrees, as the driver gives them.
  double x, y, height, angle;
  int id;
  char mode;
  if (!open_ || vx_stargazer_read_data(&x, &y, &height, &angle, &id, &mode, 0) != 0) return false;
  *sample = {x / 100, y / 100, height / 100, angle * M_PI / 180, id, mode};
  return true;
}

void StarGazer::close() {
  if (!open_) return;
  vx_gazer_stop_computation();
  vx_stargazer_Close();
  open_ = false;
}

}  // namespace bridge
