// Model of the robot base's microcontroller (see robot_tarsa4.h for protocol, units and layouts).
#include "robot_tarsa4.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <type_traits>

#include "../board.h"
#include "../registry.h"
#include "../shm.h"

namespace tsim {

namespace {

enum class Kind : std::uint8_t { Read, Write, Both };

struct Command {
  std::uint8_t code;
  Kind kind;
  std::uint8_t len;  // data bytes written, or reply bytes read
};

constexpr std::array<Command, 21> kCommands{{
    {0x00, Kind::Read, 1},  {0x01, Kind::Both, 1},  {0x02, Kind::Write, 9}, {0x0B, Kind::Write, 3},
    {0x0E, Kind::Write, 4}, {0x12, Kind::Write, 2}, {0x14, Kind::Write, 2}, {0x16, Kind::Write, 1},
    {0x17, Kind::Write, 1}, {0x18, Kind::Write, 4}, {0x1C, Kind::Write, 4}, {0x20, Kind::Write, 8},
    {0x28, Kind::Read, 4},  {0x2D, Kind::Read, 8},  {0x40, Kind::Read, 24}, {0x58, Kind::Read, 24},
    {0x70, Kind::Read, 10}, {0x7A, Kind::Write, 1}, {0x80, Kind::Read, 60}, {0xC0, Kind::Read, 60},
    {0xFD, Kind::Read, 12},
}};

const Command *find(std::uint8_t code) {
  auto it = std::find_if(kCommands.begin(), kCommands.end(),
                         [&](const Command &c) { return c.code == code; });
  return it == kCommands.end() ? nullptr : &*it;
}

constexpr double kGravity = 9806.65;  // mm/s^2
constexpr double kAccPerG = 1000.0;
constexpr double kGyroDegPerCount = 0.066;
constexpr int kIrCount = 12;
constexpr double kIrRange = 150.0, kAmbientReach = 300.0;
constexpr std::array<double, 5> kUsAngles{90, 45, 0, -45, -90};
constexpr double kUsRange = 4000.0;
constexpr int kFullCapacity = 2200;

double rad(double deg) {
  return deg * std::numbers::pi / 180.0;
}

void put16(std::span<std::uint8_t> out, std::size_t at, int v) {
  const auto u = static_cast<std::uint16_t>(v);
  out[at] = static_cast<std::uint8_t>(u);
  out[at + 1] = static_cast<std::uint8_t>(u >> 8);
}

int get16s(std::span<const std::uint8_t> in, std::size_t at) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(in[at] | (in[at + 1] << 8)));
}

std::int32_t get32s(std::span<const std::uint8_t> in, std::size_t at) {
  std::uint32_t u = 0;
  for (std::size_t i = 0; i < 4; ++i) u |= std::uint32_t{in[at + i]} << (8 * i);
  return static_cast<std::int32_t>(u);
}

int clampi(double v, int lo, int hi) {
  return static_cast<int>(std::clamp(std::lround(v), long{lo}, long{hi}));
}

std::uint8_t toggle_half(std::uint8_t old_half, std::uint8_t req) {
  if (req != 2) return req;
  return old_half == 0 ? 1 : 0;
}

}  // namespace

Tarsa4Model::Tarsa4Model(const ModelEntry &entry, Board &board)
    : board_(board),
      world_(World::attach(board)),
      seed_(board.seed()),
      revision_(static_cast<std::uint8_t>(entry.params.integer("revision"))),
      battery_percent_(static_cast<int>(entry.params.integer("battery_percent"))),
      jam_mm_(entry.params.number("jam_mm")),
      wheel_slip_(entry.params.boolean("wheel_slip")) {
  static_assert(std::is_trivially_copyable_v<State>);
  bool created = false;
  auto bytes = board.shared_bytes("tarsa4:" + entry.id, sizeof(State), &created);
  // Implicit-lifetime type in mapped memory; a new block comes zero-filled.
  state_ = reinterpret_cast<State *>(bytes.data());
  if (created) restart();
  // Written straight into the pin table: the board adds its GPIO pins after the I2C slaves, and
  // keeps an input level that is already there.
  if (entry.params.has("charging"))
    board.shm().pins[kChargePin].in_level = entry.params.boolean("charging", false) ? 0 : 1;
  self_ = std::make_shared<Tarsa4Model *>(this);
  board.gpio().on_output(kResetPin, [self = self_](int level) {
    if (*self != nullptr) (*self)->on_reset_line(level);
  });
  world_->set_drive(this);
}

