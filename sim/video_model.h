// Interface of a video (V4L2) device model: the requests, reads and buffer mappings a program
// makes on the node, under the simulator lock.
#pragma once

#include <cerrno>
#include <cstdint>
#include <span>
#include <string>

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
  // poll and select report the node readable while this holds; asked after every call above,
  // and again at next_frame_us().
  virtual bool readable() { return true; }
  // When readable() turns true by time alone (the next frame falls due), or kNever: already
  // readable, or only a call can make it so. A program waiting on the node wakes then.
  static constexpr std::uint64_t kNever = UINT64_MAX;
  virtual std::uint64_t next_frame_us(std::uint64_t /*now_us*/) { return kNever; }
  // The board's media pipeline script `name` ran with `args`: its exit status, or -1 when this
  // device has no say in it.
  virtual int media_script(const std::string & /*name*/, std::span<const std::string> /*args*/) {
    return -1;
  }
};

}  // namespace tsim
