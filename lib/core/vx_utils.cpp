// Console helpers: key polling, line/no-echo terminal modes and ANSI cursor sequences.
#include "tarsa/vx_utils.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cstdio>

namespace {

// vx_kbhit's copies: the settings found on entry and the non-canonical ones used for the count.
termios kbhit_saved{};
termios kbhit_working{};
// vx_change_term_mode's copies: the settings found when the no-echo mode was entered.
termios mode_saved{};
termios mode_working{};
int mode_active = 0;

constexpr char kEsc = '\x1b';

}  // namespace

int vx_kbhit(void) {
  if (tcgetattr(0, &kbhit_saved) != 0) return -1;
  kbhit_working = kbhit_saved;
  kbhit_working.c_iflag = 0;
  kbhit_working.c_oflag = 0;
  kbhit_working.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  kbhit_working.c_cc[VTIME] = 0;
  kbhit_working.c_cc[VMIN] = 1;
  if (tcsetattr(0, TCSANOW, &kbhit_working) != 0) return -1;
  int count = 0;
  const int r = ioctl(0, FIONREAD, &count);
  const int restored = tcsetattr(0, TCSANOW, &kbhit_saved);
  if (r != 0 || restored != 0) return -1;
  return count;
}

int vx_change_term_mode(int mode) {
  if (mode == 1) {
    // Save first: a failed tcgetattr must not leave an unrelated copy to restore later.
    if (tcgetattr(0, &mode_saved) != 0) return -1;
    mode_working = mode_saved;
    mode_working.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    const int r = tcsetattr(0, TCSANOW, &mode_working);
    mode_active = 1;
    return r;
  }
  if (mode_active == 0) return mode;
  const int r = tcsetattr(0, TCSANOW, &mode_saved);
  mode_active = 0;
  return r;
}

int vx_clrscr(void) {
  std::printf("%c[2J", kEsc);
  return std::printf("%c[1;1f", kEsc);
}

int vx_move_cursor(int x, int y) {
  return std::printf("%c[%d;%df", kEsc, y, x);
}

int vx_erase_line(int line) {
  vx_move_cursor(1, line);
  return std::printf("%c[K", kEsc);
}

int vx_move_cursor_column(int column) {
  return std::printf("%c[%d`", kEsc, column);
}

int vx_move_cursor_line(int line) {
  return std::printf("%c[%dd", kEsc, line);
}
