// Library start-up: the library's own options, then the services in their fixed order.
#include "tarsa/vx_init.h"

#include <getopt.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "tarsa/lyn.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"
#include "tarsa/vx_memory.h"
#include "tarsa/vx_pwm.h"

namespace {

int vx_init_done = 0;

// Fixed when this module is compiled, so the line names the library's own build.
constexpr const char *kBuildTime = __TIME__;
constexpr const char *kBuildDate = __DATE__;

constexpr const char *short_opts = "d:v";
constexpr option long_opts[] = {
    {"debug", required_argument, nullptr, 'd'},
    {"version", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

void read_options(int argc, char *argv[]) {
  if (argc <= 0 || argv == nullptr) return;
  // getopt_long moves non-options behind the options it has read. Done on the program's own
  // vector, "--i2c-device PATH -d 3" would become "--i2c-device -d 3 PATH" and the I2C binding,
  // which reads argv after us, would take "-d" for the adapter. So parse a copy: argv stays as
  // the program gave it. optind and opterr are left as getopt_long leaves them.
  const std::size_t n = static_cast<std::size_t>(argc) + 1;
  std::unique_ptr<char *, decltype(&std::free)> copy(
      static_cast<char **>(vx_alloc(static_cast<int>(n * sizeof(char *)))), &std::free);
  std::copy_n(argv, argc, copy.get());
  copy.get()[argc] = nullptr;

  for (;;) {
    const int c = getopt_long(argc, copy.get(), short_opts, long_opts, nullptr);
    if (c == -1) break;
    if (c == 'd') {
      vx_set_debug_level(static_cast<unsigned>(std::strtol(optarg, nullptr, 10)));
    } else if (c == 'v') {
      // The form of the version line (two blanks between time and date) is fixed: tools read it.
      vx_msg("libtarsa version %u.%u [%s  %s]\n", static_cast<unsigned>(VX_VERSION_MAJOR),
             static_cast<unsigned>(VX_VERSION_MINOR), kBuildTime, kBuildDate);
    }
    // Anything else belongs to the bus bindings; getopt_long has already said so on stderr.
  }
}

// The lines, blank lines around them included, are fixed: scripts look for them on standard error.
int failed(const char *line, int result) {
  std::fputs(line, stderr);
  return result;
}

}  // namespace

extern "C" {

int vx_init(int argc, char *argv[]) {
  if (vx_init_done) return 1;
  read_options(argc, argv);

  if (const int r = vx_config_init(argc, argv); r < 0)
    return failed("\nvx_config_init ERROR!\n\n", r);
  if (const int r = lyn_init(argc, argv); r < 0) return failed("\nlyn_init ERROR!\n\n", r);
  if (const int r = vx_pwm_init(); r < 0) return failed("\nvx_pwm_init ERROR!\n\n", r);
  if (const int r = vx_gpio_init(); r < 0) return failed("\nvx_gpio_init ERROR!\n\n", r);

  std::atexit(vx_exit);
  vx_init_done = 1;
  return 1;
}

void vx_exit(void) {
  if (!vx_init_done) return;
  // Not the reverse of start-up: the device layer stops first, the PWM service last.
  lyn_exit();
  vx_config_exit();
  vx_gpio_cleanup();
  vx_pwm_cleanup();
  vx_init_done = 0;
}

}  // extern "C"
