// The board's camera on its video node (model = "camera"): a V4L2 capture device that delivers
// planar YUV 4:2:0 frames through memory-mapped buffers, rendered from the world the robot drives
// in (or a fixed test pattern), at a rate the scenario sets.
//
// Requests and their answers, as the kernel gives them:
//   QUERYCAP           driver "tsim-camera"; capture and streaming as the keys say; the
//                      scenario can refuse it (`querycap_errno`)
//   ENUM_FMT           one format, YUV420, for the capture type; EINVAL past it
//   G/S/TRY_FMT        YUV420 only (any other pixel format is replaced by it); the size is the
//                      nearest of `sizes` (distance in pixels over both axes), or, without a
//                      list, the size asked clamped to 32x32 ... 752x480 and made even; S_FMT
//                      fails with EBUSY while buffers exist, with `format_errno` when set
//   CROPCAP, G/S_CROP  the whole sensor, 752x480; S_CROP clamps into it
//   REQBUFS            MMAP only (EINVAL otherwise); grants at most `buffers`; 0 frees them;
//                      EBUSY while streaming or while a buffer is still mapped
//   QUERYBUF/QBUF      index below the count, else EINVAL; QBUF of a queued buffer: EINVAL
//   DQBUF              the oldest queued buffer holding the newest frame due; EAGAIN while no
//                      frame is due or nothing is queued; EINVAL when not streaming
//   STREAMON/OFF       EINVAL without buffers; STREAMOFF takes back every queued buffer
//   ENUMINPUT, G/S_INPUT, G_PARM   one camera input; the frame interval of `rate_hz`
// anything else gives ENOTTY. Frames fall due every 1/rate_hz s from STREAMON on; a reader that
// is late gets the newest frame (frames in between are dropped, as the sequence numbers show).
//
// The stand-ins of the board's media pipeline scripts ask the camera for their exit status
// (`pipes_status`, `formats_status`).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../scenario.h"
#include "../video_model.h"

namespace tsim {

class Board;
class World;

class CameraModel final : public VideoModel {
 public:
  static constexpr int kSensorWidth = 752, kSensorHeight = 480;

  static constexpr std::array kKeys{
      Key{"rate_hz", Key::Type::number, 0, 1000},  // frames a second (30); 0: never a frame
      Key{"sizes", Key::Type::string},             // "WxH,WxH,...": the sizes granted ("": any)
      Key{"buffers", Key::Type::integer, 0, 32},   // most buffers granted (4)
      Key{"capture", Key::Type::boolean},          // the capture capability (true)
      Key{"streaming", Key::Type::boolean},        // the streaming capability (true)
      Key{"querycap_errno", Key::Type::integer, 0, 4095},  // QUERYCAP fails with it (0: no)
      Key{"format_errno", Key::Type::integer, 0, 4095},    // S_FMT fails with it (0: no)
      Key{"pattern", Key::Type::boolean},       // colour bars instead of the world (false)
      Key{"noise", Key::Type::integer, 0, 64},  // sensor noise on the world's view, +- levels (6)
      Key{"fov_deg", Key::Type::number, 10, 170},         // horizontal field of view (70)
      Key{"height_mm", Key::Type::number, 10, 2000},      // lens above the floor (150)
      Key{"pipes_status", Key::Type::integer, 0, 255},    // exit status of media-pipes.sh (0)
      Key{"formats_status", Key::Type::integer, 0, 255},  // and of media-formats.sh (0)
  };

  CameraModel(const ModelEntry &entry, Board &board);

  int ioctl(unsigned long request, void *arg) override;
  int mapped(std::uint64_t offset, std::span<std::uint8_t> mem) override;
  void unmapped(std::span<std::uint8_t> mem) override;
  bool readable() override;
  std::uint64_t next_frame_us(std::uint64_t now_us) override;
  int media_script(const std::string &name, std::span<const std::string> args) override;

  // One frame of `width` x `height` as the camera sees the world now (or the pattern), YUV420,
  // without the sensor's noise.
  void render(std::uint8_t *yuv, int width, int height);

 private:
  struct Buffer {
    std::uint8_t *mem = nullptr;  // the program's mapping, while it has one
    bool queued = false;
    std::uint32_t sequence = 0, bytesused = 0;
    std::uint64_t stamp_us = 0;
    std::uint64_t order = 0;  // when it was queued, counted in QBUF requests
  };
  int set_format(void *arg, bool apply);
  int request_buffers(void *arg);
  int dequeue(void *arg);
  void fill_buffer(void *arg, std::uint32_t index) const;
  std::pair<int, int> granted(int width, int height) const;
  // Frames due since STREAMON by `now_us` (frame k falls due at start + k periods).
  std::uint64_t frames_due(std::uint64_t now_us) const;
  std::uint32_t frame_bytes() const { return static_cast<std::uint32_t>(width_ * height_ * 3 / 2); }
  std::uint32_t buffer_span() const;

  Board &board_;
  std::shared_ptr<World> world_;
  std::uint64_t seed_;
  double rate_hz_, fov_deg_, height_mm_;
  std::vector<std::pair<int, int>> sizes_;
  unsigned max_buffers_;
  bool capture_, streaming_cap_, pattern_;
  int querycap_errno_, format_errno_, pipes_status_, formats_status_, noise_;

  int width_ = kSensorWidth, height_ = kSensorHeight;
  std::uint32_t field_ = 4;  // interlaced
  std::array<std::int32_t, 4> crop_{0, 0, kSensorWidth, kSensorHeight};
  std::vector<Buffer> buffers_;
  bool streaming_ = false;
  std::uint64_t start_us_ = 0, delivered_ = 0;  // frames handed out since STREAMON
  std::uint64_t queued_ = 0;                    // QBUF requests so far
  // The last frame rendered, and where from: a robot standing still sees the same again.
  std::vector<std::uint8_t> view_;
  double view_x_ = 0, view_y_ = 0, view_heading_ = 0;
  int view_w_ = 0, view_h_ = 0;
};

}  // namespace tsim
