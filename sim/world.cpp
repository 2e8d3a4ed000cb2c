// The simulated robot's surroundings, shared by the device models of one board.
#include "world.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <string>
#include <type_traits>

#include "board.h"

namespace tsim {

namespace {

// Never freed: the preload's threads may still advance a world while the process exits.
std::function<void(const WorldEvent &)> &listener() {
  static auto *fn = new std::function<void(const WorldEvent &)>;
  return *fn;
}

// Distance from (x, y) to the segment `w`.
double distance(double x, double y, const Wall &w) {
  const double ex = w.x2 - w.x1, ey = w.y2 - w.y1;
  const double len2 = ex * ex + ey * ey;
  double u = len2 > 0 ? ((x - w.x1) * ex + (y - w.y1) * ey) / len2 : 0.0;
  u = std::clamp(u, 0.0, 1.0);
  return std::hypot(x - (w.x1 + u * ex), y - (w.y1 + u * ey));
}

// "(x, y)" in mm, as short as the numbers allow.
std::string point(double x, double y) {
  char text[64];
  std::snprintf(text, sizeof text, "(%g, %g)", x, y);
  return text;
}

}  // namespace

void World::set_listener(std::function<void(const WorldEvent &)> fn) {
  listener() = std::move(fn);
}

std::shared_ptr<World> World::attach(Board &board) {
  static std::mutex m;
  static const Board *owner = nullptr;
  static std::weak_ptr<World> current;
  std::lock_guard lock(m);
  if (auto w = current.lock(); w && owner == &board) return w;
  auto w = std::make_shared<World>(board);
  owner = &board;
  current = w;
  return w;
}

World::World(Board &board) {
  static_assert(std::is_trivially_copyable_v<State>);
  bool created = false;
  auto bytes = board.shared_bytes("world", sizeof(State), &created);
  // Implicit-lifetime type in mapped memory; a new block comes zero-filled.
  state_ = reinterpret_cast<State *>(bytes.data());
  const WorldRecord &rec = board.scenario().world;
  // The robot starts where it can stand: not inside an obstacle, its body clear of every wall.
  const Pose &p = rec.start;
  for (const Box &b : rec.boxes)
    if (std::fabs(p.x - b.x) < b.width / 2 && std::fabs(p.y - b.y) < b.depth / 2)
      throw error(b.where, "world.box: the robot's start " + point(p.x, p.y) +
                               " is inside the box at " + point(b.x, b.y));
  for (const Wall &w : rec.walls)
    if (distance(p.x, p.y, w) < kRobotRadius)
      throw error(rec.start_where, "world: the robot's body at " + point(p.x, p.y) +
                                       " overlaps the wall from " + point(w.x1, w.y1) + " to " +
                                       point(w.x2, w.y2));
  if (created) state_->pose = rec.start;
  walls_ = rec.walls;
  landmarks_ = rec.landmarks;
  ambient_ = rec.ambient;
}

void World::advance(std::uint64_t now_us) {
  std::lock_guard lock(mutex_);
  State &s = *state_;
  if (s.t_us == 0 || now_us < s.t_us) {
    s.t_us = now_us;
    s.contact = clearance(s.pose.x, s.pose.y) < kRobotRadius + kTouchMm ? 1 : 0;
    report(s, false);
    return;
  }
  while (s.t_us < now_us) {
    // Steps end on every sample time, so samples fall on the run's 20 ms grid.
    const std::uint64_t step = std::min({kStepUs, now_us - s.t_us, kSampleUs - s.t_us % kSampleUs});
    const double dt = static_cast<double>(step) * 1e-6;
    const auto [left, right] = drive_ != nullptr ? drive_->step(dt) : std::pair{0.0, 0.0};
    const double v = (left + right) / 2.0;
    const double omega = (right - left) / kWheelBase;
    // Midpoint heading: exact enough for a millisecond arc.
    const double mid = s.pose.heading + omega * dt / 2.0;
    const double dx = v * dt * std::cos(mid), dy = v * dt * std::sin(mid);
    // The body stops where it would press into a wall; it never slides along one.
    const double part = dx == 0 && dy == 0 ? 1.0 : free_part(s.pose, dx, dy);
    s.pose.x += part * dx;
    s.pose.y += part * dy;
    s.pose.heading = std::remainder(s.pose.heading + omega * dt, 2.0 * std::numbers::pi);
    if (drive_ != nullptr) drive_->moved(dt, part);
    s.motion.accel = (v * part - s.motion.v) / dt;
    s.motion.v = v * part;
    s.motion.omega = omega;
    s.t_us += step;
    const bool touching = clearance(s.pose.x, s.pose.y) < kRobotRadius + kTouchMm;
    if (touching != (s.contact != 0)) {
      s.contact = touching ? 1 : 0;
      report(s, true);
    }
    if (s.t_us % kSampleUs == 0) report(s, false);
  }
}

void World::report(const State &s, bool change) const {
  if (const auto &fn = listener()) fn(WorldEvent{s.t_us, s.pose, s.contact != 0, change});
}

double World::clearance(double x, double y) const {
  double best = std::numeric_limits<double>::infinity();
  for (const Wall &w : walls_) best = std::min(best, distance(x, y, w));
  return best;
}

double World::free_part(const Pose &p, double dx, double dy) const {
  // Pressing: ending the move inside the body's radius of a wall, and nearer to it than before.
  auto presses = [&](double part) {
    const double x = p.x + part * dx, y = p.y + part * dy;
    for (const Wall &w : walls_) {
      const double d = distance(x, y, w);
      if (d < kRobotRadius && d < distance(p.x, p.y, w) - 1e-9) return true;
    }
    return false;
  };
  if (!presses(1.0)) return 1.0;
  double lo = 0.0, hi = 1.0;
  for (int i = 0; i < 30; ++i) {
    const double m = (lo + hi) / 2.0;
    (presses(m) ? hi : lo) = m;
  }
  return lo < 1e-6 ? 0.0 : lo;  // touching already: not a creep of nanometres a step
}

Pose World::pose(std::uint64_t now_us) {
  return with_lock(now_us, [&] { return state_->pose; });
}

Motion World::motion(std::uint64_t now_us) {
  return with_lock(now_us, [&] { return state_->motion; });
}

bool World::contact(std::uint64_t now_us) {
  return with_lock(now_us, [&] { return state_->contact != 0; });
}

void World::set_pose(const Pose &p) {
  std::lock_guard lock(mutex_);
  state_->pose = p;
}

void World::set_drive(Drive *drive) {
  std::lock_guard lock(mutex_);
  drive_ = drive;
}

void World::clear_drive(const Drive *drive) {
  std::lock_guard lock(mutex_);
  if (drive_ == drive) drive_ = nullptr;
}

double World::ray(double x, double y, double angle, double max_range) const {
  const double dx = std::cos(angle), dy = std::sin(angle);
  double best = max_range;
  for (const Wall &w : walls_) {
    // Solve origin + t*d = a + s*(b - a) for t >= 0, 0 <= s <= 1.
    const double ex = w.x2 - w.x1, ey = w.y2 - w.y1;
    const double den = dx * ey - dy * ex;
    if (std::fabs(den) < 1e-12) continue;
    const double qx = w.x1 - x, qy = w.y1 - y;
    const double t = (qx * ey - qy * ex) / den;
    const double s = (qx * dy - qy * dx) / den;
    if (t >= 0 && s >= 0 && s <= 1 && t < best) best = t;
  }
  return best;
}

}  // namespace tsim
