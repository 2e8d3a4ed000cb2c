// The simulated camera driven directly through its video node: the kernel's answers to requests
// out of turn, sizes granted, frame timing, both buffer layouts of a 32-bit board, what closing
// the file does, and the rendered view.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <string>
#include <vector>

#include "board.h"
#include "models/camera.h"
#include "scenario.h"
#include "shm.h"
#include "testutil.h"
#include "video_node.h"

namespace {

using tsim::Board;

struct Rig {
  explicit Rig(const std::string &keys)
      : shm(tsim::shm_anonymous()),
        board(tsim::parse_scenario(
                  "seed = 3\n[[video.device]]\nnode = \"/dev/video6\"\nmodel = \"camera\"\n" + keys,
                  "t.toml"),
              *shm, true),
        cam(*board.video_node("/dev/video6")),
        model(dynamic_cast<tsim::CameraModel &>(cam.model())) {}
  ~Rig() { munmap(shm, sizeof *shm); }
  int fmt(unsigned long req, std::uint32_t w, std::uint32_t h, v4l2_format *f) {
    *f = {};
    f->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f->fmt.pix.width = w;
    f->fmt.pix.height = h;
    f->fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;
    return cam.ioctl(req, f, this);
  }
  int reqbufs(std::uint32_t count, std::uint32_t memory = V4L2_MEMORY_MMAP) {
    v4l2_requestbuffers r{};
    r.count = count;
    r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    r.memory = memory;
    const int err = cam.ioctl(VIDIOC_REQBUFS, &r, this);
    return err ? -err : static_cast<int>(r.count);
  }
  int buf(unsigned long req, std::uint32_t index, v4l2_buffer *b) {
    *b = {};
    b->index = index;
    b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b->memory = V4L2_MEMORY_MMAP;
    return cam.ioctl(req, b, this);
  }
  int stream(unsigned long req) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return cam.ioctl(req, &type, this);
  }
  tsim::SharedState *shm;
  Board board;
  tsim::VideoNode &cam;
  tsim::CameraModel &model;
};

TEST(SimCamera, SizesAreTheNearestListedAndOnlyYuv420) {
  Rig rig("sizes = \"640x480,320x240\"");
  v4l2_format f;
  ASSERT_EQ(rig.fmt(VIDIOC_TRY_FMT, 752, 480, &f), 0);
  EXPECT_EQ(f.fmt.pix.width, 640u);
  EXPECT_EQ(f.fmt.pix.pixelformat, static_cast<std::uint32_t>(V4L2_PIX_FMT_YUV420));
  EXPECT_EQ(f.fmt.pix.sizeimage, 640u * 480 * 3 / 2);
  ASSERT_EQ(rig.fmt(VIDIOC_S_FMT, 400, 200, &f), 0);
  EXPECT_EQ(f.fmt.pix.width * 1000 + f.fmt.pix.height, 320240u);
  // Progressive frames, whatever field is asked.
  f.fmt.pix.field = V4L2_FIELD_INTERLACED;
  ASSERT_EQ(rig.cam.ioctl(VIDIOC_S_FMT, &f, &rig), 0);
  EXPECT_EQ(f.fmt.pix.field, static_cast<std::uint32_t>(V4L2_FIELD_NONE));
  // The listed sizes, each with the rate's interval; none past them, none for another size.
  v4l2_frmsizeenum fs{};
  fs.pixel_format = V4L2_PIX_FMT_YUV420;
  fs.index = 1;
  ASSERT_EQ(rig.cam.ioctl(VIDIOC_ENUM_FRAMESIZES, &fs, &rig), 0);
  EXPECT_EQ(fs.type, static_cast<std::uint32_t>(V4L2_FRMSIZE_TYPE_DISCRETE));
  EXPECT_EQ(fs.discrete.width * 1000 + fs.discrete.height, 320240u);
  fs.index = 2;
  EXPECT_EQ(rig.cam.ioctl(VIDIOC_ENUM_FRAMESIZES, &fs, &rig), EINVAL);
  v4l2_frmivalenum fi{};
  fi.pixel_format = V4L2_PIX_FMT_YUV420;
  fi.width = 640;
  fi.height = 480;
  ASSERT_EQ(rig.cam.ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &fi, &rig), 0);
  EXPECT_EQ(fi.discrete.numerator * 1000000 + fi.discrete.denominator, 1000030000u);
  fi.width = 400;
  EXPECT_EQ(rig.cam.ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &fi, &rig), EINVAL);

  Rig any("");
  ASSERT_EQ(any.fmt(VIDIOC_TRY_FMT, 5000, 101, &f), 0);
  EXPECT_EQ(f.fmt.pix.width * 1000 + f.fmt.pix.height, 752100u);
  std::string err;
  try {
    Rig bad("sizes = \"640x481\"");
  } catch (const std::exception &e) {
    err = e.what();
  }
  EXPECT_NE(err.find("t.toml:5:"), std::string::npos) << err;
}

