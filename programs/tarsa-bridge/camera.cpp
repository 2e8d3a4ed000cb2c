// The camera: capture and compression through libtarsa, one frame per period.
#include "camera.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "tarsa/vx_camera.h"

namespace bridge {

namespace {

const char *encode_failure(int r) {
  switch (r) {
    case VX_CAMERA_ENCODE_BAD_SIZE:
      return "no JPEG image can have that size";
    case VX_CAMERA_ENCODE_FAILED:
      return "the JPEG engine failed";
    default:
      return "refused";
  }
}

}  // namespace

bool CameraDriver::open(int *width, int *height, std::string *why) {
  int r = vx_camera_init(width, height);
  if (r >= VX_CAMERA_OK && (r = vx_captureStart()) == VX_CAMERA_OK) {
    width_ = *width, height_ = *height;
    open_ = true;
    return true;
  }
  const char *what;
  switch (r) {
    case VX_CAMERA_INIT_PIPES_NOT_RUN:
    case VX_CAMERA_INIT_FORMATS_NOT_RUN:
      what = "the media pipeline scripts cannot be run";
      break;
    case VX_CAMERA_INIT_PIPES_FAILED:
    case VX_CAMERA_INIT_FORMATS_FAILED:
      what = "a media pipeline script failed";
      break;
    case VX_CAMERA_INIT_NO_NODE:
      what = "no usable " VX_CAMERA_DEVICE;
      break;
    default:
      what = "the capture device refused";
  }
  char text[128];
  std::snprintf(text, sizeof text, "%s (%d)", what, r);
  *why = text;
  vx_camera_release();
  return false;
}

void CameraDriver::close() {
  if (!open_) return;
  vx_captureStop();
  vx_camera_release();
  open_ = false;
}

int CameraDriver::read(unsigned char *rgb) {
  return frameRead(rgb);
}

bool CameraStage::compress(const unsigned char *rgb, std::string *jpeg) {
  unsigned char *bytes = nullptr;
  std::size_t size = 0;
  int r = vx_camera_encode_jpeg(rgb, source_.width(), source_.height(), quality_, &bytes, &size);
  if (r == VX_CAMERA_OK) {
    jpeg->assign(reinterpret_cast<const char *>(bytes), size);
    vx_camera_free_jpeg(bytes);
    failing_ = false;
    return true;
  }
  ++errors_;
  if (!failing_) {
    std::printf("tarsa-bridge: camera frame of %dx%d not compressed: %s (%d)\n", source_.width(),
                source_.height(), encode_failure(r), r);
    std::fflush(stdout);
  }
  failing_ = true;
  return false;
}

void CameraStage::start(double fps, const Clock &clock, SampleSink sink) {
  fps_ = fps;
  stopping_ = false;
  thread_ = std::thread([this, &clock, sink = std::move(sink)] {
    using namespace std::chrono;
    const int width = source_.width(), height = source_.height();
    std::vector<unsigned char> rgb(std::size_t(width) * height * 3);
    auto due = steady_clock::now();
    while (!stopping_) {
      const auto period = duration_cast<steady_clock::duration>(duration<double>(1 / fps_));
      // The newest frame the driver holds; when none has come yet, a few more tries within
      // this period.
      bool got = false;
      for (auto give_up = due + period / 2; !stopping_;) {
        int r;
        while ((r = source_.read(rgb.data())) == VX_CAMERA_OK) got = true;
        if (r != FrameSource::kNoFrame) ++errors_;
        if (got || r != FrameSource::kNoFrame || steady_clock::now() >= give_up) break;
        std::this_thread::sleep_for(milliseconds(5));
      }
      if (got) {
        std::uint64_t t = clock.now();
        CameraSample frame{{}, width, height};
        if (compress(rgb.data(), &frame.jpeg)) sink({t, std::move(frame)});
      }
      due += period;
      if (steady_clock::now() > due) due = steady_clock::now();
      while (!stopping_ && steady_clock::now() < due)
        std::this_thread::sleep_for(
            std::min<steady_clock::duration>(due - steady_clock::now(), milliseconds(50)));
    }
  });
}

void CameraStage::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

}  // namespace bridge
