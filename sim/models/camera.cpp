// The board's camera: the sizes it delivers, and its view of the world.
#include "camera.h"

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
bool parse_sizes(const std::string &text, std::vector<FrameSize> *out) {
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
    out->push_back({static_cast<int>(w), static_cast<int>(h)});
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
      rate_hz_(entry.params.number("rate_hz")),
      fov_deg_(entry.params.number("fov_deg")),
      height_mm_(entry.params.number("height_mm")),
      pattern_(entry.params.boolean("pattern")),
      noise_(pattern_ ? 0 : static_cast<int>(entry.params.integer("noise"))) {
  const std::string sizes = entry.params.string("sizes");
  if (!sizes.empty() && !parse_sizes(sizes, &sizes_))
    throw error(entry.params.where("sizes"),
                "sizes: a list of even WxH sizes from 32x32 to 752x480, e.g. \"640x480,320x240\"");
}

FrameSize CameraModel::offer(FrameSize asked) const {
  if (sizes_.empty())
    return {std::clamp(asked.width, kMinSide, kSensorWidth) & ~1,
            std::clamp(asked.height, kMinSide, kSensorHeight) & ~1};
  auto cost = [&](const FrameSize &s) {
    return std::abs(static_cast<long>(s.width) - asked.width) +
           std::abs(static_cast<long>(s.height) - asked.height);
  };
  return *std::min_element(sizes_.begin(), sizes_.end(),
                           [&](const auto &a, const auto &b) { return cost(a) < cost(b); });
}

FrameSizes CameraModel::sizes() const {
  if (!sizes_.empty()) return {sizes_, {}, {}, {}};
  return {{}, {kMinSide, kMinSide}, {kSensorWidth, kSensorHeight}, {2, 2}};
}

void CameraModel::render(std::span<std::uint8_t> yuv, FrameSize size, std::uint64_t sequence) {
  render(yuv.data(), size.width, size.height);
  // The sensor's noise on the luma, different in each frame: the same for a seed and frame.
  std::uint64_t s = (seed_ * 0x9E3779B97F4A7C15ULL + sequence + 1) | 1;
  const int span = 2 * noise_ + 1;
  const std::size_t n = std::min(yuv.size(), static_cast<std::size_t>(size.width) * size.height);
  for (std::size_t i = 0; noise_ && i < n; ++i) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    const int v = yuv[i] + static_cast<int>((s >> 32) % static_cast<unsigned>(span)) - noise_;
    yuv[i] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
  }
}

namespace {

// The first wall along `angle` from `p`: its index (-1: none before kFar), the distance to it and
// how far along the wall the ray meets it.
struct WallHit {
  int which = -1;
  double distance = kFar, along = 0;
};

WallHit first_wall(const std::vector<Wall> &walls, const Pose &p, double angle) {
  const double dx = std::cos(angle), dy = std::sin(angle);
  WallHit hit;
  for (std::size_t i = 0; i < walls.size(); ++i) {
    const Wall &wl = walls[i];
    const double ex = wl.x2 - wl.x1, ey = wl.y2 - wl.y1;
    const double den = dx * ey - dy * ex;
    if (std::abs(den) < 1e-12) continue;
    const double t = ((wl.x1 - p.x) * ey - (wl.y1 - p.y) * ex) / den;
    const double s = ((wl.x1 - p.x) * dy - (wl.y1 - p.y) * dx) / den;
    if (t > 1e-6 && s >= 0 && s <= 1 && t < hit.distance)
      hit = {static_cast<int>(i), t, s * std::hypot(ex, ey)};
  }
  return hit;
}

}  // namespace

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
  for (int x = 0; x < w; ++x) render_column(yuv, w, h, x, p, f);
  render_landmarks(yuv, w, h, p, f);
  view_.assign(yuv, yuv + bytes);
  std::tie(view_x_, view_y_, view_heading_, view_w_, view_h_) = std::tie(p.x, p.y, p.heading, w, h);
}

void CameraModel::render_column(std::uint8_t *yuv, int w, int h, int x, const Pose &p, double f) {
  static constexpr Rgb kWallColours[] = {
      {200, 170, 120}, {120, 160, 200}, {170, 200, 130}, {210, 140, 140}};
  // The column's ray in the floor plane, and the first wall it meets.
  const double side = (w / 2.0 - (x + 0.5)) / f;  // left of the axis is positive
  const double angle = p.heading + std::atan(side);
  const WallHit hit = first_wall(world_->walls(), p, angle);
  const double depth = hit.distance * std::cos(angle - p.heading);  // along the optical axis
  const double floor_x = std::cos(p.heading) - std::sin(p.heading) * side;  // per unit of depth
  const double floor_y = std::sin(p.heading) + std::cos(p.heading) * side;
  const double shade_wall = std::clamp(1.2 - depth / 8000.0, 0.35, 1.0);
  for (int y = 0; y < h; ++y) {
    const double up = (h / 2.0 - (y + 0.5)) / f;  // elevation slope, per unit of depth
    const double z = height_mm_ + up * depth;     // height where the line of sight meets the wall
    Rgb c;
    if (hit.which >= 0 && z >= 0 && z <= kWallHeight) {
      // Wall: its colour, panels every 400 mm, darker with distance.
      const Rgb base = kWallColours[hit.which % 4];
      const bool seam = std::fmod(hit.along, 400.0) < 12.0 || z > kWallHeight - 15;
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

void CameraModel::render_landmarks(std::uint8_t *yuv, int w, int h, const Pose &p, double f) {
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
}

namespace {
const RegisterModel<CameraModel> kRegister("camera");
}  // namespace

}  // namespace tsim
