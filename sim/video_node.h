// A video capture node, run as the kernel's video buffer framework runs one: the formats (planar
// YUV 4:2:0 in the sizes its model offers), cropping, the queue of memory-mapped buffers,
// streaming and frame timing, and what closing a file does. The pictures come from the node's
// VideoModel. Everything is called under the simulator lock.
//
// Requests and their answers:
//   QUERYCAP           driver "tsim-camera"; capture and streaming as the keys say; the
//                      scenario can refuse it (`querycap_errno`)
//   ENUM_FMT           one format, YUV420, for the capture type; EINVAL past it
//   ENUM_FRAMESIZES    for YUV420, the model's sizes: each one (discrete), or one stepwise range
//   ENUM_FRAMEINTERVALS  for YUV420 and a size the model delivers: one interval, the model's rate
//   G/S/TRY_FMT        YUV420 only (any other pixel format is replaced by it); the size the
//                      model offers for the size asked; progressive frames (field NONE, whatever
//                      is asked); S_FMT fails with EBUSY while buffers exist, with
//                      `format_errno` when set
//   CROPCAP, G/S_CROP  the model's whole sensor; S_CROP clamps into it
//   REQBUFS            MMAP only (EINVAL otherwise); grants at most `buffers`; 0 frees them;
//                      EBUSY while streaming or while a buffer is still mapped
//   QUERYBUF/QBUF      index below the count, else EINVAL; QBUF of a queued buffer: EINVAL
//   DQBUF              the oldest queued buffer holding the newest frame due; EAGAIN while no
//                      frame is due or nothing is queued; EINVAL when not streaming
//   STREAMON/OFF       EINVAL without buffers; STREAMOFF takes back every queued buffer
//   ENUMINPUT, G/S_INPUT, G_PARM   one camera input; the frame interval of the model's rate
// anything else gives ENOTTY. A reader that is late gets the newest frame (frames in between are
// dropped, as the sequence numbers show). Buffer requests come in the layout of the simulator's
// own build and in both layouts of a 32-bit board, with 32- and with 64-bit time_t.
//
// The last close of the file that requested the buffers stops streaming and frees the queue, as
// the kernel does; the program's mappings stay its memory, no longer filled.
//
// The stand-ins of the board's media pipeline scripts ask the node for their exit status
// (`pipes_status`, `formats_status`).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "model_entry.h"
#include "video_model.h"

namespace tsim {

class VideoNode {
 public:
  // Keys of every [[video.device]] entry, beside those of its model.
  static constexpr std::array kKeys{
      Key{"buffers", Key::Type::integer, 0, 32, 4, "most buffers granted"},
      Key{.name = "capture",
          .type = Key::Type::boolean,
          .def = true,
          .doc = "the node has the capture capability"},
      Key{.name = "streaming",
          .type = Key::Type::boolean,
          .def = true,
          .doc = "the node has the streaming capability"},
      Key{"querycap_errno", Key::Type::integer, 0, 4095, 0, "QUERYCAP fails with it (0: no)"},
      Key{"format_errno", Key::Type::integer, 0, 4095, 0, "S_FMT fails with it (0: no)"},
      Key{"pipes_status", Key::Type::integer, 0, 255, 0, "exit status of media-pipes.sh"},
      Key{"formats_status", Key::Type::integer, 0, 255, 0, "exit status of media-formats.sh"},
  };

  // An open file of the node, as the caller tells them apart.
  using File = const void *;
  // Told of each request as the node's own build lays it out: the argument before and after.
  using Seen =
      std::function<void(unsigned long request, const void *before, const void *after, int err)>;
  static constexpr std::uint64_t kNever = UINT64_MAX;

  // `now_us` is the board's clock (Board::now_us()).
  VideoNode(const ModelEntry &entry, std::function<std::uint64_t()> now_us,
            std::unique_ptr<VideoModel> model);
  ~VideoNode();

  VideoModel &model() { return *model_; }

  // A request (VIDIOC_...) through `file`, `arg` as the program passed it: 0 or an errno value.
  int ioctl(unsigned long request, void *arg, File file, const Seen &seen = nullptr);
  // Whether `request` waits for a frame on a blocking descriptor (DQBUF, in any layout).
  static bool waits(unsigned long request);
  // read() on the node: minus an errno value (the node streams only).
  long read(std::span<std::uint8_t> out);
  // The program mapped the node at `offset` (a buffer's m.offset); `mem` is that mapping, which
  // the node fills with frames until unmapped() is called with it. 0, or an errno value that
  // fails the mmap.
  int mapped(std::uint64_t offset, std::span<std::uint8_t> mem);
  void unmapped(std::span<std::uint8_t> mem);
  // The last descriptor of `file` is closed.
  void closed(File file);
  // poll and select report the node readable while this holds.
  bool readable();
  // When readable() turns true by time alone (the next frame falls due), or kNever: already
  // readable, or only a call can make it so.
  std::uint64_t next_frame_us(std::uint64_t now_us);
  // The board's media pipeline script `name` ran with `args`: its exit status, or -1 when this
  // node has no say in it.
  int media_script(const std::string &name, std::span<const std::string> args) const;

 private:
  struct Buffer {
    std::uint8_t *mem = nullptr;  // the program's mapping, while it has one
    bool queued = false;
    std::uint32_t sequence = 0, bytesused = 0;
    std::uint64_t stamp_us = 0;
    std::uint64_t order = 0;  // when it was queued, counted in QBUF requests
  };
  struct Call {
    unsigned long request;
    void *arg;
    File file;
  };
  struct Handler {
    unsigned long request;
    int (VideoNode::*fn)(const Call &);
  };
  static const Handler kHandlers[];

  int native(const Call &c, const Seen &seen);
  template <class Layout>
  int buffer_layout(unsigned long request, const Call &c, const Seen &seen);

  int querycap(const Call &c);
  int enum_fmt(const Call &c);
  int enum_framesizes(const Call &c);
  int enum_frameintervals(const Call &c);
  int g_fmt(const Call &c);
  int s_fmt(const Call &c);
  int try_fmt(const Call &c);
  int cropcap(const Call &c);
  int crop(const Call &c);
  int reqbufs(const Call &c);
  int buffer(const Call &c);  // QUERYBUF and QBUF
  int dqbuf(const Call &c);
  int stream(const Call &c);  // STREAMON and STREAMOFF
  int enuminput(const Call &c);
  int input(const Call &c);  // G_INPUT and S_INPUT
  int g_parm(const Call &c);

  int set_format(void *arg, bool apply);
  void fill_buffer(void *arg, std::uint32_t index) const;
  void free_queue();
  bool any_queued() const;
  // Frames due since STREAMON by `now_us` (frame k falls due at start + k periods).
  std::uint64_t frames_due(std::uint64_t now_us) const;
  std::uint32_t frame_bytes() const;
  std::uint32_t buffer_span() const;

  std::function<std::uint64_t()> now_us_;
  std::unique_ptr<VideoModel> model_;
  FrameSize sensor_;
  double rate_hz_;
  unsigned max_buffers_;
  bool capture_, streaming_cap_;
  int querycap_errno_, format_errno_, pipes_status_, formats_status_;

  FrameSize size_;
  std::array<std::int32_t, 4> crop_;
  std::vector<Buffer> buffers_;
  File owner_ = nullptr;  // the file that requested the buffers
  bool streaming_ = false;
  std::uint64_t start_us_ = 0, delivered_ = 0;  // frames handed out since STREAMON
  std::uint64_t queued_ = 0;                    // QBUF requests so far
};

}  // namespace tsim
