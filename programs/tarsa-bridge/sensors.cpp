// The robot's optional sensors.
#include "sensors.h"

#include <chrono>
#include <cstring>

#include "channels.h"
#include "tarsa/vx_lrf.h"
#include "tarsa/vx_stargazer.h"

namespace bridge {

namespace {

// The sensor's geometry: 1024 steps a turn, the front at step 384, the first entry step 44.
constexpr int kStepsPerTurn = 1024;
constexpr int kFrontEntry = 384 - 44;

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

void RangeFinder::start(std::function<std::uint64_t()> clock, Sink sink) {
  thread_ = std::thread([this, clock = std::move(clock), sink = std::move(sink)] {
    while (!stopping_) {
      // A failed scan is counted and the next one tried: the driver skips what is left of it.
      if (vx_lrf_GetDistances(handle_) != 0) {
        ++errors_;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      std::uint64_t t = clock();
      sink(t, scan_json(t, vx_lrf_DistanceData, VX_LRF_DISTANCES, kFrontEntry, kStepsPerTurn));
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

bool open_stargazer(std::string *why) {
  int r = vx_stargazer_Init();
  if (r == 0) r = vx_gazer_start_computation() == 0 ? 0 : -4;
  if (r == 0) return true;
  *why = r == -2   ? "cannot open /dev/ttyO0"
         : r == -3 ? "no answer on /dev/ttyO0"
                   : "computation not started";
  vx_stargazer_Close();
  return false;
}

void close_stargazer() {
  vx_gazer_stop_computation();
  vx_stargazer_Close();
}

}  // namespace bridge
