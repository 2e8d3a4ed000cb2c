// sysfs PWM chip (see pwm.h).
#include "pwm.h"

#include <cerrno>
#include <charconv>
#include <type_traits>

#include "../board.h"
#include "../registry.h"

namespace tsim {

namespace {

constexpr const char *kChannelFiles[] = {"period", "duty_cycle", "enable", "polarity"};

// kstrtou64-style parsing: decimal, 0x hex or 0 octal, one trailing newline allowed.
bool parse_u64(std::string_view s, std::uint64_t *v) {
  if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
  if (s.empty()) return false;
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    s.remove_prefix(1);
  }
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *v, base);
  return ec == std::errc() && p == s.data() + s.size();
}

std::string_view chomp(std::string_view s) {
  if (!s.empty() && s.back() == '\n') s.remove_suffix(1);
  return s;
}

}  // namespace

PwmChip::PwmChip(const ModelEntry &entry, Board &board)
    : chip_(entry.params.string("chip")), npwm_(static_cast<int>(entry.params.integer("npwm"))) {
  static_assert(std::is_trivially_copyable_v<State>);
  bool created = false;
  // Implicit-lifetime type in mapped memory; a new block comes zero-filled.
  state_ =
      reinterpret_cast<State *>(board.shared_bytes("pwm:" + chip_, sizeof(State), &created).data());
  files_ = {{chip_, 0755, true, true},
            {chip_ + "/export", 0200, false, true},
            {chip_ + "/unexport", 0200, false, true},
            {chip_ + "/npwm", 0444, false, true}};
  for (int c = 0; c < npwm_; ++c) {
    const std::string dir = chip_ + "/pwm" + std::to_string(c);
    files_.push_back({dir, 0755, true, false});
    for (const char *f : kChannelFiles) files_.push_back({dir + "/" + f, 0644, false, false});
  }
}

bool PwmChip::present(std::string_view path) const {
  int channel;
  std::string_view attr;
  return split(path, &channel, &attr);
}

bool PwmChip::exported(int channel) const {
  return channel >= 0 && channel < npwm_ && state_->exported[channel] != 0;
}

bool PwmChip::split(std::string_view path, int *channel, std::string_view *attr) const {
  if (path.substr(0, chip_.size()) != chip_) return false;
  std::string_view rest = path.substr(chip_.size());
  *channel = -1;
  *attr = {};
  if (rest.empty()) return true;
  if (rest[0] != '/') return false;
  rest.remove_prefix(1);
  if (rest.substr(0, 3) == "pwm" && rest.size() > 3 && rest[3] >= '0' && rest[3] <= '9') {
    const auto slash = rest.find('/');
    std::string_view num =
        rest.substr(3, slash == std::string_view::npos ? std::string_view::npos : slash - 3);
    int ch = 0;
    auto [p, ec] = std::from_chars(num.data(), num.data() + num.size(), ch);
    if (ec != std::errc() || p != num.data() + num.size() || !exported(ch)) return false;
    *channel = ch;
    if (slash != std::string_view::npos) *attr = rest.substr(slash + 1);
    return true;
  }
  *attr = rest;
  return true;
}

int PwmChip::read(std::string_view path, std::string *text) const {
  int ch;
  std::string_view attr;
  if (!split(path, &ch, &attr)) return ENODEV;  // gone while open (unexported)
  if (attr.empty()) return EISDIR;
  if (ch < 0) {
    if (attr != "npwm") return EIO;  // export and unexport are write-only
    *text = std::to_string(npwm_) + "\n";
  } else if (attr == "period") {
    *text = std::to_string(state_->period[ch]) + "\n";
  } else if (attr == "duty_cycle") {
    *text = std::to_string(state_->duty[ch]) + "\n";
  } else if (attr == "enable") {
    *text = state_->enabled[ch] ? "1\n" : "0\n";
  } else {
    *text = state_->inversed[ch] ? "inversed\n" : "normal\n";
  }
  return 0;
}

int PwmChip::write(std::string_view path, std::string_view text) {
  int ch;
  std::string_view attr;
  if (!split(path, &ch, &attr)) return ENODEV;
  if (attr.empty()) return EISDIR;
  State &s = *state_;
  std::uint64_t v = 0;
  if (ch < 0) {
    if (attr == "npwm") return EIO;
    if (!parse_u64(text, &v)) return EINVAL;
    if (v >= static_cast<std::uint64_t>(npwm_)) return ENODEV;
    if (attr == "export") {
      if (s.exported[v]) return EBUSY;
      s.exported[v] = 1;
    } else {
      if (!s.exported[v]) return ENODEV;
      s.exported[v] = 0;
    }
    return 0;
  }
  if (attr == "polarity") {
    const std::string_view p = chomp(text);
    if (p != "normal" && p != "inversed") return EINVAL;
    if (s.enabled[ch]) return EBUSY;
    s.inversed[ch] = p == "inversed";
    return 0;
  }
  if (!parse_u64(text, &v)) return EINVAL;
  if (attr == "period") {
    if (s.duty[ch] > v || (v == 0 && s.enabled[ch])) return EINVAL;
    s.period[ch] = v;
  } else if (attr == "duty_cycle") {
    if (v > s.period[ch]) return EINVAL;
    s.duty[ch] = v;
  } else {
    if (v > 1) return EINVAL;
    if (v == 1 && s.period[ch] == 0) return EINVAL;
    s.enabled[ch] = static_cast<std::uint8_t>(v);
  }
  return 0;
}

namespace {
const RegisterModel<PwmChip> kRegister("pwm");
}  // namespace

}  // namespace tsim
