// Model of the IO extension board (see pellix.h for the register map and the analog inputs).
#include "pellix.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <type_traits>

#include "../board.h"
#include "../registry.h"
#include "../world.h"

namespace tsim {

namespace {

enum class Access : std::uint8_t { read, write, both };

struct Register {
  int first, last;  // a range of registers of one kind
  int width;        // bytes
  Access access;
};

constexpr std::array<Register, 8> kRegisters{{
    {0x00, 0x00, 1, Access::read},
    {0x10, 0x1F, 1, Access::both},
    {0x20, 0x20, 2, Access::read},
    {0x21, 0x23, 2, Access::write},
    {0x30, 0x30, 1, Access::read},
    {0x31, 0x32, 1, Access::write},
    {0x40, 0x4B, 2, Access::read},
    {0x4E, 0x4F, 2, Access::read},
}};

std::optional<Register> find(int reg) {
  for (const Register &r : kRegisters)
    if (reg >= r.first && reg <= r.last) return r;
  return std::nullopt;
}

constexpr int kAnalogBase = 0x40;
constexpr std::uint8_t kPowerBits = 0x3F;

}  // namespace

PellixModel::PellixModel(const ModelEntry &entry, Board &board)
    : board_(board),
      world_(World::attach(board)),
      version_(static_cast<std::uint8_t>(entry.params.integer("version"))),
      lsb_first_(entry.params.boolean("lsb_first")),
      inputs_(static_cast<std::uint16_t>(entry.params.integer("inputs"))),
      battery_mv_(entry.params.number("battery_mv")),
      drain_mv_per_min_(entry.params.number("battery_drain_mv_per_min")),
      wave_mid_(entry.params.number("wave_mid")),
      wave_amplitude_(entry.params.number("wave_amplitude")),
      wave_period_ms_(entry.params.integer("wave_period_ms")) {
  static_assert(std::is_trivially_copyable_v<State>);
  bool created = false;
  // Implicit-lifetime type in mapped memory; a new block comes zero-filled, which is the
  // board's power-up state.
  state_ = reinterpret_cast<State *>(
      board.shared_bytes("pellix:" + entry.id, sizeof(State), &created).data());
}

void PellixModel::put16(std::span<std::uint8_t> out, std::uint16_t v) const {
  const auto hi = static_cast<std::uint8_t>(v >> 8), lo = static_cast<std::uint8_t>(v);
  out[0] = lsb_first_ ? lo : hi;
  out[1] = lsb_first_ ? hi : lo;
}

std::uint16_t PellixModel::get16(std::span<const std::uint8_t> in) const {
  return lsb_first_ ? static_cast<std::uint16_t>(in[1] << 8 | in[0])
                    : static_cast<std::uint16_t>(in[0] << 8 | in[1]);
}

std::uint16_t PellixModel::analog(int channel, std::uint64_t now_us) const {
  const double t_ms = static_cast<double>(now_us) / 1000.0;
  double counts = 0;
  if (channel == 0) {
    const double mv = std::max(0.0, battery_mv_ - drain_mv_per_min_ * t_ms / 60000.0);
    counts = mv * 4095.0 / 9900.0;
  } else if (channel == 1) {
    counts = world_->ambient();
  } else {
    const double phase = t_ms / static_cast<double>(wave_period_ms_) - (channel - 2) / 10.0;
    counts = wave_mid_ + wave_amplitude_ * std::sin(2 * std::numbers::pi * phase);
  }
  return static_cast<std::uint16_t>(std::clamp(std::lround(counts), 0L, 4095L));
}

// A readable register's value; conversions latch their time.
std::uint16_t PellixModel::value(int reg, std::uint64_t now_us) {
  State &s = *state_;
  if (reg == 0x00) return version_;
  if (reg >= 0x10 && reg <= 0x1F) return s.config[static_cast<std::size_t>(reg - 0x10)];
  if (reg == 0x20) {
    std::uint16_t outputs = 0;
    for (int io = 0; io < 16; ++io)
      if (s.config[static_cast<std::size_t>(io)] == 1)
        outputs |= static_cast<std::uint16_t>(1u << io);
    return static_cast<std::uint16_t>((s.output & outputs) | (inputs_ & ~outputs));
  }
  if (reg == 0x30) return s.power;
  if (reg == 0x4E) return static_cast<std::uint16_t>(s.time_ms >> 16);
  if (reg == 0x4F) return static_cast<std::uint16_t>(s.time_ms);
  s.time_ms = static_cast<std::uint32_t>(now_us / 1000);
  return analog(reg - kAnalogBase, now_us);
}

bool PellixModel::write(std::span<const std::uint8_t> data) {
  State &s = *state_;
  s.selected = 0;
  const int number = data[0];
  const auto reg = find(number);
  if (!reg) return false;
  const auto payload = data.subspan(1);
  if (payload.empty()) {
    s.selected = static_cast<std::uint8_t>(number + 1);
    return true;
  }
  if (reg->access == Access::read || static_cast<int>(payload.size()) != reg->width) return false;
  if (reg->width == 1) {
    const std::uint8_t v = payload[0];
    if (number >= 0x10 && number <= 0x1F) {
      if (v > 1) return false;
      s.config[static_cast<std::size_t>(number - 0x10)] = v;
    } else {
      if ((v & ~kPowerBits) != 0) return false;
      s.power = static_cast<std::uint8_t>(number == 0x31 ? s.power | v : s.power & ~v);
    }
    return true;
  }
  const std::uint16_t mask = get16(payload);
  if (number == 0x21) s.output |= mask;
  if (number == 0x22) s.output &= static_cast<std::uint16_t>(~mask);
  if (number == 0x23) s.output ^= mask;
  return true;
}

bool PellixModel::read(std::span<std::uint8_t> out) {
  State &s = *state_;
  const int number = s.selected == 0 ? 0x00 : s.selected - 1;
  s.selected = 0;
  const auto reg = find(number);
  if (!reg || reg->access == Access::write || static_cast<int>(out.size()) != reg->width)
    return false;
  const std::uint16_t v = value(number, board_.now_us());
  if (reg->width == 1)
    out[0] = static_cast<std::uint8_t>(v);
  else
    put16(out, v);
  return true;
}

namespace {
const RegisterModel<PellixModel> kRegister("pellix");
}  // namespace

}  // namespace tsim
