// GPIO pins through the board's user GPIO node: claim, release, direction, level.
#include "tarsa/vx_gpio.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/unique_fd.h"
#include "core/vx_codes.h"
#include "gpio/vx_gpio_internal.h"
#include "tarsa/vx_error.h"

namespace {

namespace err = tarsa::err;

// Records the node's driver reads; layouts fixed by the driver (native byte order).
struct gpio_label_req {
  std::int32_t gpio;
  char label[32];
};
struct gpio_value_req {
  std::int32_t gpio;
  std::int32_t value;
};
static_assert(sizeof(gpio_label_req) == 36 && offsetof(gpio_label_req, label) == 4);
static_assert(sizeof(gpio_value_req) == 8 && offsetof(gpio_value_req, value) == 4);

constexpr unsigned long GPIO_REQUEST = _IOW('G', 0x80, struct gpio_label_req);
constexpr unsigned long GPIO_FREE = _IO('G', 0x81);
constexpr unsigned long GPIO_DIR_IN = _IO('G', 0x82);
constexpr unsigned long GPIO_DIR_OUT = _IOW('G', 0x83, struct gpio_value_req);
constexpr unsigned long GPIO_GET = _IOWR('G', 0x84, struct gpio_value_req);
constexpr unsigned long GPIO_SET = _IOW('G', 0x85, struct gpio_value_req);
// The driver knows these numbers; a record of the wrong size would change them.
static_assert(GPIO_REQUEST == 0x40244780UL);
static_assert(GPIO_FREE == 0x4781UL);
static_assert(GPIO_DIR_IN == 0x4782UL);
static_assert(GPIO_DIR_OUT == 0x40084783UL);
static_assert(GPIO_GET == 0xC0084784UL);
static_assert(GPIO_SET == 0x40084785UL);

constexpr const char *kNode = "/dev/user-gpio";
constexpr const char *kFile = "vx_gpio";

// Descriptor of the open node; holds -1 while closed.
tarsa::UniqueFd gFd;

// The one place where requests reach the node. `arg` is a record's address or a pin number.
// Returns the ioctl's result, or the negated errno when it fails.
int gpio_ioctl(unsigned long request, std::uintptr_t arg) {
  const int r = ::ioctl(gFd.get(), request, arg);
  return r < 0 ? -errno : r;
}

int gpio_ioctl(unsigned long request, void *rec) {
  return gpio_ioctl(request, reinterpret_cast<std::uintptr_t>(rec));
}

// Pin numbers passed by value travel as the ioctl's integer argument.
std::uintptr_t pin_arg(int gpio) {
  return static_cast<std::uintptr_t>(static_cast<std::intptr_t>(gpio));
}

constexpr bool known_pin(int gpio) {
  return gpio == 64 || gpio == 65 || gpio == 90 ||
         (gpio >= VX_GPIO_USER_FIRST && gpio <= VX_GPIO_USER_LAST);
}

// Only reports: the request is sent all the same, and the device decides. The message names the
// range 70-87 of the user pins although 64, 65 and 90 pass as well: kept as users know it.
void range_check(int gpio, const char *function, unsigned line) {
  if (!known_pin(gpio))
    vx_error(kFile, line, function, err::ValueOutOfRange, static_cast<unsigned>(gpio), "GPIO", 70u,
             87u);
}

int set_level(int gpio, int value) {
  gpio_value_req req{gpio, value};
  // The callers' contract is the ioctl's own -1, not the errno.
  return gpio_ioctl(GPIO_SET, &req) < 0 ? -1 : 0;
}

}  // namespace

int tarsa::gpio_claim(int gpio, const char *label) {
  if (gpio_request(gpio, label) == 0) return 0;
  gpio_free(gpio);
  return gpio_request(gpio, label);
}

extern "C" {

int gpio_request(int gpio, const char *label) {
  gpio_label_req req{};
  req.gpio = gpio;
  if (label != nullptr) std::strncpy(req.label, label, sizeof req.label);
  req.label[sizeof req.label - 1] = '\0';
  const int r = gpio_ioctl(GPIO_REQUEST, &req);
  return r < 0 ? r : 0;
}

int gpio_free(int gpio) {
  const int r = gpio_ioctl(GPIO_FREE, pin_arg(gpio));
  return r < 0 ? r : 0;
}

int vx_gpio_init(void) {
  if (gFd) return 0;
  gFd.reset(::open(kNode, O_RDWR | O_CLOEXEC));
  if (!gFd) return -1;

  if (tarsa::gpio_claim(VX_GPIO_MUTE, "GPIO_64") != 0) {
    vx_error(kFile, __LINE__, "vx_gpio_init", err::InvalidIdentifier,
             "Could not request GPIO 64 for /MUTE!");
    gFd.reset();
    return -VX_GPIO_MUTE;
  }
  vx_gpio_dir(VX_GPIO_MUTE, 0);

  for (int pin = VX_GPIO_USER_FIRST; pin <= VX_GPIO_USER_LAST; ++pin) {
    std::array<char, 32> label{};
    std::snprintf(label.data(), label.size(), "GPIO_%d", pin);
    if (tarsa::gpio_claim(pin, label.data()) != 0) {
      vx_error(kFile, __LINE__, "vx_gpio_init", err::InvalidIdentifier, label.data());
      // The pins claimed so far are not freed one by one: closing the node is all that is done.
      gFd.reset();
      return -pin;
    }
  }
  return 0;
}

int vx_gpio_cleanup(void) {
  if (!gFd) return -1;
  gpio_free(VX_GPIO_MUTE);
  for (int pin = VX_GPIO_USER_FIRST; pin <= VX_GPIO_USER_LAST; ++pin) {
    // Labelled "vx_gpio_free", not after this function: the report reads as users know it.
    if (gpio_free(pin) != 0) vx_error(kFile, __LINE__, "vx_gpio_free", err::InvalidValue);
  }
  gFd.reset();
  return 0;
}

int vx_gpio_dir(int gpio, int dir) {
  return vx_gpio_dir_val(gpio, dir, 0);
}

int vx_gpio_dir_val(int gpio, int dir, int value) {
  range_check(gpio, "vx_gpio_dir", __LINE__);
  if (dir != 0) {
    const int r = gpio_ioctl(GPIO_DIR_IN, pin_arg(gpio));
    return r < 0 ? r : 0;
  }
  gpio_value_req req{gpio, value};
  const int r = gpio_ioctl(GPIO_DIR_OUT, &req);
  return r < 0 ? r : 0;
}

int vx_gpio_set(int gpio) {
  range_check(gpio, "vx_gpio_set", __LINE__);
  return set_level(gpio, 1);
}

int vx_gpio_clear(int gpio) {
  range_check(gpio, "vx_gpio_clear", __LINE__);
  return set_level(gpio, 0);
}

int vx_gpio_get(int gpio) {
  range_check(gpio, "vx_gpio_get", __LINE__);
  gpio_value_req req{gpio, 0};
  const int r = gpio_ioctl(GPIO_GET, &req);
  return r < 0 ? r : req.value;
}

int vx_gpio_mode(int, int) {
  return 0;
}

int vx_gpio_function(int, int) {
  return 0;
}

}  // extern "C"
