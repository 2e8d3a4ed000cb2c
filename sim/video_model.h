// Interface of a video (V4L2) device model: the requests, reads and buffer mappings a program
// makes on the node, under the simulator lock.
#pragma once

#include <cerrno>
#include <cstdint>
#include <span>

namespace tsim {

class VideoModel {
 public:
  virtual ~VideoModel() = default;
  // A request on the node (VIDIOC_...), `arg` as the program passed it: 0 or an errno value.
  virtual int ioctl(unsigned long request, void *arg) = 0;
  // read() on the node: the number of bytes put into `out`, or minus an errno value.
  virtual long read(std::span<std::uint8_t> /*out*/) { return -EINVAL; }
  // The program mapped the node at `offset` (a buffer's m.offset); `mem` is that mapping, which
  // the model fills with frames until unmapped() is called with it. 0, or an errno value that
  // fails the mmap.
  virtual int mapped(std::uint64_t /*offset*/, std::span<std::uint8_t> /*mem*/) { return ENODEV; }
  virtual void unmapped(std::span<std::uint8_t> /*mem*/) {}
  // poll and select report the node readable while this holds; asked after every call above.
  virtual bool readable() { return true; }
};

}  // namespace tsim
