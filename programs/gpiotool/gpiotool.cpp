// gpiotool: console for the board's user GPIO pins and its two PWM outputs, one command a line.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "program_usage.h"
#include "tarsa/vx_cmdparser.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_pwm.h"
#include "tarsa/vx_utils.h"

namespace {

volatile sig_atomic_t quitReq = 0;
char buf[1024];

// Test settings of PWM outputs 0 and 1.
constexpr std::array<int, 2> FREQUENCIES = {16384, 50000};
constexpr std::array<int, 2> DUTIES = {50, 25};

// Rows of the live display, one per (odd, even) pair of user pins from (71, 70) up; rows 7 and
// 11 stay empty, as users of the display know it.
constexpr std::array<int, 9> kDisplayRows = {2, 3, 4, 5, 6, 8, 9, 10, 12};
static_assert(2 * kDisplayRows.size() == VX_GPIO_USER_LAST - VX_GPIO_USER_FIRST + 1);

void ctrlc_handler(int) {
  quitReq = 1;
}

int number(const char *text) {
  return static_cast<int>(std::strtol(text, nullptr, 10));
}

const char *direction(int dir) {
  return dir != 0 ? "input" : "output";
}

int quit(int, char *[], void *) {
  quitReq = 1;
  return 0;
}

int readio(int, char *argv[], void *) {
  const int pin = number(argv[1]);
  const int r = vx_gpio_get(pin);
  if (r < 0)
    std::printf("wrong io or not in input mode (rc = %d)\r\n", r);
  else
    std::printf("read io %d: %d\r\n", pin, r);
  return 0;
}

int setio(int, char *argv[], void *) {
  vx_gpio_set(number(argv[1]));
  return 0;
}

int resetio(int, char *argv[], void *) {
  vx_gpio_clear(number(argv[1]));
  return 0;
}

int configio(int, char *argv[], void *) {
  const int pin = number(argv[1]);
  const int dir = number(argv[2]);
  std::printf("Configure GPIO %d for %s\n", pin, direction(dir));
  vx_gpio_function(pin, 0);
  vx_gpio_dir(pin, dir);
  return 0;
}

int configio_all(int, char *argv[], void *) {
  const int dir = number(argv[1]);
  std::printf("Configure GPIO %d to %d for %s\n", VX_GPIO_USER_FIRST, VX_GPIO_USER_LAST,
              direction(dir));
  for (int pin = VX_GPIO_USER_FIRST; pin <= VX_GPIO_USER_LAST; ++pin) {
    vx_gpio_function(pin, 0);
    vx_gpio_dir(pin, dir);
  }
  return 0;
}

int setio_all(int, char *[], void *) {
  for (int pin = VX_GPIO_USER_FIRST; pin <= VX_GPIO_USER_LAST; ++pin) vx_gpio_set(pin);
  return 0;
}

int cleario_all(int, char *[], void *) {
  for (int pin = VX_GPIO_USER_FIRST; pin <= VX_GPIO_USER_LAST; ++pin) vx_gpio_clear(pin);
  return 0;
}

int readio_all(int, char *[], void *) {
  vx_change_term_mode(1);
  vx_clrscr();
  std::printf("Push anykey to stop!\n\n");
  // Ctrl-C ends the display too: with no key typed the program would not get to its end.
  // vx_kbhit() fails (-1) when the input is no terminal, which ends the display as well.
  while (vx_kbhit() == 0 && !quitReq) {
    for (std::size_t k = 0; k < kDisplayRows.size(); ++k) {
      const int even = VX_GPIO_USER_FIRST + 2 * static_cast<int>(k);
      std::printf("\x1b[%d;%dH", kDisplayRows[k], 0);
      std::printf(" gpios: %d:%d | ", even + 1, vx_gpio_get(even + 1));
      std::printf("%d:%d\n", even, vx_gpio_get(even));
    }
    std::fflush(stdout);
    usleep(200000);
  }
  vx_change_term_mode(0);
  return 0;
}

int pwms_test_on(int, char *[], void *) {
  for (int ch = 0; ch < VX_PWM_OUTPUTS; ++ch) {
    const int freq = FREQUENCIES[ch];
    const int duty = DUTIES[ch];
    if (vx_pwm_period(ch, freq) != 0) {
      std::printf("\nERROR: Cannot set frequency %d Hz to pwm %d!\n", freq, ch);
      continue;
    }
    if (vx_pwm_duty(ch, duty) != 0) {
      std::printf("\nERROR: Cannot set duty cycle %d %% to pwm %d!\n", duty, ch);
      continue;
    }
    if (vx_pwm_activate(ch) != 0)
      std::printf("\nERROR: Cannot activate pwm %d!\n", ch);
    else
      std::printf("pwm %d:   ->  duty %3d%%  freq %7d\n", ch, duty, freq);
  }
  return 0;
}

int pwms_test_off(int, char *[], void *) {
  for (int ch = 0; ch < VX_PWM_OUTPUTS; ++ch)
    if (vx_pwm_desactivate(ch) != 0) std::printf("\nERROR: Cannot desactivate pwm %d!\n", ch);
  return 0;
}

int pwm_on(int, char *argv[], void *) {
  if (const int r = vx_pwm_activate(number(argv[1])); r != 0)
    std::printf("wrong pwm (error: %d)\r\n", r);
  return 0;
}

int pwm_off(int, char *argv[], void *) {
  if (vx_pwm_desactivate(number(argv[1])) != 0) std::printf("wrong pwm\r\n");
  return 0;
}

int pwm_ratio(int, char *argv[], void *) {
  if (vx_pwm_duty(number(argv[1]), number(argv[2])) != 0) std::printf("wrong pwm\r\n");
  return 0;
}

int pwm_freq(int, char *argv[], void *) {
  if (vx_pwm_period(number(argv[1]), number(argv[2])) != 0) std::printf("wrong pwm\r\n");
  return 0;
}

int help(int, char *[], void *);

// The console's command language; names and argument counts are what its users type.
const vx_command_t cmds[] = {
    {"quit", 0, 0, quit},
    {"exit", 0, 0, quit},
    {"bye", 0, 0, quit},
    {"readio", 1, 1, readio},
    {"setio", 1, 1, setio},
    {"cleario", 1, 1, resetio},
    {"configio", 2, 2, configio},
    {"pwms_test_on", 0, 0, pwms_test_on},
    {"pwms_test_off", 0, 0, pwms_test_off},
    {"configio_all", 1, 1, configio_all},
    {"setio_all", 0, 0, setio_all},
    {"cleario_all", 0, 0, cleario_all},
    {"readio_all", 0, 0, readio_all},
    {"pwm_on", 1, 1, pwm_on},
    {"pwm_off", 1, 1, pwm_off},
    {"pwm_ratio", 2, 2, pwm_ratio},
    {"pwm_freq", 2, 2, pwm_freq},
    {"help", 0, 0, help},
    {nullptr, 0, 0, nullptr},
};

int help(int, char *[], void *) {
  for (const vx_command_t *c = cmds; c->name != nullptr; ++c) std::printf("%s\r\n", c->name);
  return 0;
}

enum class Input { line, dropped, end };

// Reads one line into buf, without its newline. A line longer than buf holds is dropped whole,
// with a message: its tail must not run as a command of its own.
Input read_line() {
  if (std::fgets(buf, sizeof buf, stdin) == nullptr) return Input::end;
  const std::size_t len = std::strlen(buf);
  if (len > 0 && buf[len - 1] == '\n') {
    buf[len - 1] = '\0';
    return Input::line;
  }
  if (len < sizeof buf - 1) return Input::line;  // the last line, without a newline
  int c = std::getchar();
  if (c == '\n' || c == EOF) return Input::line;  // exactly as long as buf allows
  while (c != '\n' && c != EOF) c = std::getchar();
  std::fprintf(stderr, "line longer than %zu characters ignored\r\n", sizeof buf - 1);
  return Input::dropped;
}

}  // namespace

int main(int argc, char *argv[]) {
  const int checked = vx_check_options(argc, argv, program_usage, nullptr, nullptr);
  if (checked != VX_OPTIONS_OK) return checked;
  vx_set_debug_level(2);
  if (vx_init(argc, argv) < 0) return 1;

  // SA_RESTART: Ctrl-C does not cut the line being typed; the loop ends after it has run.
  struct sigaction sa {};
  sa.sa_handler = ctrlc_handler;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);

  std::printf("Velmor GPIO Test Program 2\r\n");
  vx_pwm_init();
  vx_gpio_init();

  while (!quitReq) {
    std::printf("\n> ");
    std::fflush(stdout);
    const Input in = read_line();
    if (in == Input::end) break;  // the end of the input ends the console as "quit" does
    if (in == Input::line) vx_parse_command(buf, cmds, nullptr);
  }
  return 0;
}