TEST(SimCamera, RequestsOutOfTurnGetTheKernelsErrors) {
  Rig rig("buffers = 3");
  v4l2_format f;
  v4l2_buffer b;
  EXPECT_EQ(rig.stream(VIDIOC_STREAMON), EINVAL);  // no buffers
  EXPECT_EQ(rig.reqbufs(2, V4L2_MEMORY_USERPTR), -EINVAL);
  EXPECT_EQ(rig.reqbufs(8), 3);
  EXPECT_EQ(rig.fmt(VIDIOC_S_FMT, 320, 240, &f), EBUSY);
  EXPECT_EQ(rig.buf(VIDIOC_QUERYBUF, 3, &b), EINVAL);
  ASSERT_EQ(rig.buf(VIDIOC_QUERYBUF, 1, &b), 0);
  std::vector<std::uint8_t> mem(b.length);
  EXPECT_EQ(rig.cam.mapped(b.m.offset + 1, mem), EINVAL);
  ASSERT_EQ(rig.cam.mapped(b.m.offset, mem), 0);
  EXPECT_EQ(rig.reqbufs(0), -EBUSY);                // still mapped
  EXPECT_EQ(rig.buf(VIDIOC_DQBUF, 0, &b), EINVAL);  // not streaming
  ASSERT_EQ(rig.buf(VIDIOC_QBUF, 1, &b), 0);
  EXPECT_EQ(rig.buf(VIDIOC_QBUF, 1, &b), EINVAL);  // already queued
  const std::uint64_t t0 = rig.board.now_us();
  ASSERT_EQ(rig.stream(VIDIOC_STREAMON), 0);
  EXPECT_EQ(rig.reqbufs(2), -EBUSY);
  // The first frame falls due one period (1/30 s) after STREAMON; until then nothing to take.
  const std::uint64_t due = rig.cam.next_frame_us(rig.board.now_us());
  EXPECT_GE(due, t0 + 33333);
  EXPECT_LE(due, rig.board.now_us() + 33334);
  if (!rig.cam.readable()) {
    EXPECT_EQ(rig.buf(VIDIOC_DQBUF, 0, &b), EAGAIN);
  }
  EXPECT_TRUE(testutil::eventually([&] { return rig.cam.readable(); }, 1.0));
  EXPECT_GE(rig.board.now_us(), due);
  EXPECT_EQ(rig.cam.next_frame_us(rig.board.now_us()), tsim::VideoNode::kNever);
  ASSERT_EQ(rig.buf(VIDIOC_DQBUF, 0, &b), 0);
  EXPECT_EQ(b.index, 1u);
  EXPECT_EQ(b.bytesused, 752u * 480 * 3 / 2);
  EXPECT_NE(mem[0], 0);  // the frame is in the mapping
  EXPECT_EQ(rig.cam.next_frame_us(rig.board.now_us()), tsim::VideoNode::kNever);  // none queued
  ASSERT_EQ(rig.buf(VIDIOC_QBUF, 1, &b), 0);
  ASSERT_EQ(rig.stream(VIDIOC_STREAMOFF), 0);
  EXPECT_EQ(rig.buf(VIDIOC_QUERYBUF, 1, &b), 0);
  EXPECT_EQ(b.flags & V4L2_BUF_FLAG_QUEUED, 0u);  // taken back
  rig.cam.unmapped(mem);
  EXPECT_EQ(rig.reqbufs(0), 0);
}

