// The board's camera: V4L2 requests, buffer queue, frame timing and the view of the world.
#include "camera.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <tuple>

#include "../board.h"
#include "../registry.h"
#include "../world.h"

namespace tsim {

namespace {

constexpr std::uint32_t kPage = 4096;
constexpr int kMinSide = 32;
constexpr double kWallHeight = 600.0;  // mm: the room's walls are partitions
constexpr double kCeiling = 2500.0;    // mm, where no landmark says otherwise
constexpr double kLandmarkRadius = 120.0;
constexpr double kFar = 20000.0;

struct Rgb {
  double r, g, b;
};

std::uint8_t byte(double v) {
  return static_cast<std::uint8_t>(std::clamp(v + 0.5, 0.0, 255.0));
}

// The conversion the board's sensor uses (BT.601, full range), rounded.
void put_yuv(std::uint8_t *yuv, int w, int h, int x, int y, Rgb c) {
  const double Y = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
  yuv[y * w + x] = byte(Y);
  if ((x | y) & 1) return;  // one chroma sample per 2 x 2 block, from its top left pixel
  const std::size_t k = static_cast<std::size_t>((y / 2) * (w / 2) + x / 2);
  const std::size_t plane = static_cast<std::size_t>(w) * h;
  yuv[plane + k] = byte(128 + 0.564 * (c.b - Y));
  yuv[plane + plane / 4 + k] = byte(128 + 0.713 * (c.r - Y));
}

// A deterministic value in [0, 1) for a tile and the seed.
double noise(std::uint64_t seed, std::int64_t a, std::int64_t b) {
  std::uint64_t z = seed * 0x9E3779B97F4A7C15ULL ^
                    static_cast<std::uint64_t>(a) * 0xBF58476D1CE4E5B9ULL ^
                    static_cast<std::uint64_t>(b) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  z *= 0xD6E8FEB86645A5D3ULL;
  z ^= z >> 29;
  return static_cast<double>(z >> 11) / 9007199254740992.0;
}

Rgb shade(Rgb c, double f) {
  return {c.r * f, c.g * f, c.b * f};
}

// Parses "WxH,WxH"; false on anything else.
bool parse_sizes(const std::string &text, std::vector<std::pair<int, int>> *out) {
  const char *p = text.c_str();
  while (*p) {
    char *end;
    const long w = std::strtol(p, &end, 10);
    if (end == p || *end != 'x') return false;
    p = end + 1;
    const long h = std::strtol(p, &end, 10);
    if (end == p || w < kMinSide || h < kMinSide || w > CameraModel::kSensorWidth ||
        h > CameraModel::kSensorHeight || (w | h) & 1)
      return false;
    out->emplace_back(static_cast<int>(w), static_cast<int>(h));
    p = end;
    if (*p == ',')
      ++p;
    else if (*p)
      return false;
  }
  return !out->empty();
}

}  // namespace

CameraModel::CameraModel(const ModelEntry &entry, Board &board)
    : board_(board),
      world_(World::attach(board)),
      seed_(board.seed()),
      rate_hz_(entry.params.number("rate_hz", 30)),
      fov_deg_(entry.params.number("fov_deg", 70)),
      height_mm_(entry.params.number("height_mm", 150)),
      max_buffers_(static_cast<unsigned>(entry.params.integer("buffers", 4))),
      capture_(entry.params.boolean("capture", true)),
      streaming_cap_(entry.params.boolean("streaming", true)),
      pattern_(entry.params.boolean("pattern", false)),
      querycap_errno_(static_cast<int>(entry.params.integer("querycap_errno", 0))),
      format_errno_(static_cast<int>(entry.params.integer("format_errno", 0))),
      pipes_status_(static_cast<int>(entry.params.integer("pipes_status", 0))),
      formats_status_(static_cast<int>(entry.params.integer("formats_status", 0))),
      noise_(pattern_ ? 0 : static_cast<int>(entry.params.integer("noise", 6))) {
  const std::string sizes = entry.params.string("sizes", "");
  if (!sizes.empty() && !parse_sizes(sizes, &sizes_))
    throw error(entry.params.where("sizes"),
                "sizes: a list of even WxH sizes from 32x32 to 752x480, e.g. \"640x480,320x240\"");
  std::tie(width_, height_) = granted(kSensorWidth, kSensorHeight);
}

std::pair<int, int> CameraModel::granted(int width, int height) const {
  if (sizes_.empty())
    return {std::clamp(width, kMinSide, kSensorWidth) & ~1,
            std::clamp(height, kMinSide, kSensorHeight) & ~1};
  auto cost = [&](const std::pair<int, int> &s) {
    return std::abs(static_cast<long>(s.first) - width) +
           std::abs(static_cast<long>(s.second) - height);
  };
  return *std::min_element(sizes_.begin(), sizes_.end(),
                           [&](const auto &a, const auto &b) { return cost(a) < cost(b); });
}

std::uint32_t CameraModel::buffer_span() const {
  return (frame_bytes() + kPage - 1) / kPage * kPage;
}

std::uint64_t CameraModel::frames_due(std::uint64_t now_us) const {
  if (!streaming_ || rate_hz_ <= 0 || now_us < start_us_) return 0;
  return static_cast<std::uint64_t>(static_cast<double>(now_us - start_us_) * rate_hz_ / 1e6);
}

bool CameraModel::readable() {
  const bool queued =
      std::any_of(buffers_.begin(), buffers_.end(), [](const Buffer &b) { return b.queued; });
  return queued && frames_due(board_.now_us()) > delivered_;
}

std::uint64_t CameraModel::next_frame_us(std::uint64_t now_us) {
  if (!streaming_ || rate_hz_ <= 0 || readable()) return kNever;
  if (std::none_of(buffers_.begin(), buffers_.end(), [](const Buffer &b) { return b.queued; }))
    return kNever;
  const double due =
      static_cast<double>(start_us_) + static_cast<double>(delivered_ + 1) * 1e6 / rate_hz_;
  return std::max(now_us, static_cast<std::uint64_t>(std::ceil(due)));
}

int CameraModel::media_script(const std::string &name, std::span<const std::string> args) {
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

int CameraModel::mapped(std::uint64_t offset, std::span<std::uint8_t> mem) {
  const std::uint32_t span = buffer_span();
  if (offset % span != 0 || offset / span >= buffers_.size() || mem.size() < frame_bytes())
    return EINVAL;
  buffers_[offset / span].mem = mem.data();
  return 0;
}

void CameraModel::unmapped(std::span<std::uint8_t> mem) {
  for (Buffer &b : buffers_)
    if (b.mem == mem.data()) b.mem = nullptr;
}

int CameraModel::set_format(void *arg, bool apply) {
  auto *f = static_cast<v4l2_format *>(arg);
  if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
  if (apply && !buffers_.empty()) return EBUSY;
  if (apply && format_errno_) return format_errno_;
  auto &pix = f->fmt.pix;
  const auto [w, h] = granted(static_cast<int>(std::min<std::uint32_t>(pix.width, 1 << 16)),
                              static_cast<int>(std::min<std::uint32_t>(pix.height, 1 << 16)));
  const std::uint32_t field =
      pix.field == V4L2_FIELD_INTERLACED ? V4L2_FIELD_INTERLACED : V4L2_FIELD_NONE;
  std::memset(&f->fmt, 0, sizeof f->fmt);
  pix.width = static_cast<std::uint32_t>(w);
  pix.height = static_cast<std::uint32_t>(h);
  pix.pixelformat = V4L2_PIX_FMT_YUV420;
  pix.field = field;
  pix.bytesperline = pix.width;
  pix.sizeimage = pix.width * pix.height * 3 / 2;
  pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
  if (apply) {
    width_ = w;
    height_ = h;
    field_ = field;
  }
  return 0;
}

int CameraModel::request_buffers(void *arg) {
  auto *r = static_cast<v4l2_requestbuffers *>(arg);
  if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP) return EINVAL;
  if (streaming_) return EBUSY;
  if (std::any_of(buffers_.begin(), buffers_.end(),
                  [](const Buffer &b) { return b.mem != nullptr; }))
    return EBUSY;
  r->count = std::min(r->count, max_buffers_);
  buffers_.assign(r->count, Buffer{});
#ifdef V4L2_BUF_CAP_SUPPORTS_MMAP
  r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
#endif
  return 0;
}

void CameraModel::fill_buffer(void *arg, std::uint32_t index) const {
  auto *b = static_cast<v4l2_buffer *>(arg);
  const Buffer &buf = buffers_[index];
  std::memset(b, 0, sizeof *b);
  b->index = index;
  b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  b->memory = V4L2_MEMORY_MMAP;
  b->length = frame_bytes();
  b->m.offset = index * buffer_span();
  b->bytesused = buf.bytesused;
  b->field = field_;
  b->sequence = buf.sequence;
  b->timestamp.tv_sec = static_cast<decltype(b->timestamp.tv_sec)>(buf.stamp_us / 1000000);
  b->timestamp.tv_usec = static_cast<decltype(b->timestamp.tv_usec)>(buf.stamp_us % 1000000);
  b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (buf.mem ? V4L2_BUF_FLAG_MAPPED : 0) |
             (buf.queued ? V4L2_BUF_FLAG_QUEUED : 0);
}

int CameraModel::dequeue(void *arg) {
  auto *b = static_cast<v4l2_buffer *>(arg);
  if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP || !streaming_)
    return EINVAL;
  const std::uint64_t now = board_.now_us();
  const std::uint64_t due = frames_due(now);
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
  if (first->mem) {
    render(first->mem, width_, height_);
    // The sensor's noise on the luma, different in each frame: the same for a seed and frame.
    std::uint64_t s = (seed_ * 0x9E3779B97F4A7C15ULL + due) | 1;
    const int span = 2 * noise_ + 1;
    for (std::size_t i = 0, n = static_cast<std::size_t>(width_) * height_; noise_ && i < n; ++i) {
      s ^= s << 13;
      s ^= s >> 7;
      s ^= s << 17;
      const int v =
          first->mem[i] + static_cast<int>((s >> 32) % static_cast<unsigned>(span)) - noise_;
      first->mem[i] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
    }
  }
  fill_buffer(arg, static_cast<std::uint32_t>(first - buffers_.begin()));
  return 0;
}

