// The camera: frames captured on a thread of its own at the rate asked, compressed to JPEG in
// memory and handed on as CompressedImage messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bridge {

class Camera {
 public:
  using Sink = std::function<void(std::uint64_t time_ns, std::string json)>;
  ~Camera() { stop(); }

  // Sets the camera up for *width x *height (the size the driver grants is written back) and
  // starts the stream; false with `why` set when it cannot (the camera is then released).
  bool open(int *width, int *height, std::string *why);
  // Takes the newest frame `fps` times a second and hands it to `sink`.
  void start(double fps, std::function<std::uint64_t()> clock, Sink sink);
  // Ends the captures, stops the stream and releases the camera.
  void stop();
  std::uint64_t errors() const { return errors_; }

 private:
  int width_ = 0, height_ = 0;
  bool open_ = false;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> errors_{0};
};

}  // namespace bridge
