// The video node: the V4L2 requests, the buffer queue and streaming, frame timing, and the buffer
// layouts of 32-bit programs.
#include "video_node.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

namespace tsim {

namespace {

constexpr std::uint32_t kPage = 4096;
constexpr int kMinSide = 32;  // of a crop

// A buffer as a 32-bit program passes it, with a 32-bit or a 64-bit time_t: 68 or 80 bytes.
template <class Time>
struct Buffer32 {
  std::uint32_t index, type, bytesused, flags, field;
  alignas(sizeof(Time)) Time tv_sec;
  Time tv_usec;
  v4l2_timecode timecode;
  std::uint32_t sequence, memory, m, length, reserved2, request_fd;
};
using BufferTime32 = Buffer32<std::int32_t>;
using BufferTime64 = Buffer32<std::int64_t>;
static_assert(sizeof(BufferTime32) == 68 && sizeof(BufferTime64) == 80);

// The buffer requests of layout `B`, by the number of the native request.
template <class B>
unsigned long native_request(unsigned long request) {
  switch (request) {
    case _IOWR('V', 9, B):
      return VIDIOC_QUERYBUF;
    case _IOWR('V', 15, B):
      return VIDIOC_QBUF;
    case _IOWR('V', 17, B):
      return VIDIOC_DQBUF;
    case _IOWR('V', 93, B):
      return VIDIOC_PREPARE_BUF;
    default:
      return 0;
  }
}

// Whether the layout `B` differs from the native one (on a 32-bit build, one of them is it).
template <class B>
constexpr bool foreign() {
  return _IOWR('V', 9, B) != VIDIOC_QUERYBUF;
}

template <class B>
v4l2_buffer to_native(const B &b) {
  v4l2_buffer n{};
  n.index = b.index, n.type = b.type, n.bytesused = b.bytesused, n.flags = b.flags;
  n.field = b.field, n.timestamp.tv_sec = static_cast<decltype(n.timestamp.tv_sec)>(b.tv_sec);
  n.timestamp.tv_usec = static_cast<decltype(n.timestamp.tv_usec)>(b.tv_usec);
  n.timecode = b.timecode, n.sequence = b.sequence, n.memory = b.memory, n.m.offset = b.m;
  n.length = b.length, n.reserved2 = b.reserved2, n.request_fd = static_cast<__s32>(b.request_fd);
  return n;
}

template <class B>
void from_native(const v4l2_buffer &n, B &b) {
  b.index = n.index, b.type = n.type, b.bytesused = n.bytesused, b.flags = n.flags;
  b.field = n.field, b.tv_sec = static_cast<decltype(b.tv_sec)>(n.timestamp.tv_sec);
  b.tv_usec = static_cast<decltype(b.tv_usec)>(n.timestamp.tv_usec), b.timecode = n.timecode;
  b.sequence = n.sequence, b.memory = n.memory, b.m = n.m.offset, b.length = n.length;
  b.reserved2 = n.reserved2, b.request_fd = static_cast<std::uint32_t>(n.request_fd);
}

template <std::size_t N>
void put_text(std::uint8_t (&out)[N], const char *text) {
  std::snprintf(reinterpret_cast<char *>(out), N, "%s", text);
}

}  // namespace

const VideoNode::Handler VideoNode::kHandlers[] = {
    {VIDIOC_QUERYCAP, &VideoNode::querycap},
    {VIDIOC_ENUM_FMT, &VideoNode::enum_fmt},
    {VIDIOC_ENUM_FRAMESIZES, &VideoNode::enum_framesizes},
    {VIDIOC_ENUM_FRAMEINTERVALS, &VideoNode::enum_frameintervals},
    {VIDIOC_G_FMT, &VideoNode::g_fmt},
    {VIDIOC_S_FMT, &VideoNode::s_fmt},
    {VIDIOC_TRY_FMT, &VideoNode::try_fmt},
    {VIDIOC_CROPCAP, &VideoNode::cropcap},
    {VIDIOC_G_CROP, &VideoNode::crop},
    {VIDIOC_S_CROP, &VideoNode::crop},
    {VIDIOC_REQBUFS, &VideoNode::reqbufs},
    {VIDIOC_QUERYBUF, &VideoNode::buffer},
    {VIDIOC_QBUF, &VideoNode::buffer},
    {VIDIOC_DQBUF, &VideoNode::dqbuf},
    {VIDIOC_STREAMON, &VideoNode::stream},
    {VIDIOC_STREAMOFF, &VideoNode::stream},
    {VIDIOC_ENUMINPUT, &VideoNode::enuminput},
    {VIDIOC_G_INPUT, &VideoNode::input},
    {VIDIOC_S_INPUT, &VideoNode::input},
    {VIDIOC_G_PARM, &VideoNode::g_parm},
};

VideoNode::VideoNode(const ModelEntry &entry, std::function<std::uint64_t()> now_us,
                     std::unique_ptr<VideoModel> model)
    : now_us_(std::move(now_us)),
      model_(std::move(model)),
      sensor_(model_->sensor()),
      rate_hz_(model_->rate_hz()),
      max_buffers_(static_cast<unsigned>(entry.params.integer("buffers"))),
      capture_(entry.params.boolean("capture")),
      streaming_cap_(entry.params.boolean("streaming")),
      querycap_errno_(static_cast<int>(entry.params.integer("querycap_errno"))),
      format_errno_(static_cast<int>(entry.params.integer("format_errno"))),
      pipes_status_(static_cast<int>(entry.params.integer("pipes_status"))),
      formats_status_(static_cast<int>(entry.params.integer("formats_status"))),
      size_(sensor_.width ? model_->offer(sensor_) : sensor_),
      crop_{0, 0, sensor_.width, sensor_.height} {}

VideoNode::~VideoNode() = default;

// ---- requests -----------------------------------------------------------------------------------

bool VideoNode::waits(unsigned long request) {
  return request == VIDIOC_DQBUF || native_request<BufferTime32>(request) == VIDIOC_DQBUF ||
         native_request<BufferTime64>(request) == VIDIOC_DQBUF;
}

int VideoNode::ioctl(unsigned long request, void *arg, File file, const Seen &seen) {
  const Call c{request, arg, file};
  if (arg && foreign<BufferTime32>())
    if (const unsigned long n = native_request<BufferTime32>(request))
      return buffer_layout<BufferTime32>(n, c, seen);
  if (arg && foreign<BufferTime64>())
    if (const unsigned long n = native_request<BufferTime64>(request))
      return buffer_layout<BufferTime64>(n, c, seen);
  return native(c, seen);
}

template <class Layout>
int VideoNode::buffer_layout(unsigned long request, const Call &c, const Seen &seen) {
  auto &b = *static_cast<Layout *>(c.arg);
  v4l2_buffer n = to_native(b);
  const int err = native({request, &n, c.file}, seen);
  from_native(n, b);
  return err;
}

int VideoNode::native(const Call &c, const Seen &seen) {
  alignas(8) unsigned char before[256] = {};
  if (seen && c.arg && _IOC_SIZE(c.request) <= sizeof before)
    std::memcpy(before, c.arg, _IOC_SIZE(c.request));
  int err = ENOTTY;
  const auto h = std::find_if(std::begin(kHandlers), std::end(kHandlers),
                              [&](const Handler &x) { return x.request == c.request; });
  if (sensor_.width && h != std::end(kHandlers)) err = c.arg ? (this->*h->fn)(c) : EFAULT;
  if (seen) seen(c.request, before, c.arg ? c.arg : before, err);
  return err;
}

int VideoNode::querycap(const Call &c) {
  if (querycap_errno_) return querycap_errno_;
  auto *cap = static_cast<v4l2_capability *>(c.arg);
  std::memset(cap, 0, sizeof *cap);
  put_text(cap->driver, "tsim-camera");
  put_text(cap->card, "Tarsa4 camera");
  put_text(cap->bus_info, "platform:tarsa4-camera");
  cap->version = (6u << 16) | (1u << 8);
  cap->device_caps =
      (capture_ ? V4L2_CAP_VIDEO_CAPTURE : 0u) | (streaming_cap_ ? V4L2_CAP_STREAMING : 0u);
  cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
  return 0;
}

int VideoNode::enum_fmt(const Call &c) {
  auto *f = static_cast<v4l2_fmtdesc *>(c.arg);
  if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || f->index != 0) return EINVAL;
  const std::uint32_t index = f->index, type = f->type;
  std::memset(f, 0, sizeof *f);
  f->index = index;
  f->type = type;
  f->pixelformat = V4L2_PIX_FMT_YUV420;
  put_text(f->description, "Planar YUV 4:2:0");
  return 0;
}