int CameraModel::ioctl(unsigned long request, void *arg) {
  switch (request) {
    case VIDIOC_QUERYCAP: {
      if (querycap_errno_) return querycap_errno_;
      auto *c = static_cast<v4l2_capability *>(arg);
      std::memset(c, 0, sizeof *c);
      std::snprintf(reinterpret_cast<char *>(c->driver), sizeof c->driver, "tsim-camera");
      std::snprintf(reinterpret_cast<char *>(c->card), sizeof c->card, "Tarsa4 camera");
      std::snprintf(reinterpret_cast<char *>(c->bus_info), sizeof c->bus_info,
                    "platform:tarsa4-camera");
      c->version = (6u << 16) | (1u << 8);
      c->device_caps =
          (capture_ ? V4L2_CAP_VIDEO_CAPTURE : 0u) | (streaming_cap_ ? V4L2_CAP_STREAMING : 0u);
      c->capabilities = c->device_caps | V4L2_CAP_DEVICE_CAPS;
      return 0;
    }
    case VIDIOC_ENUM_FMT: {
      auto *f = static_cast<v4l2_fmtdesc *>(arg);
      if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || f->index != 0) return EINVAL;
      const std::uint32_t index = f->index, type = f->type;
      std::memset(f, 0, sizeof *f);
      f->index = index;
      f->type = type;
      f->pixelformat = V4L2_PIX_FMT_YUV420;
      std::snprintf(reinterpret_cast<char *>(f->description), sizeof f->description,
                    "Planar YUV 4:2:0");
      return 0;
    }
    case VIDIOC_G_FMT: {
      auto *f = static_cast<v4l2_format *>(arg);
      if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
      f->fmt.pix.width = static_cast<std::uint32_t>(width_);
      f->fmt.pix.height = static_cast<std::uint32_t>(height_);
      f->fmt.pix.field = field_;
      return set_format(arg, false);
    }
    case VIDIOC_S_FMT:
      return set_format(arg, true);
    case VIDIOC_TRY_FMT:
      return set_format(arg, false);
    case VIDIOC_CROPCAP: {
      auto *c = static_cast<v4l2_cropcap *>(arg);
      if (c->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
      c->bounds = {0, 0, kSensorWidth, kSensorHeight};
      c->defrect = c->bounds;
      c->pixelaspect = {1, 1};
      return 0;
    }
    case VIDIOC_G_CROP:
    case VIDIOC_S_CROP: {
      auto *c = static_cast<v4l2_crop *>(arg);
      if (c->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
      if (request == VIDIOC_S_CROP) {
        crop_[0] = std::clamp(c->c.left, 0, kSensorWidth - kMinSide);
        crop_[1] = std::clamp(c->c.top, 0, kSensorHeight - kMinSide);
        crop_[2] = static_cast<std::int32_t>(
            std::clamp<std::uint32_t>(c->c.width, kMinSide, kSensorWidth - crop_[0]));
        crop_[3] = static_cast<std::int32_t>(
            std::clamp<std::uint32_t>(c->c.height, kMinSide, kSensorHeight - crop_[1]));
      }
      c->c = {crop_[0], crop_[1], static_cast<std::uint32_t>(crop_[2]),
              static_cast<std::uint32_t>(crop_[3])};
      return 0;
    }
    case VIDIOC_REQBUFS:
      return request_buffers(arg);
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
      auto *b = static_cast<v4l2_buffer *>(arg);
      if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->index >= buffers_.size()) return EINVAL;
      if (request == VIDIOC_QBUF) {
        Buffer &buf = buffers_[b->index];
        if (b->memory != V4L2_MEMORY_MMAP || buf.queued) return EINVAL;
        buf.queued = true;
        buf.order = ++queued_;
      }
      fill_buffer(arg, b->index);
      return 0;
    }
    case VIDIOC_DQBUF:
      return dequeue(arg);
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      if (*static_cast<int *>(arg) != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
      if (request == VIDIOC_STREAMOFF) {
        streaming_ = false;
        for (Buffer &b : buffers_) b.queued = false;
        return 0;
      }
      if (buffers_.empty()) return EINVAL;
      if (!streaming_) {
        streaming_ = true;
        start_us_ = board_.now_us();
        delivered_ = 0;
      }
      return 0;
    }
    case VIDIOC_ENUMINPUT: {
      auto *in = static_cast<v4l2_input *>(arg);
      if (in->index != 0) return EINVAL;
      std::memset(in, 0, sizeof *in);
      std::snprintf(reinterpret_cast<char *>(in->name), sizeof in->name, "Camera");
      in->type = V4L2_INPUT_TYPE_CAMERA;
      return 0;
    }
    case VIDIOC_G_INPUT:
      *static_cast<int *>(arg) = 0;
      return 0;
    case VIDIOC_S_INPUT:
      return *static_cast<int *>(arg) == 0 ? 0 : EINVAL;
    case VIDIOC_G_PARM: {
      auto *p = static_cast<v4l2_streamparm *>(arg);
      if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return EINVAL;
      std::memset(&p->parm, 0, sizeof p->parm);
      p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      p->parm.capture.timeperframe = {1000,
                                      static_cast<std::uint32_t>(std::lround(rate_hz_ * 1000))};
      p->parm.capture.readbuffers = max_buffers_;
      return 0;
    }
    default:
      return ENOTTY;
  }
}

