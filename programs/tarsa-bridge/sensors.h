// The robot's optional sensors beside the camera: the range finder, read on a thread of its own
// because a scan takes a while, and the StarGazer, whose records the robot loop takes without
// waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "samples.h"

namespace bridge {

class RangeFinder {
 public:
  ~RangeFinder() { stop(); }

  // Powers the sensor on and opens it on `port`; false with `why` set when it does not answer
  // (it is then closed and powered off again).
  bool open(const std::string &port, std::string *why);
  // Scans one after the other, handing each to `sink` stamped on `clock`. After a run of failed
  // scans (the sensor gone, or back from a power cycle with its laser off) it is opened again,
  // which switches its laser on, until it answers.
  void start(const Clock &clock, SampleSink sink);
  // Ends the scans, switches the laser off, closes the port and powers the sensor off.
  void stop();
  std::uint64_t errors() const { return errors_; }
  std::uint64_t restarts() const { return restarts_; }

  // Failed scans in a row after which the sensor is opened again.
  static constexpr int kFailuresBeforeRestart = 3;

 private:
  void pause(int ms) const;

  std::string port_;
  int handle_ = -1;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> errors_{0}, restarts_{0};
};

class StarGazer {
 public:
  ~StarGazer() { close(); }
  // Opens the StarGazer and starts its computation; false with `why` set when it does not
  // answer (the port is then closed).
  bool open(std::string *why);
  // The newest position that came since the last call, if any; never waits. `heard` is set
  // when the sensor sent anything whole (a position or a report that it sees no landmark).
  bool read(StarGazerSample *sample, bool *heard);
  // Stops the computation and closes the port.
  void close();

 private:
  bool open_ = false;
};

}  // namespace bridge