Tarsa4Model::~Tarsa4Model() {
  *self_ = nullptr;
  world_->clear_drive(this);
}

void Tarsa4Model::restart() {
  const std::uint64_t draws = state_->draws;
  *state_ = State{};
  State &s = *state_;
  s.pending = -1;
  s.profile = {0, 0, 20, 0};
  s.cruise = 800;
  s.margin = 2;
  s.us_mask = 0x1F;
  s.draws = draws;
}

void Tarsa4Model::on_reset_line(int level) {
  world_->with_lock(board_.now_us(), [&] {
    State &s = *state_;
    if (level == 0) {
      s.in_reset = 1;
      for (auto &w : s.wheels) w.speed = w.target = 0;
    } else if (s.in_reset != 0) {
      s.in_reset = 0;
      restart();
    }
  });
}

// Deterministic across the processes of a run: a counter hashed with the board's seed
// (splitmix64), two uniforms turned into a normal value (Box-Muller).
double Tarsa4Model::noise(double sd) {
  auto next = [&] {
    std::uint64_t z = seed_ + 0x9E3779B97F4A7C15ULL * ++state_->draws;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return (static_cast<double>(z >> 11) + 0.5) / 9007199254740992.0;  // (0, 1)
  };
  const double u1 = next(), u2 = next();
  return sd * std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

bool Tarsa4Model::address() {
  return state_->in_reset == 0;
}

bool Tarsa4Model::write(std::span<const std::uint8_t> data) {
  return world_->with_lock(board_.now_us(), [&] {
    State &s = *state_;
    s.pending = -1;
    const Command *c = find(data[0]);
    if (c == nullptr) return false;
    if (data.size() == 1 && c->kind != Kind::Write) {
      s.pending = static_cast<std::int16_t>(c->code);
      return true;
    }
    if (c->kind == Kind::Read || data.size() != std::size_t{c->len} + 1u) return false;
    return execute(c->code, data.subspan(1));
  });
}

bool Tarsa4Model::read(std::span<std::uint8_t> out) {
  // The charge line is read before the world is locked: the GPIO controller calls back into this
  // model (reset line) possibly under its own lock, so the two locks are never taken the other way.
  const bool charging = board_.gpio().level(kChargePin) == 0;
  return world_->with_lock(board_.now_us(), [&] {
    State &s = *state_;
    const int code = s.pending;
    s.pending = -1;
    if (code < 0) {
      // Nothing selected: the bytes idle high.
      std::fill(out.begin(), out.end(), std::uint8_t{0xFF});
      return true;
    }
    const Command *c = find(static_cast<std::uint8_t>(code));
    if (out.size() != c->len) return false;
    reply(c->code, out, charging);
    return true;
  });
}

bool Tarsa4Model::execute(std::uint8_t code, std::span<const std::uint8_t> d) {
  State &s = *state_;
  auto set_speeds = [&] {
    for (std::size_t i = 0; i < 2; ++i)
      s.wheels[i].target = std::clamp(get16s(d, 2 * i), -kMaxSpeed, kMaxSpeed);
    s.position_control = 0;
  };
  switch (code) {
    case 0x01:
      s.status_leds = static_cast<std::uint8_t>(toggle_half(s.status_leds & 0x0F, d[0] & 0x0F) |
                                                (toggle_half(s.status_leds >> 4, d[0] >> 4) << 4));
      break;
    case 0x02:
      std::copy(d.begin(), d.end(), s.rgb.begin());
      break;
    case 0x0B:
      std::copy(d.begin(), d.end(), s.pid.begin());
      break;
    case 0x0E:
      std::copy(d.begin(), d.end(), s.profile.begin());
      break;
    case 0x12:
      s.margin = static_cast<std::uint16_t>(d[0] | (d[1] << 8));
      break;
    case 0x14:
      s.cruise = static_cast<std::uint16_t>(d[0] | (d[1] << 8));
      break;
    case 0x16:
      for (auto &w : s.wheels) w.enc = 0, w.goal = 0;
      break;
    case 0x17:
      s.mode = d[0];
      s.position_control = 0;
      for (auto &w : s.wheels) w.target = 0;
      break;
    case 0x18:
      if (s.mode == 1 || s.mode == 2) set_speeds();
      break;
    case 0x1C:
      if (s.mode == 4) set_speeds();
      break;
    case 0x20:
      if (s.mode == 1 || s.mode == 2 || s.mode == 4) {
        s.wheels[0].goal = get32s(d, 0);
        s.wheels[1].goal = get32s(d, 4);
        s.position_control = 1;
      }
      break;
    case 0x7A:
      s.us_mask = d[0];
      break;
    default:
      return false;
  }
  return true;
}

double Tarsa4Model::ramp(double from, double to, double dt, bool always) const {
  const State &s = *state_;
  const double acc = s.profile[0] * 100.0;  // units per 10 ms -> units per second
  const double dec = (s.profile[1] != 0 ? s.profile[1] : s.profile[0]) * 100.0;
  if (!always && s.profile[3] == 0) return to;
  const bool speeding_up = std::fabs(to) > std::fabs(from) && to * from >= 0;
  const double rate = speeding_up ? acc : dec;
  if (rate <= 0) return to;
  const double step = rate * dt;
  return from + std::clamp(to - from, -step, step);
}

std::pair<double, double> Tarsa4Model::step(double dt) {
  State &s = *state_;
  const bool running = s.in_reset == 0 && (s.mode == 1 || s.mode == 2 || s.mode == 4);
  for (auto &w : s.wheels) {
    if (!running) {
      w.speed = 0;
    } else if (s.position_control != 0) {
      const double err = w.goal - w.enc;
      const double margin = std::max<double>(s.margin, 0.5);
      if (std::fabs(err) <= margin) {
        w.speed = 0;
      } else {
        const double cruise = std::min<double>(s.cruise, kMaxSpeed);
        const double dec = (s.profile[1] != 0 ? s.profile[1] : s.profile[0]) * 100.0;
        // Fast enough to brake to a stop on the target, never slower than the approach speed.
        double want = dec > 0 ? std::sqrt(2.0 * dec * std::fabs(err)) : cruise;
        want = std::clamp(want, std::min<double>(s.profile[2], cruise), cruise);
        double v = ramp(w.speed, std::copysign(want, err), dt, true);
        if (std::fabs(v) * dt > std::fabs(err)) v = err / dt;  // land on the target, not past it
        w.speed = v;
      }
    } else {
      w.speed = ramp(w.speed, w.target, dt, false);
    }
    if (jam_mm_ > 0 && std::fabs(w.enc) * kSpeedUnitMm >= jam_mm_ && w.speed * w.enc > 0)
      w.speed = 0;
  }
  return {s.wheels[0].speed * kSpeedUnitMm, s.wheels[1].speed * kSpeedUnitMm};
}

void Tarsa4Model::moved(double dt, double travelled) {
  State &s = *state_;
  if (travelled < 1.0 && !wheel_slip_) {
    // Stalled: the wheels keep only the part of their common speed that moved the body, and
    // what turns it.
    const double common = (s.wheels[0].speed + s.wheels[1].speed) / 2.0;
    for (auto &w : s.wheels) w.speed -= (1.0 - travelled) * common;
  }
  for (auto &w : s.wheels) w.enc += w.speed * dt;
}

void Tarsa4Model::reply(std::uint8_t code, std::span<std::uint8_t> out, bool charging) {
  State &s = *state_;
  const Pose p = world_->pose(board_.now_us());
  const Motion m = world_->motion(board_.now_us());
  switch (code) {
    case 0x00:
      out[0] = revision_;
      break;
    case 0x01:
      out[0] = s.status_leds;
      break;
    case 0x28:
      for (std::size_t i = 0; i < 2; ++i)
        put16(out, 2 * i, static_cast<int>(std::lround(s.wheels[i].speed)));
      break;
    case 0x2D:
      for (std::size_t i = 0; i < 2; ++i) {
        const auto v =
            static_cast<std::uint32_t>(static_cast<std::int32_t>(std::floor(s.wheels[i].enc)));
        for (std::size_t b = 0; b < 4; ++b)
          out[4 * i + b] = static_cast<std::uint8_t>(v >> (8 * b));
      }
      break;
    case 0x58:
    case 0x40:
    case 0x70:
      reply_ranges(code, out, p);
      break;
    case 0x80:
    case 0xC0:
      reply_inertial(code, out, m);
      break;
    case 0xFD:
      reply_battery(out, charging);
      break;
    default:
      break;
  }
}

void Tarsa4Model::reply_ranges(std::uint8_t code, std::span<std::uint8_t> out, const Pose &p) {
  // Distance from the body's edge to the nearest wall seen at `deg` from the heading.
  auto edge = [&](double deg, double range) {
    return std::max(0.0, world_->ray(p.x, p.y, p.heading + rad(deg), range + World::kRobotRadius) -
                             World::kRobotRadius);
  };
  if (code == 0x58) {
    for (int i = 0; i < kIrCount; ++i) {
      const double d = edge(30.0 * i, kIrRange);
      const double prox = d < kIrRange ? 4095.0 * std::pow(1.0 - d / kIrRange, 2) : 0.0;
      put16(out, 2 * static_cast<std::size_t>(i), clampi(prox + noise(3), 0, 4095));
    }
  } else if (code == 0x40) {
    for (int i = 0; i < kIrCount; ++i) {
      const double d = edge(30.0 * i, kAmbientReach);
      const double light =
          world_->ambient() * (0.6 + 0.4 * std::min(d, kAmbientReach) / kAmbientReach);
      put16(out, 2 * static_cast<std::size_t>(i), clampi(light + noise(10), 0, 4095));
    }
  } else {
    for (std::size_t i = 0; i < kUsAngles.size(); ++i) {
      const double d = edge(kUsAngles[i], kUsRange);
      int cm = 0;
      if ((state_->us_mask >> i & 1) != 0 && d < kUsRange)
        cm = clampi(d / 10.0 + noise(0.5), 0, 32767);
      put16(out, 2 * i, cm);
    }
  }
}

void Tarsa4Model::reply_inertial(std::uint8_t code, std::span<std::uint8_t> out, const Motion &m) {
  if (code == 0x80) {
    const std::array<double, 3> g{m.accel / kGravity * kAccPerG,
                                  m.v * m.omega / kGravity * kAccPerG, kAccPerG};
    for (std::size_t axis = 0; axis < 3; ++axis)
      for (std::size_t k = 0; k < 10; ++k)
        put16(out, 20 * axis + 2 * k, clampi(g[axis] + noise(2), -2048, 2047) * 16);
  } else {
    const std::array<double, 3> r{0.0, 0.0, m.omega * 180.0 / std::numbers::pi / kGyroDegPerCount};
    for (std::size_t axis = 0; axis < 3; ++axis)
      for (std::size_t k = 0; k < 10; ++k)
        put16(out, 20 * axis + 2 * k, clampi(r[axis] + noise(1), -32768, 32767));
  }
}

void Tarsa4Model::reply_battery(std::span<std::uint8_t> out, bool charging) {
  const State &s = *state_;
  const double load = 150 + 0.4 * (std::fabs(s.wheels[0].speed) + std::fabs(s.wheels[1].speed));
  put16(out, 0, 7400 + 8 * (battery_percent_ - 50));
  put16(out, 2, charging ? 800 : -static_cast<int>(std::lround(load)));
  put16(out, 4, 250);
  put16(out, 6, kFullCapacity * battery_percent_ / 100);
  put16(out, 8, kFullCapacity);
  out[10] = static_cast<std::uint8_t>(battery_percent_);
  out[11] = static_cast<std::uint8_t>((charging ? 1 : 0) | 2);
}

namespace {
const RegisterModel<Tarsa4Model> kRegister("tarsa4");
}  // namespace

}  // namespace tsim
