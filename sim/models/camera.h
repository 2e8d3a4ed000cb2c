// The board's camera behind its video node (model = "camera"): frames of planar YUV 4:2:0
// rendered from the world the robot drives in (or a fixed test pattern), in the sizes the
// scenario lists, at the rate it sets. The node's own keys (buffers, capabilities, refusals, the
// media scripts' statuses) are in sim/video_node.h.
//
// Sizes: the nearest of `sizes` to the size asked (distance in pixels over both axes), or,
// without a list, the size asked clamped to 32x32 ... 752x480 and made even. Frames fall due
// every 1/rate_hz s from STREAMON on; each carries the sensor's noise, the same for a seed and a
// frame number.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "../floor_plan.h"
#include "../model_entry.h"
#include "../video_model.h"

namespace tsim {

class Board;
class World;

class CameraModel final : public VideoModel {
 public:
  static constexpr int kSensorWidth = 752, kSensorHeight = 480;

  static constexpr std::array kKeys{
      Key{"rate_hz", Key::Type::number, 0, 1000, 30, "frames a second; 0: never a frame"},
      Key{.name = "sizes",
          .type = Key::Type::string,
          .def = "",
          .doc = "\"WxH,WxH,...\": the sizes granted (\"\": any from 32x32 to 752x480)"},
      Key{.name = "pattern",
          .type = Key::Type::boolean,
          .def = false,
          .doc = "colour bars instead of the world"},
      Key{"noise", Key::Type::integer, 0, 64, 6, "sensor noise on the world's view, +- levels"},
      Key{"fov_deg", Key::Type::number, 10, 170, 70, "horizontal field of view, degrees"},
      Key{"height_mm", Key::Type::number, 10, 2000, 150, "lens above the floor, mm"},
  };

  CameraModel(const ModelEntry &entry, Board &board);

  FrameSize sensor() const override { return {kSensorWidth, kSensorHeight}; }
  FrameSize offer(FrameSize asked) const override;
  FrameSizes sizes() const override;
  double rate_hz() const override { return rate_hz_; }
  void render(std::span<std::uint8_t> yuv, FrameSize size, std::uint64_t sequence) override;
  // The view of the world now (or the pattern) in `width` x `height`, without the sensor's noise.
  void render(std::uint8_t *yuv, int width, int height);

 private:
  // One column of the view from `p` with the focal length `f` (pixels): wall, floor or ceiling.
  void render_column(std::uint8_t *yuv, int w, int h, int x, const Pose &p, double f);
  // The landmarks seen from `p`, over what is drawn.
  void render_landmarks(std::uint8_t *yuv, int w, int h, const Pose &p, double f);

  Board &board_;
  std::shared_ptr<World> world_;
  std::uint64_t seed_;
  double rate_hz_, fov_deg_, height_mm_;
  std::vector<FrameSize> sizes_;
  bool pattern_;
  int noise_;
  // The last view rendered, and where from: a robot standing still sees the same again.
  std::vector<std::uint8_t> view_;
  double view_x_ = 0, view_y_ = 0, view_heading_ = 0;
  int view_w_ = 0, view_h_ = 0;
};

}  // namespace tsim