int VideoNode::enum_framesizes(const Call &c) {
  auto *f = static_cast<v4l2_frmsizeenum *>(c.arg);
  if (f->pixel_format != V4L2_PIX_FMT_YUV420) return EINVAL;
  const FrameSizes sizes = model_->sizes();
  const std::uint32_t index = f->index;
  if (index >= (sizes.discrete.empty() ? 1 : sizes.discrete.size())) return EINVAL;
  std::memset(f, 0, sizeof *f);
  f->index = index;
  f->pixel_format = V4L2_PIX_FMT_YUV420;
  auto u = [](int v) { return static_cast<std::uint32_t>(v); };
  if (!sizes.discrete.empty()) {
    f->type = V4L2_FRMSIZE_TYPE_DISCRETE;
    f->discrete = {u(sizes.discrete[index].width), u(sizes.discrete[index].height)};
  } else {
    f->type = V4L2_FRMSIZE_TYPE_STEPWISE;
    f->stepwise = {u(sizes.min.width),  u(sizes.max.width),  u(sizes.step.width),
                   u(sizes.min.height), u(sizes.max.height), u(sizes.step.height)};
  }
  return 0;
}

int VideoNode::enum_frameintervals(const Call &c) {
  auto *f = static_cast<v4l2_frmivalenum *>(c.arg);
  if (f->pixel_format != V4L2_PIX_FMT_YUV420 || f->index != 0 || rate_hz_ <= 0) return EINVAL;
  const FrameSize size{static_cast<int>(std::min<std::uint32_t>(f->width, 1 << 16)),
                       static_cast<int>(std::min<std::uint32_t>(f->height, 1 << 16))};
  if (model_->offer(size) != size) return EINVAL;
  const std::uint32_t width = f->width, height = f->height;
  std::memset(f, 0, sizeof *f);
  f->pixel_format = V4L2_PIX_FMT_YUV420;
  f->width = width;
  f->height = height;
  f->type = V4L2_FRMIVAL_TYPE_DISCRETE;
  f->discrete = {1000, static_cast<std::uint32_t>(std::lround(rate_hz_ * 1000))};
  return 0;
}

