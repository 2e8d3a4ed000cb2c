// Model of one motor of the motor controller board (see dravon.h).
#include "dravon.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>

#include "../board.h"
#include "../registry.h"

namespace tsim {

namespace {

struct Register {
  std::uint8_t number;
  std::uint8_t width;
  bool readable, writable;
};

constexpr std::uint8_t kVersion = 0x00, kStatus = 0x01, kErrorClear = 0x02, kOptions = 0x10,
                       kCommand = 0x20;
constexpr int kMeasureBase = 0x40;  // measure k: high word at 0x40 + k, low word after it

constexpr std::array kRegisters{
    Register{kVersion, 1, true, false},    Register{kStatus, 2, true, false},
    Register{kErrorClear, 1, false, true}, Register{kOptions, 2, true, true},
    Register{kCommand, 2, true, true},     Register{0x41, 2, true, false},
    Register{0x42, 2, true, false},        Register{0x43, 2, true, false},
    Register{0x44, 2, true, false},        Register{0x45, 2, true, false},
    Register{0x46, 2, true, false},        Register{0x47, 2, true, false},
    Register{0x48, 2, true, false},
};

const Register *find(int number) {
  for (const auto &r : kRegisters)
    if (r.number == number) return &r;
  return nullptr;
}

// Option bits the board knows; a value with any other bit is refused.
constexpr std::uint8_t kOptAReverse = 0x01, kOptAFreewheel = 0x02, kOptAKnown = 0x03;
constexpr std::uint8_t kOptBSpeedPerS = 0x02, kOptBCurrentMa = 0x20, kOptBKnown = 0x22;

constexpr std::uint8_t kStDriven = 0x01, kStMoving = 0x02, kStAtSpeed = 0x04, kStReversed = 0x08,
                       kStError = 0x10;
constexpr std::uint8_t kErrOvercurrent = 0x01, kErrUndervoltage = 0x02, kErrSpeedRange = 0x04;

constexpr int kUndervoltageMv = 9000;
constexpr double kMovingSpeed = 10.0;  // counts/s
constexpr double kFrictionMa = 60.0, kViscousMa = 0.02, kInertiaMa = 0.005;

}  // namespace

DravonMotorModel::DravonMotorModel(const ModelEntry &entry, Board &board)
    : board_(board),
      version_(static_cast<std::uint8_t>(entry.params.integer("version"))),
      lsb_first_(entry.params.boolean("lsb_first")),
      tau_s_(entry.params.number("time_constant_ms") / 1000.0),
      top_speed_(static_cast<int>(entry.params.integer("top_speed"))),
      supply_mv_(static_cast<int>(entry.params.integer("supply_mv"))),
      current_limit_ma_(static_cast<int>(entry.params.integer("current_limit_ma"))) {
  static_assert(std::is_trivially_copyable_v<State>);
  const int speed = static_cast<int>(entry.params.integer("speed"));
  if (std::abs(speed) > top_speed_)
    throw error(entry.params.where("speed"), "speed: beyond top_speed");
  bool created = false;
  auto bytes = board.shared_bytes("dravon:" + entry.id, sizeof(State), &created);
  // Implicit-lifetime type in mapped memory; a new block comes zero-filled.
  state_ = reinterpret_cast<State *>(bytes.data());
  if (created) state_->command = static_cast<std::int16_t>(speed);
}

bool DravonMotorModel::driven() const {
  return (state_->option_a & kOptAFreewheel) == 0 && supply_mv_ >= kUndervoltageMv;
}

double DravonMotorModel::target() const {
  if (!driven()) return 0.0;
  return (state_->option_a & kOptAReverse) != 0 ? -state_->command : state_->command;
}

double DravonMotorModel::current_ma() const {
  const double w = state_->speed;
  const double friction = w > 0 ? kFrictionMa : w < 0 ? -kFrictionMa : 0.0;
  return friction + kViscousMa * w + kInertiaMa * state_->accel;
}

void DravonMotorModel::advance() {
  State &s = *state_;
  const std::uint64_t now = board_.now_us();
  const double dt =
      s.last_us == 0 || now < s.last_us ? 0.0 : static_cast<double>(now - s.last_us) * 1e-6;
  s.last_us = now;
  const double t = target();
  const double decay = std::exp(-dt / tau_s_);
  s.position += t * dt + (s.speed - t) * tau_s_ * (1.0 - decay);
  s.speed = t + (s.speed - t) * decay;
  s.accel = (t - s.speed) / tau_s_;
  if (std::fabs(current_ma()) > current_limit_ma_) s.errors |= kErrOvercurrent;
  if (supply_mv_ < kUndervoltageMv) s.errors |= kErrUndervoltage;
}

std::int32_t DravonMotorModel::measure(int kind) const {
  const State &s = *state_;
  switch (kind) {
    case 1:
      // Counts since power-on, wrapping at 32 bits.
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::llround(s.position)));
    case 3:
      return static_cast<std::int32_t>(
          std::lround((s.option_b & kOptBSpeedPerS) != 0 ? s.speed : s.speed / 100.0));
    case 5: {
      const double i = current_ma();
      return static_cast<std::int32_t>(
          std::lround((s.option_b & kOptBCurrentMa) != 0 ? i : i / 5.0));
    }
    default:
      return static_cast<std::int32_t>(std::lround(supply_mv_ - std::fabs(current_ma()) / 20.0));
  }
}

