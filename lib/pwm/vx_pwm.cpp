// PWM outputs 0 and 1 over the kernel's sysfs PWM interface.
#include "tarsa/vx_pwm.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/unique_fd.h"
#include "tarsa/vx_config.h"

namespace {

constexpr std::uint64_t kNsPerSecond = 1000000000;

// What this process last wrote to a channel; the chip itself is never read back.
struct Channel {
  std::uint64_t period_ns = 0;  // 0: no frequency set yet
  std::uint64_t duty_ns = 0;
  bool duty_known = false;  // false until a duty cycle is written here
  int percent = -1;         // -1: no duty cycle chosen yet
};

bool started = false;
std::string chip;
std::array<Channel, VX_PWM_OUTPUTS> channels;

// The one place where the service touches sysfs: one attribute, one write.
int write_attr(const std::string &path, std::string_view text) {
  const tarsa::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (!fd) return -errno;
  const ssize_t n = ::write(fd.get(), text.data(), text.size());
  return n < 0 ? -errno : (static_cast<std::size_t>(n) == text.size() ? 0 : -EIO);
}

int write_chip(const char *attr, int out) {
  return write_attr(chip + "/" + attr, std::to_string(out));
}

int write_channel(int out, const char *attr, std::uint64_t value) {
  return write_attr(chip + "/pwm" + std::to_string(out) + "/" + attr, std::to_string(value));
}

int set_duty_ns(int out, std::uint64_t duty) {
  const int r = write_channel(out, "duty_cycle", duty);
  if (r == 0) {
    channels[out].duty_ns = duty;
    channels[out].duty_known = true;
  }
  return r;
}

int set_period_ns(int out, std::uint64_t period) {
  const int r = write_channel(out, "period", period);
  if (r == 0) channels[out].period_ns = period;
  return r;
}

bool valid_output(int out) {
  return out >= 0 && out < VX_PWM_OUTPUTS;
}

std::string configured_chip() {
  const char *configured = vx_config_get("pwm.chip");
  return configured != nullptr && *configured != '\0' ? configured : VX_PWM_DEFAULT_CHIP;
}

}  // namespace

extern "C" {

int vx_pwm_init(void) {
  if (started) return 0;
  chip = configured_chip();
  for (int out = 0; out < VX_PWM_OUTPUTS; ++out) {
    const int r = write_chip("export", out);
    // EBUSY: exported already, by an earlier run or by hand; usable as it is.
    if (r != 0 && r != -EBUSY) return r;
  }
  channels = {};
  started = true;
  return 0;
}

int vx_pwm_cleanup(void) {
  if (!started) return -ENODEV;
  int first = 0;
  for (int out = 0; out < VX_PWM_OUTPUTS; ++out) {
    const int off = write_channel(out, "enable", 0);
    const int gone = write_chip("unexport", out);
    if (first == 0) first = off != 0 ? off : gone;
  }
  channels = {};
  started = false;
  return first;
}

int vx_pwm_period(int out, int hz) {
  if (!valid_output(out) || hz <= 0 || static_cast<std::uint64_t>(hz) > kNsPerSecond)
    return -EINVAL;
  if (!started) return -ENODEV;
  Channel &ch = channels[out];
  const std::uint64_t period = kNsPerSecond / static_cast<std::uint64_t>(hz);

  if (ch.percent < 0) {
    int r = set_period_ns(out, period);
    // A pulse left longer than the new period by an earlier user makes the chip refuse it;
    // dropping that pulse is the only way to the period asked for.
    if (r == -EINVAL && !ch.duty_known && set_duty_ns(out, 0) == 0) r = set_period_ns(out, period);
    return r;
  }

  // Keep the chosen percentage; the pulse must never exceed the period, so shorten it first.
  const std::uint64_t duty = period * static_cast<std::uint64_t>(ch.percent) / 100;
  if (duty < ch.duty_ns) {
    if (const int r = set_duty_ns(out, duty); r != 0) return r;
    return set_period_ns(out, period);
  }
  if (const int r = set_period_ns(out, period); r != 0) return r;
  return duty == ch.duty_ns ? 0 : set_duty_ns(out, duty);
}

int vx_pwm_duty(int out, int percent) {
  if (!valid_output(out) || percent < 0 || percent > 100) return -EINVAL;
  if (!started) return -ENODEV;
  Channel &ch = channels[out];
  if (ch.period_ns == 0) return -EINVAL;
  const int r = set_duty_ns(out, ch.period_ns * static_cast<std::uint64_t>(percent) / 100);
  if (r == 0) ch.percent = percent;
  return r;
}

int vx_pwm_activate(int out) {
  if (!valid_output(out)) return -EINVAL;
  if (!started) return -ENODEV;
  return write_channel(out, "enable", 1);
}

// The name's spelling is the API's: programs link by it.
int vx_pwm_desactivate(int out) {
  if (!valid_output(out)) return -EINVAL;
  if (!started) return -ENODEV;
  return write_channel(out, "enable", 0);
}

}  // extern "C"