int VideoNode::g_fmt(const Call &c) {
  auto *f = static_cast<v4l2_format *>(c.arg);
  if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
  f->fmt.pix.width = static_cast<std::uint32_t>(size_.width);
  f->fmt.pix.height = static_cast<std::uint32_t>(size_.height);
  return set_format(c.arg, false);
}

int VideoNode::s_fmt(const Call &c) {
  return set_format(c.arg, true);
}

int VideoNode::try_fmt(const Call &c) {
  return set_format(c.arg, false);
}

int VideoNode::set_format(void *arg, bool apply) {
  auto *f = static_cast<v4l2_format *>(arg);
  if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
  if (apply && !buffers_.empty()) return EBUSY;
  if (apply && format_errno_) return format_errno_;
  auto &pix = f->fmt.pix;
  const FrameSize size =
      model_->offer({static_cast<int>(std::min<std::uint32_t>(pix.width, 1 << 16)),
                     static_cast<int>(std::min<std::uint32_t>(pix.height, 1 << 16))});
  std::memset(&f->fmt, 0, sizeof f->fmt);
  pix.width = static_cast<std::uint32_t>(size.width);
  pix.height = static_cast<std::uint32_t>(size.height);
  pix.pixelformat = V4L2_PIX_FMT_YUV420;
  pix.field = V4L2_FIELD_NONE;
  pix.bytesperline = pix.width;
  pix.sizeimage = pix.width * pix.height * 3 / 2;
  pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
  if (apply) size_ = size;
  return 0;
}