void DravonMotorModel::put16(std::span<std::uint8_t> out, std::uint16_t v) const {
  const auto hi = static_cast<std::uint8_t>(v >> 8), lo = static_cast<std::uint8_t>(v);
  out[0] = lsb_first_ ? lo : hi;
  out[1] = lsb_first_ ? hi : lo;
}

bool DravonMotorModel::write(std::span<const std::uint8_t> data) {
  State &s = *state_;
  const Register *r = find(data[0]);
  if (r == nullptr) return false;
  const auto value = data.subspan(1);
  if (value.empty()) {
    if (!r->readable) return false;
    s.selected = r->number;
    return true;
  }
  if (!r->writable || value.size() != r->width) return false;
  advance();
  switch (r->number) {
    case kErrorClear:
      s.errors = static_cast<std::uint8_t>(s.errors & ~value[0]);
      break;
    case kOptions:
      if ((value[0] & ~kOptAKnown) != 0 || (value[1] & ~kOptBKnown) != 0) return false;
      s.option_a = value[0];
      s.option_b = value[1];
      break;
    default: {  // speed command
      const int raw = static_cast<std::int16_t>(lsb_first_ ? value[0] | value[1] << 8
                                                           : value[0] << 8 | value[1]);
      if (std::abs(raw) > top_speed_) s.errors |= kErrSpeedRange;
      s.command = static_cast<std::int16_t>(std::clamp(raw, -top_speed_, top_speed_));
      break;
    }
  }
  s.accel = (target() - s.speed) / tau_s_;
  s.selected = kVersion;
  return true;
}

bool DravonMotorModel::read(std::span<std::uint8_t> out) {
  State &s = *state_;
  const Register *r = find(s.selected);
  s.selected = kVersion;
  if (r == nullptr || out.size() != r->width) return false;
  advance();
  switch (r->number) {
    case kVersion:
      out[0] = version_;
      break;
    case kStatus: {
      const double t = target();
      std::uint8_t st = 0;
      if (driven()) st |= kStDriven;
      if (std::fabs(s.speed) >= kMovingSpeed) st |= kStMoving;
      if (std::fabs(s.speed - t) <= std::max(kMovingSpeed, 0.02 * std::fabs(t))) st |= kStAtSpeed;
      if ((s.option_a & kOptAReverse) != 0) st |= kStReversed;
      if (s.errors != 0) st |= kStError;
      out[0] = st;
      out[1] = s.errors;
      break;
    }
    case kOptions:
      out[0] = s.option_a;
      out[1] = s.option_b;
      break;
    case kCommand:
      put16(out, static_cast<std::uint16_t>(s.command));
      break;
    default: {
      const int offset = r->number - kMeasureBase;  // odd: high word; even: low word
      const int kind = offset % 2 == 1 ? offset : offset - 1;
      const auto bit = static_cast<std::uint8_t>(1u << (kind / 2));
      auto &low = s.frozen_low[static_cast<std::size_t>(kind / 2)];
      if (offset % 2 == 1) {
        const auto v = static_cast<std::uint32_t>(measure(kind));
        s.frozen |= bit;
        low = static_cast<std::uint16_t>(v);
        put16(out, static_cast<std::uint16_t>(v >> 16));
      } else if ((s.frozen & bit) != 0) {
        s.frozen &= static_cast<std::uint8_t>(~bit);
        put16(out, low);
      } else {
        put16(out, static_cast<std::uint16_t>(static_cast<std::uint32_t>(measure(kind))));
      }
      break;
    }
  }
  return true;
}

namespace {
const RegisterModel<DravonMotorModel> kRegister("dravon");
}  // namespace

}  // namespace tsim
