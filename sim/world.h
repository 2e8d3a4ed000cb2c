// The simulated robot's surroundings: its pose, the walls and landmarks around it, and the motion
// that the robot model drives, integrated on the board's monotonic clock. The pose and motion
// live in the board's shared memory, so every process of a run sees the same robot; call into
// the world under the simulator lock, as device models are.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "floor_plan.h"

namespace tsim {

class Board;

// Motion of the robot during the last integration step.
struct Motion {
  double v = 0;      // forward speed, mm/s
  double omega = 0;  // yaw rate, rad/s (counter-clockwise positive)
  double accel = 0;  // forward acceleration, mm/s^2
};

// Whatever moves the robot: asked for both wheel speeds (mm/s) over each step of `dt` seconds,
// then told how much of the step's travel the body made: 1 in open space, less (0 when pressed
// against it) where an obstacle stopped it. Turning is never stopped.
class Drive {
 public:
  virtual ~Drive() = default;
  virtual std::pair<double, double> step(double dt) = 0;
  virtual void moved(double dt, double travelled) = 0;
};

// What the world reports as it integrates: the pose every kSampleUs of the run's time, and
// whenever the body starts or stops touching a wall or obstacle (`t_us`: the board's time).
struct WorldEvent {
  std::uint64_t t_us;
  Pose pose;
  bool contact;
  bool change;  // the contact starts or ends here
};

class World {
 public:
  static constexpr double kWheelBase = 105.4;        // mm between the wheels
  static constexpr double kRobotRadius = 70.0;       // mm from centre to the body's edge
  static constexpr std::uint64_t kStepUs = 1000;     // integration step
  static constexpr std::uint64_t kSampleUs = 20000;  // pose reports, 50 a second
  static constexpr double kTouchMm = 0.05;           // closer than radius + this: touching

  // The world of `board`, built from the scenario's [world] table at first use and shared by all
  // models of that board; a new board gets a new world.
  //   [world]
  //   x = 0.0, y = 0.0, heading = 0.0     start pose (mm, mm, degrees)
  //   walls = [[x1, y1, x2, y2], ...]     wall segments, mm (default: default_room())
  //   [[world.box]] x, y, width, depth    an obstacle: a box centred on (x, y), width along x
  //   landmarks = [{ id = 1, x = 0.0, y = 0.0, z = 2500.0 }, ...]   (id 0, z 2500 when left out)
  //   ambient = 3000                      ambient infrared light level in open space (0-4095)
  static std::shared_ptr<World> attach(Board &board);

  explicit World(Board &board);

  // Integrates the motion up to `now_us` (monotonic microseconds), in steps of at most kStepUs.
  void advance(std::uint64_t now_us);

  // Runs `fn` after advancing to `now_us`, with the world locked: the state it sees and changes
  // cannot move under it.
  template <typename F>
  auto with_lock(std::uint64_t now_us, F &&fn) {
    std::lock_guard lock(mutex_);
    advance(now_us);
    return fn();
  }

  Pose pose(std::uint64_t now_us);
  Motion motion(std::uint64_t now_us);
  void set_pose(const Pose &p);
  // The model whose wheels move the robot (null: the robot stands still). Not owned.
  void set_drive(Drive *drive);
  // Forgets `drive` if it is the current one (a model replaced by a later one keeps its place).
  void clear_drive(const Drive *drive);

  const std::vector<Wall> &walls() const { return walls_; }
  const std::vector<Landmark> &landmarks() const { return landmarks_; }
  int ambient() const { return ambient_; }

  // Distance from (x, y) along `angle` to the nearest wall, or `max_range` when none is closer.
  double ray(double x, double y, double angle, double max_range) const;
  // Whether the robot's body touches a wall or obstacle now.
  bool contact(std::uint64_t now_us);

  // Called with every event of every world of this process, under the simulator lock (the
  // preload writes the truth file and the trace from it); empty: none.
  static void set_listener(std::function<void(const WorldEvent &)> fn);

 private:
  struct State {
    Pose pose;
    Motion motion;
    std::uint64_t t_us;  // time integrated so far; 0 until the first advance
    std::uint8_t contact;
  };

  // Nearest distance from (x, y) to a wall.
  double clearance(double x, double y) const;
  // The part of the straight move (dx, dy) from `p` the body can make without pressing into a
  // wall (1: all of it).
  double free_part(const Pose &p, double dx, double dy) const;
  void report(const State &s, bool change) const;

  std::recursive_mutex mutex_;  // this process's threads; other processes: the simulator lock
  State *state_;                // in the board's shared memory
  Drive *drive_ = nullptr;
  std::vector<Wall> walls_;
  std::vector<Landmark> landmarks_;
  int ambient_ = 0;
};

}  // namespace tsim
