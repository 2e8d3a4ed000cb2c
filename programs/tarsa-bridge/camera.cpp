// The camera: capture through libtarsa, one frame per period.
#include "camera.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "channels.h"
#include "image.h"
#include "tarsa/vx_camera.h"

namespace bridge {

namespace {

constexpr int kQuality = 75;

}  // namespace

bool Camera::open(int *width, int *height, std::string *why) {
  int r = vx_camera_init(width, height);
  if (r >= 0 && (r = vx_captureStart()) == 0) {
    width_ = *width, height_ = *height;
    open_ = true;
    return true;
  }
  const char *what = r == -5 || r == -7   ? "the media pipeline scripts cannot be run"
                     : r == -6 || r == -8 ? "a media pipeline script failed"
                     : r == -4            ? "no usable " VX_CAMERA_DEVICE
                                          : "the capture device refused";
  char text[128];
  std::snprintf(text, sizeof text, "%s (%d)", what, r);
  *why = text;
  vx_camera_release();
  return false;
}

void Camera::start(double fps, std::function<std::uint64_t()> clock, Sink sink) {
  thread_ = std::thread([this, fps, clock = std::move(clock), sink = std::move(sink)] {
    using namespace std::chrono;
    std::vector<unsigned char> rgb(std::size_t(width_) * height_ * 3);
    const auto period = duration_cast<steady_clock::duration>(duration<double>(1 / fps));
    auto due = steady_clock::now();
    while (!stopping_) {
      // The newest frame the driver holds; when none has come yet, a few more tries within
      // this period.
      bool got = false;
      for (auto give_up = due + period / 2; !stopping_;) {
        int r;
        while ((r = frameRead(rgb.data())) == 0) got = true;
        if (r != -4) ++errors_;
        if (got || r != -4 || steady_clock::now() >= give_up) break;
        std::this_thread::sleep_for(milliseconds(5));
      }
      if (got) {
        std::uint64_t t = clock();
        sink(t, compressed_image_json(
                    t, base64(jpeg_from_rgb(rgb.data(), width_, height_, kQuality))));
      }
      due += period;
      if (steady_clock::now() > due) due = steady_clock::now();
      while (!stopping_ && steady_clock::now() < due)
        std::this_thread::sleep_for(
            std::min<steady_clock::duration>(due - steady_clock::now(), milliseconds(50)));
    }
  });
}

void Camera::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (open_) {
    vx_captureStop();
    vx_camera_release();
    open_ = false;
  }
}

}  // namespace bridge