void CameraModel::render(std::uint8_t *yuv, int w, int h) {
  if (pattern_) {
    // Colour bars: white, yellow, cyan, green, magenta, red, blue, black.
    static constexpr Rgb kBars[] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                    {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) put_yuv(yuv, w, h, x, y, kBars[x * 8 / w]);
    return;
  }
  const Pose p = world_->pose(board_.now_us());
  const std::size_t bytes = static_cast<std::size_t>(w) * h * 3 / 2;
  if (view_w_ == w && view_h_ == h && view_x_ == p.x && view_y_ == p.y &&
      view_heading_ == p.heading) {
    std::memcpy(yuv, view_.data(), bytes);
    return;
  }
  const double f = (w / 2.0) / std::tan(fov_deg_ * std::numbers::pi / 360.0);  // focal length, px
  const auto &walls = world_->walls();
  static constexpr Rgb kWallColours[] = {
      {200, 170, 120}, {120, 160, 200}, {170, 200, 130}, {210, 140, 140}};
  for (int x = 0; x < w; ++x) {
    // The column's ray in the floor plane, and the first wall it meets.
    const double side = (w / 2.0 - (x + 0.5)) / f;  // left of the axis is positive
    const double angle = p.heading + std::atan(side);
    const double dx = std::cos(angle), dy = std::sin(angle);
    double hit = kFar, along = 0;
    int which = -1;
    for (std::size_t i = 0; i < walls.size(); ++i) {
      const Wall &wl = walls[i];
      const double ex = wl.x2 - wl.x1, ey = wl.y2 - wl.y1;
      const double den = dx * ey - dy * ex;
      if (std::abs(den) < 1e-12) continue;
      const double t = ((wl.x1 - p.x) * ey - (wl.y1 - p.y) * ex) / den;
      const double s = ((wl.x1 - p.x) * dy - (wl.y1 - p.y) * dx) / den;
      if (t > 1e-6 && s >= 0 && s <= 1 && t < hit) {
        hit = t;
        along = s * std::hypot(ex, ey);
        which = static_cast<int>(i);
      }
    }
    const double depth = hit * std::cos(angle - p.heading);  // along the optical axis
    const double floor_x = std::cos(p.heading) - std::sin(p.heading) * side;  // per unit of depth
    const double floor_y = std::sin(p.heading) + std::cos(p.heading) * side;
    const double shade_wall = std::clamp(1.2 - depth / 8000.0, 0.35, 1.0);
    for (int y = 0; y < h; ++y) {
      const double up = (h / 2.0 - (y + 0.5)) / f;  // elevation slope, per unit of depth
      const double z = height_mm_ + up * depth;     // height where the line of sight meets the wall
      Rgb c;
      if (which >= 0 && z >= 0 && z <= kWallHeight) {
        // Wall: its colour, panels every 400 mm, darker with distance.
        const Rgb base = kWallColours[which % 4];
        const bool seam = std::fmod(along, 400.0) < 12.0 || z > kWallHeight - 15;
        c = shade(base, (seam ? 0.55 : 0.9) * shade_wall);
      } else if (up < 0) {
        // Floor: tiles of 250 mm in two tones with a little texture from the seed.
        const double d = height_mm_ / -up;  // depth where the ray meets the floor
        const double fx = p.x + d * floor_x, fy = p.y + d * floor_y;
        const auto tx = static_cast<std::int64_t>(std::floor(fx / 250.0));
        const auto ty = static_cast<std::int64_t>(std::floor(fy / 250.0));
        const double tone = ((tx + ty) & 1 ? 0.55 : 0.75) + 0.08 * noise(seed_, tx, ty);
        c = shade({150, 140, 130}, tone * std::clamp(1.3 - d / 6000.0, 0.4, 1.0));
      } else {
        // Above the walls: the ceiling, lighter towards the top.
        c = shade({190, 200, 215}, 0.8 + 0.2 * (1.0 - static_cast<double>(y) / h));
      }
      put_yuv(yuv, w, h, x, y, c);
    }
  }
  // Landmarks on the ceiling: bright discs where the camera can see them over the walls.
  for (const Landmark &lm : world_->landmarks()) {
    const double rx = lm.x - p.x, ry = lm.y - p.y;
    const double depth = rx * std::cos(p.heading) + ry * std::sin(p.heading);
    if (depth <= 1) continue;
    const double lateral = -rx * std::sin(p.heading) + ry * std::cos(p.heading);
    const double z = lm.z > 0 ? lm.z : kCeiling;
    const double wall = world_->ray(p.x, p.y, std::atan2(ry, rx), kFar);
    const double dist = std::hypot(rx, ry);
    if (wall < dist && height_mm_ + (z - height_mm_) * wall / dist <= kWallHeight) continue;
    const double cx = w / 2.0 - f * lateral / depth, cy = h / 2.0 - f * (z - height_mm_) / depth;
    const double r = std::max(1.0, f * kLandmarkRadius / depth);
    for (int y = std::max(0, static_cast<int>(cy - r));
         y <= std::min(h - 1, static_cast<int>(cy + r)); ++y)
      for (int x = std::max(0, static_cast<int>(cx - r));
           x <= std::min(w - 1, static_cast<int>(cx + r)); ++x)
        if (std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= r) put_yuv(yuv, w, h, x, y, {255, 250, 235});
  }
  view_.assign(yuv, yuv + bytes);
  std::tie(view_x_, view_y_, view_heading_, view_w_, view_h_) = std::tie(p.x, p.y, p.heading, w, h);
}

namespace {
const RegisterModel<CameraModel> kRegister("camera");
}  // namespace

}  // namespace tsim
