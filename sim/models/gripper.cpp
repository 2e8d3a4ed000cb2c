// Models of the gripper's arm and hand modules (see gripper.h for the register maps).
#include "gripper.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "../board.h"
#include "../registry.h"

namespace tsim {

namespace {

void put16(std::array<std::uint8_t, 256> &image, int reg, int v) {
  const auto u = static_cast<std::uint16_t>(std::clamp(v, 0, 0xFFFF));
  image[static_cast<std::size_t>(reg)] = static_cast<std::uint8_t>(u >> 8);
  image[static_cast<std::size_t>(reg) + 1] = static_cast<std::uint8_t>(u);
}

int get16(const std::array<std::uint8_t, 256> &image, int reg) {
  return image[static_cast<std::size_t>(reg)] << 8 | image[static_cast<std::size_t>(reg) + 1];
}

// Moves `pos` towards `target` by at most `rate * dt`; true while it has not arrived.
bool approach(double &pos, double target, double rate, double dt) {
  const double step = rate * dt;
  if (std::fabs(target - pos) <= step) {
    pos = target;
    return false;
  }
  pos += target > pos ? step : -step;
  return rate > 0;
}

// Seconds since the module's last access, and the clock brought forward.
double elapsed(std::uint64_t &last_us, std::uint64_t now_us) {
  if (last_us == 0 || now_us < last_us) {
    last_us = now_us;
    return 0;
  }
  const double dt = static_cast<double>(now_us - last_us) * 1e-6;
  last_us = now_us;
  return dt;
}

template <typename State>
State *shared_state(Board &board, const char *kind, const ModelEntry &entry, bool *created) {
  static_assert(std::is_trivially_copyable_v<State>);
  const std::string key = std::string(kind) + ":" + entry.id;
  // Implicit-lifetime type in mapped memory; a new block comes zero-filled.
  return reinterpret_cast<State *>(board.shared_bytes(key, sizeof(State), created).data());
}

}  // namespace

// ---- register file ----

bool RegisterSlave::write(std::span<const std::uint8_t> data) {
  const int reg = data[0];
  const auto values = data.subspan(1);
  for (std::size_t i = 0; i < values.size(); ++i)
    if (reg + static_cast<int>(i) > 255 || !writable(reg + static_cast<int>(i))) return false;
  std::array<std::uint8_t, 256> image{};
  render(image);
  if (!values.empty()) {
    std::copy(values.begin(), values.end(), image.begin() + reg);
    store(image);
  }
  pointer() = static_cast<std::uint8_t>(reg + static_cast<int>(values.size()));
  return true;
}

bool RegisterSlave::read(std::span<std::uint8_t> out) {
  std::array<std::uint8_t, 256> image{};
  render(image);
  for (auto &b : out) b = image[pointer()++];
  return true;
}

// ---- arm ----

GripperArmModel::GripperArmModel(const ModelEntry &entry, Board &board)
    : RegisterSlave(board),
      version_(static_cast<std::uint8_t>(entry.params.integer("version"))),
      battery_percent_(static_cast<int>(entry.params.integer("battery_percent"))),
      lower_(static_cast<std::uint16_t>(entry.params.integer("lower"))),
      upper_(static_cast<std::uint16_t>(entry.params.integer("upper"))) {
  if (upper_ < lower_) throw error(entry.params.where("upper"), "upper: below the lower limit");
  bool created = false;
  state_ = shared_state<State>(board, "gripper_arm", entry, &created);
  if (created) {
    state_->max_speed = 8;
    state_->position = std::clamp<double>(entry.params.number("position"), lower_, upper_);
    state_->order = static_cast<std::uint16_t>(state_->position);
  }
}

void GripperArmModel::advance() {
  State &s = *state_;
  const double dt = elapsed(s.last_us, board_.now_us());
  const double target = s.search != 0 ? lower_ : s.order;
  s.moving = approach(s.position, target, s.max_speed * kUnitsPerLevel, dt) ? 1 : 0;
  if (s.search != 0 && s.position == lower_) {
    s.search = 0;
    s.order = lower_;
  }
}

void GripperArmModel::render(std::array<std::uint8_t, 256> &image) {
  advance();
  const State &s = *state_;
  const bool moving = s.moving != 0;
  image[48] = version_;
  put16(image, 49, static_cast<int>(std::lround(s.position)));
  image[51] = moving ? s.max_speed : 0;
  put16(image, 52, moving ? 40 + 25 * s.max_speed : 40);
  image[54] = s.search == 0 && s.position == s.order ? 1 : 0;
  put16(image, 55, moving ? 7250 : 7400);
  image[57] = static_cast<std::uint8_t>(battery_percent_);
  put16(image, 58, upper_);
  put16(image, 60, lower_);
  put16(image, 62, s.order);
  image[64] = s.max_speed;
  image[65] = s.search;
}

void GripperArmModel::store(const std::array<std::uint8_t, 256> &image) {
  State &s = *state_;
  s.order = static_cast<std::uint16_t>(std::clamp<int>(get16(image, 62), lower_, upper_));
  s.max_speed = std::min<std::uint8_t>(image[64], 15);
  if (image[65] != 0) s.search = 1;
}

// ---- hand ----

GripperHandModel::GripperHandModel(const ModelEntry &entry, Board &board)
    : RegisterSlave(board),
      version_(static_cast<std::uint8_t>(entry.params.integer("version"))),
      object_(entry.params.boolean("object")),
      object_position_(entry.params.number("object_position")),
      object_resistivity_(static_cast<std::uint16_t>(entry.params.integer("object_resistivity"))),
      speed_(entry.params.number("speed")) {
  bool created = false;
  state_ = shared_state<State>(board, "gripper_hand", entry, &created);
  if (created) state_->torque = 500;
}

bool GripperHandModel::squeezing() const {
  const State &s = *state_;
  return object_ && s.search == 0 && s.order > object_position_ && s.position >= object_position_;
}

void GripperHandModel::advance() {
  State &s = *state_;
  const double dt = elapsed(s.last_us, board_.now_us());
  double target = s.search != 0 ? 0.0 : s.order;
  // The object between the fingers stops them when they close on it.
  if (object_ && target > object_position_ && s.position <= object_position_)
    target = object_position_;
  s.moving = approach(s.position, target, speed_, dt) ? 1 : 0;
  if (s.search != 0 && s.position == 0) s.search = 0;
}

void GripperHandModel::render(std::array<std::uint8_t, 256> &image) {
  advance();
  const State &s = *state_;
  const bool moving = s.moving != 0, squeeze = squeezing();
  const int pos = static_cast<int>(std::lround(s.position));
  image[48] = version_;
  image[49] = static_cast<std::uint8_t>(pos);
  image[50] = s.order;
  image[51] = moving ? static_cast<std::uint8_t>(std::min(255.0, speed_)) : 0;
  put16(image, 52, squeeze ? std::min<int>(s.torque, 1000) : moving ? 120 : 30);
  put16(image, 54, s.torque);
  put16(image, 56, squeeze ? object_resistivity_ : 0xFFFF);
  put16(image, 58, object_ ? 600 : 2000);
  put16(image, 60, object_ ? 600 : 2000);
  const int distance =
      object_ ? std::max(0, static_cast<int>(std::lround((object_position_ - s.position) / 4)))
              : 255;
  put16(image, 62, distance);
  put16(image, 64, distance);
  image[66] = object_ ? 1 : 0;
  image[67] = s.search == 0 && (s.position == s.order || squeeze) ? 1 : 0;
  image[68] = s.search;
  image[69] = static_cast<std::uint8_t>((pos == 0 ? 1 : 0) | (pos == 255 ? 2 : 0));
}

void GripperHandModel::store(const std::array<std::uint8_t, 256> &image) {
  State &s = *state_;
  s.order = image[50];
  s.torque = static_cast<std::uint16_t>(get16(image, 54));
  if (image[68] != 0) s.search = 1;
}

namespace {
const RegisterModel<GripperArmModel> kRegisterArm("gripper_arm");
const RegisterModel<GripperHandModel> kRegisterHand("gripper_hand");
}  // namespace

}  // namespace tsim