int VideoNode::cropcap(const Call &c) {
  auto *cap = static_cast<v4l2_cropcap *>(c.arg);
  if (cap->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
  cap->bounds = {0, 0, static_cast<std::uint32_t>(sensor_.width),
                 static_cast<std::uint32_t>(sensor_.height)};
  cap->defrect = cap->bounds;
  cap->pixelaspect = {1, 1};
  return 0;
}

int VideoNode::crop(const Call &c) {
  auto *cr = static_cast<v4l2_crop *>(c.arg);
  if (cr->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
  if (c.request == VIDIOC_S_CROP) {
    const int w = sensor_.width, h = sensor_.height;
    crop_[0] = std::clamp(cr->c.left, 0, w - kMinSide);
    crop_[1] = std::clamp(cr->c.top, 0, h - kMinSide);
    crop_[2] = static_cast<std::int32_t>(
        std::clamp<std::uint32_t>(cr->c.width, kMinSide, static_cast<std::uint32_t>(w - crop_[0])));
    crop_[3] = static_cast<std::int32_t>(std::clamp<std::uint32_t>(
        cr->c.height, kMinSide, static_cast<std::uint32_t>(h - crop_[1])));
  }
  cr->c = {crop_[0], crop_[1], static_cast<std::uint32_t>(crop_[2]),
           static_cast<std::uint32_t>(crop_[3])};
  return 0;
}

int VideoNode::enuminput(const Call &c) {
  auto *in = static_cast<v4l2_input *>(c.arg);
  if (in->index != 0) return EINVAL;
  std::memset(in, 0, sizeof *in);
  put_text(in->name, "Camera");
  in->type = V4L2_INPUT_TYPE_CAMERA;
  return 0;
}

int VideoNode::input(const Call &c) {
  auto *in = static_cast<int *>(c.arg);
  if (c.request == VIDIOC_S_INPUT) return *in == 0 ? 0 : EINVAL;
  *in = 0;
  return 0;
}

int VideoNode::g_parm(const Call &c) {
  auto *p = static_cast<v4l2_streamparm *>(c.arg);
  if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
  std::memset(&p->parm, 0, sizeof p->parm);
  p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
  p->parm.capture.timeperframe = {1000, static_cast<std::uint32_t>(std::lround(rate_hz_ * 1000))};
  p->parm.capture.readbuffers = max_buffers_;
  return 0;
}

// ---- the buffer queue ---------------------------------------------------------------------------

std::uint32_t VideoNode::frame_bytes() const {
  return static_cast<std::uint32_t>(size_.width * size_.height * 3 / 2);
}

std::uint32_t VideoNode::buffer_span() const {
  return (frame_bytes() + kPage - 1) / kPage * kPage;
}

bool VideoNode::any_queued() const {
  return std::any_of(buffers_.begin(), buffers_.end(), [](const Buffer &b) { return b.queued; });
}

void VideoNode::free_queue() {
  streaming_ = false;
  buffers_.clear();
  owner_ = nullptr;
}

int VideoNode::reqbufs(const Call &c) {
  auto *r = static_cast<v4l2_requestbuffers *>(c.arg);
  if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP) return EINVAL;
  if (streaming_) return EBUSY;
  if (std::any_of(buffers_.begin(), buffers_.end(),
                  [](const Buffer &b) { return b.mem != nullptr; }))
    return EBUSY;
  r->count = std::min(r->count, max_buffers_);
  buffers_.assign(r->count, Buffer{});
  owner_ = r->count ? c.file : nullptr;
#ifdef V4L2_BUF_CAP_SUPPORTS_MMAP
  r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
#endif
  return 0;
}

void VideoNode::fill_buffer(void *arg, std::uint32_t index) const {
  auto *b = static_cast<v4l2_buffer *>(arg);
  const Buffer &buf = buffers_[index];
  std::memset(b, 0, sizeof *b);
  b->index = index;
  b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b->memory = V4L2_MEMORY_MMAP;
  b->length = frame_bytes();
  b->m.offset = index * buffer_span();
  b->bytesused = buf.bytesused;
  b->field = V4L2_FIELD_NONE;
  b->sequence = buf.sequence;
  b->timestamp.tv_sec = static_cast<decltype(b->timestamp.tv_sec)>(buf.stamp_us / 1000000);
  b->timestamp.tv_usec = static_cast<decltype(b->timestamp.tv_usec)>(buf.stamp_us % 1000000);
  b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (buf.mem ? V4L2_BUF_FLAG_MAPPED : 0) |
             (buf.queued ? V4L2_BUF_FLAG_QUEUED : 0);
}

int VideoNode::buffer(const Call &c) {
  auto *b = static_cast<v4l2_buffer *>(c.arg);
  if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->index >= buffers_.size()) return EINVAL;
  if (c.request == VIDIOC_QBUF) {
    Buffer &buf = buffers_[b->index];
    if (b->memory != V4L2_MEMORY_MMAP || buf.queued) return EINVAL;
    buf.queued = true;
    buf.order = ++queued_;
  }
  fill_buffer(c.arg, b->index);
  return 0;
}

