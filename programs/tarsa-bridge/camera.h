// The camera: frames taken at the rate asked on a thread of their own, compressed to JPEG in
// memory by libtarsa and handed on as samples.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "samples.h"
#include "tarsa/vx_camera.h"

namespace bridge {

// Where the camera stage takes its frames: the board's camera, or a stand-in.
class FrameSource {
 public:
  // read()'s result when no new frame is ready.
  static constexpr int kNoFrame = VX_CAMERA_READ_NO_FRAME;

  virtual ~FrameSource() = default;
  // The newest frame, packed RGB of width() x height() pixels, into `rgb`: VX_CAMERA_OK,
  // kNoFrame, or another negative result when the capture failed.
  virtual int read(unsigned char *rgb) = 0;
  virtual int width() const = 0;
  virtual int height() const = 0;
};

// The board's camera through libtarsa.
class CameraDriver : public FrameSource {
 public:
  ~CameraDriver() override { close(); }

  // Sets the camera up for *width x *height (the size the driver grants is written back) and
  // starts the stream; false with `why` set when it cannot (the camera is then released).
  bool open(int *width, int *height, std::string *why);
  // Stops the stream and releases the camera.
  void close();

  int read(unsigned char *rgb) override;
  int width() const override { return width_; }
  int height() const override { return height_; }

 private:
  int width_ = 0, height_ = 0;
  bool open_ = false;
};

// Takes the newest frame of a source at a fixed rate and hands it on as a JPEG. A frame that
// cannot be compressed is reported on the log (once until one compresses again) and left out:
// the stage goes on, and so does the node.
class CameraStage {
 public:
  explicit CameraStage(FrameSource &source) : source_(source) {}
  ~CameraStage() { stop(); }

  // Takes a frame `fps` times a second, stamped on `clock`, and hands it to `sink`; again after
  // a stop.
  void start(double fps, const Clock &clock, SampleSink sink);
  void stop();
  // The rate and the JPEG quality (1 to 100) from the next frame on.
  void set_rate(double fps) { fps_ = fps; }
  double rate() const { return fps_; }
  void set_quality(int quality) { quality_ = quality; }
  // Frames that could not be captured or compressed.
  std::uint64_t errors() const { return errors_; }

 private:
  bool compress(const unsigned char *rgb, std::string *jpeg);

  FrameSource &source_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<double> fps_{10};
  std::atomic<int> quality_{75};
  std::atomic<std::uint64_t> errors_{0};
  bool failing_ = false;  // the last compression failed (the stage's thread alone)
};

}  // namespace bridge
