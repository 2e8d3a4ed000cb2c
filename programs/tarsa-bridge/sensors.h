// The robot's optional sensors: the range finder, read on a thread of its own because a scan
// takes a while, and the StarGazer, whose records the robot loop takes without waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace bridge {

class RangeFinder {
 public:
  using Sink = std::function<void(std::uint64_t time_ns, std::string json)>;
  ~RangeFinder() { stop(); }

  // Powers the sensor on and opens it on `port`; false with `why` set when it does not answer
  // (it is then closed and powered off again).
  bool open(const std::string &port, std::string *why);
  // Scans one after the other, handing each to `sink` as a LaserScan message.
  void start(std::function<std::uint64_t()> clock, Sink sink);
  // Ends the scans, switches the laser off, closes the port and powers the sensor off.
  void stop();
  std::uint64_t errors() const { return errors_; }

 private:
  int handle_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> errors_{0};
};

// Opens the StarGazer and starts its computation; false with `why` set when it does not answer
// (the port is then closed).
bool open_stargazer(std::string *why);
void close_stargazer();

}  // namespace bridge
