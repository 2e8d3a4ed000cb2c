// sysfs PWM tree: export/unexport, npwm, and per channel period, duty_cycle, enable, polarity,
// with the kernel's checks. Channel state is shared by every process of the run.
#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "nodes.h"
#include "runtime.h"
#include "scenario.h"

namespace tsim {

namespace {

constexpr int kMaxChannels = 16;

struct PwmState {
  std::uint8_t exported[kMaxChannels];
  std::uint8_t enabled[kMaxChannels];
  std::uint8_t inversed[kMaxChannels];
  std::uint64_t period[kMaxChannels];
  std::uint64_t duty[kMaxChannels];
};

struct Chip {
  std::string path;
  int npwm = 0;
  PwmState *state = nullptr;
};

Chip chip() {
  Chip c;
  Board &b = rt().board();
  const toml::table *t = b.table("pwm");
  if (!t) return c;
  c.path = scenario::get_string(*t, "chip", "/sys/class/pwm/pwmchip0");
  c.npwm = static_cast<int>(scenario::get_int(*t, "npwm", 2, 1, kMaxChannels));
  bool created = false;
  auto mem = b.shared_bytes("pwm:" + c.path, sizeof(PwmState), &created);
  c.state = reinterpret_cast<PwmState *>(mem.data());
  return c;
}

// Splits a node path into channel (-1 for the chip itself) and attribute ("" for a directory).
bool split(const Chip &c, const std::string &node, int *channel, std::string *attr) {
  if (c.path.empty() || node.compare(0, c.path.size(), c.path) != 0) return false;
  std::string_view rest = std::string_view(node).substr(c.path.size());
  *channel = -1;
  attr->clear();
  if (rest.empty()) return true;
  if (rest[0] != '/') return false;
  rest.remove_prefix(1);
  if (rest.substr(0, 3) == "pwm" && rest.size() > 3 && rest[3] >= '0' && rest[3] <= '9') {
    auto slash = rest.find('/');
    std::string_view num = rest.substr(3, slash == std::string_view::npos ? std::string_view::npos : slash - 3);
    int ch = 0;
    auto [p, ec] = std::from_chars(num.data(), num.data() + num.size(), ch);
    if (ec != std::errc() || p != num.data() + num.size()) return false;
    *channel = ch;
    if (slash != std::string_view::npos) *attr = std::string(rest.substr(slash + 1));
    return true;
  }
  *attr = std::string(rest);
  return true;
}

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

int fail(int err) {
  errno = err;
  return -1;
}

}  // namespace

bool pwm_exists(const std::string &node, bool *is_dir) {
  Chip c = chip();
  int ch;
  std::string attr;
  if (!split(c, node, &ch, &attr)) return false;
  if (ch < 0) {
    *is_dir = attr.empty();
    return attr.empty() || attr == "export" || attr == "unexport" || attr == "npwm";
  }
  if (ch >= c.npwm || !c.state->exported[ch]) return false;
  *is_dir = attr.empty();
  return attr.empty() || attr == "period" || attr == "duty_cycle" || attr == "enable" || attr == "polarity";
}

int pwm_open_check(const std::string &node, int flags) {
  bool dir = false;
  if (!pwm_exists(node, &dir)) return ENOENT;
  int acc = flags & O_ACCMODE;
  if (dir && acc != O_RDONLY) return EISDIR;
  if (!dir && (flags & O_DIRECTORY)) return ENOTDIR;
  return 0;
}

namespace {
std::string attr_text(const Chip &c, int ch, const std::string &attr) {
  if (ch < 0) return std::to_string(c.npwm) + "\n";
  if (attr == "period") return std::to_string(c.state->period[ch]) + "\n";
  if (attr == "duty_cycle") return std::to_string(c.state->duty[ch]) + "\n";
  if (attr == "enable") return c.state->enabled[ch] ? "1\n" : "0\n";
  return c.state->inversed[ch] ? "inversed\n" : "normal\n";
}
}  // namespace

ssize_t pwm_read(OpenFile &f, void *buf, size_t len) {
  Chip c = chip();
  int ch;
  std::string attr;
  bool dir = false;
  if (!split(c, f.node, &ch, &attr) || !pwm_exists(f.node, &dir)) return fail(ENODEV);
  if (dir) return fail(EISDIR);
  if (ch < 0 && attr != "npwm") return fail(EIO);  // export and unexport are write-only
  const std::string text = attr_text(c, ch, attr);
  if (f.offset >= static_cast<off_t>(text.size())) return 0;
  size_t n = std::min(len, text.size() - static_cast<size_t>(f.offset));
  std::memcpy(buf, text.data() + f.offset, n);
  f.offset += static_cast<off_t>(n);
  return static_cast<ssize_t>(n);
}

ssize_t pwm_write(OpenFile &f, const void *buf, size_t len) {
  std::string_view text(static_cast<const char *>(buf), len);
  Rec rec(f.path, "write");
  rec.str("path", f.path).str("data", text);
  auto done = [&](int err) -> ssize_t {
    rec.emit(err ? -1 : static_cast<long long>(len), err);
    return err ? fail(err) : static_cast<ssize_t>(len);
  };
  Chip c = chip();
  int ch;
  std::string attr;
  bool dir = false;
  if (!split(c, f.node, &ch, &attr) || !pwm_exists(f.node, &dir)) return done(ENODEV);
  if (dir) return done(EISDIR);
  PwmState &s = *c.state;
  std::uint64_t v = 0;
  if (ch < 0) {
    if (attr == "npwm") return done(EIO);
    if (!parse_u64(text, &v)) return done(EINVAL);
    if (v >= static_cast<std::uint64_t>(c.npwm)) return done(ENODEV);
    if (attr == "export") {
      if (s.exported[v]) return done(EBUSY);
      s.exported[v] = 1;
    } else {
      if (!s.exported[v]) return done(ENODEV);
      s.exported[v] = 0;
    }
    return done(0);
  }
  if (attr == "polarity") {
    std::string_view p = chomp(text);
    if (p != "normal" && p != "inversed") return done(EINVAL);
    if (s.enabled[ch]) return done(EBUSY);
    s.inversed[ch] = p == "inversed";
    return done(0);
  }
  if (!parse_u64(text, &v)) return done(EINVAL);
  if (attr == "period") {
    if (s.duty[ch] > v || (v == 0 && s.enabled[ch])) return done(EINVAL);
    s.period[ch] = v;
  } else if (attr == "duty_cycle") {
    if (v > s.period[ch]) return done(EINVAL);
    s.duty[ch] = v;
  } else {
    if (v > 1) return done(EINVAL);
    if (v == 1 && s.period[ch] == 0) return done(EINVAL);
    s.enabled[ch] = static_cast<std::uint8_t>(v);
  }
  return done(0);
}

}  // namespace tsim
