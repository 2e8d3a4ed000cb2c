// Interface of a video device model: what the device shows. It lists and offers frame sizes, says
// when its frames fall due and renders each one; the video node it sits behind (sim/video_node.h)
// answers the program's requests, keeps the buffers and streams, under the simulator lock.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tsim {

struct FrameSize {
  int width = 0, height = 0;
  bool operator==(const FrameSize &) const = default;
};

// The sizes a device delivers, as a program lists them: each one, or (no `discrete` size) every
// size from `min` to `max` in steps of `step`.
struct FrameSizes {
  std::vector<FrameSize> discrete;
  FrameSize min, max, step;
};

class VideoModel {
 public:
  virtual ~VideoModel() = default;
  // The sensor's whole frame: the size a node starts with, and the bounds of cropping. {0, 0}:
  // nothing answers behind the node, whose every request then fails with ENOTTY.
  virtual FrameSize sensor() const = 0;
  // The size delivered for `asked` (each side at most 65536): the nearest the device offers.
  virtual FrameSize offer(FrameSize asked) const = 0;
  // Every size offer() returns.
  virtual FrameSizes sizes() const = 0;
  // Frames a second: frame k (from 1) falls due k periods after streaming starts. 0: no frame
  // ever comes.
  virtual double rate_hz() const = 0;
  // Frame `sequence` (0 for the first after streaming starts) as planar YUV 4:2:0 in `size`: the
  // luma plane, then the two chroma planes at half the width and height, rows without padding.
  // `yuv` holds width * height * 3 / 2 bytes.
  virtual void render(std::span<std::uint8_t> yuv, FrameSize size, std::uint64_t sequence) = 0;
};

}  // namespace tsim