int VideoNode::dqbuf(const Call &c) {
  auto *b = static_cast<v4l2_buffer *>(c.arg);
  if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP || !streaming_)
    return EINVAL;
  const std::uint64_t due = frames_due(now_us_());
  auto first = buffers_.end();  // the one queued first
  for (auto it = buffers_.begin(); it != buffers_.end(); ++it)
    if (it->queued && (first == buffers_.end() || it->order < first->order)) first = it;
  if (first == buffers_.end() || due <= delivered_) return EAGAIN;
  delivered_ = due;
  first->queued = false;
  first->sequence = static_cast<std::uint32_t>(due - 1);
  first->bytesused = frame_bytes();
  first->stamp_us =
      start_us_ + static_cast<std::uint64_t>(static_cast<double>(due) * 1e6 / rate_hz_);
  if (first->mem) model_->render({first->mem, frame_bytes()}, size_, due - 1);
  fill_buffer(c.arg, static_cast<std::uint32_t>(first - buffers_.begin()));
  return 0;
}

int VideoNode::stream(const Call &c) {
  if (*static_cast<int *>(c.arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
  if (c.request == VIDIOC_STREAMOFF) {
    streaming_ = false;
    for (Buffer &b : buffers_) b.queued = false;
    return 0;
  }
  if (buffers_.empty()) return EINVAL;
  if (!streaming_) {
    streaming_ = true;
    start_us_ = now_us_();
    delivered_ = 0;
  }
  return 0;
}

// ---- mappings, reads, files and frame timing ----------------------------------------------------

long VideoNode::read(std::span<std::uint8_t>) {
  return -EINVAL;
}

int VideoNode::mapped(std::uint64_t offset, std::span<std::uint8_t> mem) {
  if (!sensor_.width) return ENODEV;
  const std::uint32_t span = buffer_span();
  if (offset % span != 0 || offset / span >= buffers_.size() || mem.size() < frame_bytes())
    return EINVAL;
  buffers_[offset / span].mem = mem.data();
  return 0;
}

void VideoNode::unmapped(std::span<std::uint8_t> mem) {
  for (Buffer &b : buffers_)
    if (b.mem == mem.data()) b.mem = nullptr;
}

void VideoNode::closed(File file) {
  if (file == owner_) free_queue();
}

std::uint64_t VideoNode::frames_due(std::uint64_t now_us) const {
  if (!streaming_ || rate_hz_ <= 0 || now_us < start_us_) return 0;
  return static_cast<std::uint64_t>(static_cast<double>(now_us - start_us_) * rate_hz_ / 1e6);
}

bool VideoNode::readable() {
  if (!sensor_.width) return true;
  return any_queued() && frames_due(now_us_()) > delivered_;
}

std::uint64_t VideoNode::next_frame_us(std::uint64_t now_us) {
  if (!streaming_ || rate_hz_ <= 0 || !any_queued() || readable()) return kNever;
  const double due =
      static_cast<double>(start_us_) + static_cast<double>(delivered_ + 1) * 1e6 / rate_hz_;
  return std::max(now_us, static_cast<std::uint64_t>(std::ceil(due)));
}

int VideoNode::media_script(const std::string &name, std::span<const std::string> args) const {
  if (!sensor_.width) return -1;
  if (name == "media-pipes.sh") return pipes_status_;
  if (name == "media-formats.sh") {
    // The pipeline is set up for a width and a height, each a decimal number.
    if (args.size() != 2) return 2;
    for (const std::string &a : args)
      if (a.empty() || a.find_first_not_of("0123456789") != std::string::npos) return 2;
    return formats_status_;
  }
  return -1;
}

}  // namespace tsim