TEST(SimCamera, TheViewDependsOnPoseAndSeedOnly) {
  std::vector<std::uint8_t> a(752 * 480 * 3 / 2), b(a.size()), c(a.size());
  Rig one(""), two("");
  one.model.render(a, {752, 480}, 0);
  two.model.render(b, {752, 480}, 0);
  EXPECT_EQ(a, b);
  Rig turned("[world]\nheading = 45.0");
  turned.model.render(c, {752, 480}, 0);
  EXPECT_NE(a, c);
}

// A 32-bit program's buffer, with a 64-bit time_t (80 bytes) or a 32-bit one (68 bytes); on a
// 32-bit board one of them is the node's own layout.
template <class Time>
struct Buffer32 {
  std::uint32_t index, type, bytesused, flags, field;
  alignas(sizeof(Time)) Time sec;
  Time usec;
  std::uint32_t timecode[4], sequence, memory, offset, length, reserved2, request_fd;
};

template <class Time>
void dequeue_in_layout() {
  Rig rig("rate_hz = 1000");
  using B = Buffer32<Time>;
  B b{};
  b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b.memory = V4L2_MEMORY_MMAP;
  b.index = 1;
  ASSERT_EQ(rig.reqbufs(2), 2);
  ASSERT_EQ(rig.cam.ioctl(_IOWR('V', 9, B), &b, &rig), 0);  // QUERYBUF
  EXPECT_EQ(b.length, 752u * 480 * 3 / 2);
  std::vector<std::uint8_t> mem(b.length);
  ASSERT_EQ(rig.cam.mapped(b.offset, mem), 0);
  ASSERT_EQ(rig.cam.ioctl(_IOWR('V', 15, B), &b, &rig), 0);  // QBUF
  ASSERT_EQ(rig.stream(VIDIOC_STREAMON), 0);
  ASSERT_TRUE(testutil::eventually([&] { return rig.cam.readable(); }, 1.0));
  const std::uint64_t now = rig.board.now_us();
  ASSERT_EQ(rig.cam.ioctl(_IOWR('V', 17, B), &b, &rig), 0);  // DQBUF
  EXPECT_EQ(b.index, 1u);
  EXPECT_EQ(b.bytesused, b.length);
  EXPECT_EQ(b.field, static_cast<std::uint32_t>(V4L2_FIELD_NONE));
  const auto stamp =
      static_cast<std::uint64_t>(b.sec) * 1000000 + static_cast<std::uint64_t>(b.usec);
  EXPECT_GT(stamp, 0u);
  EXPECT_LE(stamp, now);
  EXPECT_NE(mem[0], 0);
  rig.cam.unmapped(mem);
}

TEST(SimCamera, BufferRequestsOfBothTimeLayouts) {
  dequeue_in_layout<std::int32_t>();
  dequeue_in_layout<std::int64_t>();
}

TEST(SimCamera, TheLastCloseOfTheOwnerFreesTheQueue) {
  Rig rig("");
  v4l2_format f;
  v4l2_buffer b;
  ASSERT_EQ(rig.reqbufs(2), 2);
  ASSERT_EQ(rig.buf(VIDIOC_QBUF, 0, &b), 0);
  ASSERT_EQ(rig.stream(VIDIOC_STREAMON), 0);
  int other = 0;
  rig.cam.closed(&other);  // another file: nothing changes
  EXPECT_EQ(rig.fmt(VIDIOC_S_FMT, 320, 240, &f), EBUSY);
  rig.cam.closed(&rig);
  EXPECT_FALSE(rig.cam.readable());
  EXPECT_EQ(rig.buf(VIDIOC_DQBUF, 0, &b), EINVAL);  // not streaming
  EXPECT_EQ(rig.buf(VIDIOC_QUERYBUF, 0, &b), EINVAL);
  EXPECT_EQ(rig.fmt(VIDIOC_S_FMT, 320, 240, &f), 0);
  EXPECT_EQ(rig.reqbufs(3), 3);
}

}  // namespace
