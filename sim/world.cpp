// The simulated robot's surroundings, shared by the device models of one board.
#include "world.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <type_traits>

#include "board.h"

namespace tsim {

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
    return;
  }
  while (s.t_us < now_us) {
    const std::uint64_t step = std::min(kStepUs, now_us - s.t_us);
    const double dt = static_cast<double>(step) * 1e-6;
    const auto [left, right] = drive_ != nullptr ? drive_->step(dt) : std::pair{0.0, 0.0};
    const double v = (left + right) / 2.0;
    const double omega = (right - left) / kWheelBase;
    // Midpoint heading: exact enough for a millisecond arc.
    const double mid = s.pose.heading + omega * dt / 2.0;
    s.pose.x += v * dt * std::cos(mid);
    s.pose.y += v * dt * std::sin(mid);
    s.pose.heading = std::remainder(s.pose.heading + omega * dt, 2.0 * std::numbers::pi);
    s.motion.accel = (v - s.motion.v) / dt;
    s.motion.v = v;
    s.motion.omega = omega;
    s.t_us += step;
  }
}

Pose World::pose(std::uint64_t now_us) {
  return with_lock(now_us, [&] { return state_->pose; });
}

Motion World::motion(std::uint64_t now_us) {
  return with_lock(now_us, [&] { return state_->motion; });
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
