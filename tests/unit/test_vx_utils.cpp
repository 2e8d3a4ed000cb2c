// Millisecond clock, key polling and terminal modes on a pseudo-terminal, cursor sequences.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "tarsa/vx_time.h"
#include "tarsa/vx_utils.h"
#include "test_vx_capture.h"
#include "testutil.h"

using core_test::Capture;

namespace {

// Puts `fd` in place of standard input for the scope of the object.
class StdinSwap {
 public:
  explicit StdinSwap(int fd) : saved_(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
  ~StdinSwap() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

// A pseudo-terminal whose slave side is standard input while the object lives.
class PtyStdin {
 public:
  PtyStdin() {
    EXPECT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    swap_ = new StdinSwap(slave_);
  }
  ~PtyStdin() {
    delete swap_;
    close(slave_);
    close(master_);
  }
  void type(const char *s) const {
    ASSERT_EQ(write(master_, s, std::strlen(s)), static_cast<ssize_t>(std::strlen(s)));
  }
  termios attrs() const {
    termios t{};
    tcgetattr(slave_, &t);
    return t;
  }

 private:
  int master_ = -1, slave_ = -1;
  StdinSwap *swap_ = nullptr;
};

bool same_attrs(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cflag == b.c_cflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Reading the clock must come first in the process: its first reading is the reference.
TEST(VxTime, FirstCallIsZeroThenMilliseconds) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(vx_getTime(), 0);
  int t = 0;
  ASSERT_TRUE(testutil::eventually([&] { return (t = vx_getTime()) >= 300; }, 5));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(295))
      << "runs fast";
  EXPECT_LT(t, 1000);
  EXPECT_GE(vx_getTime(), t);
}

TEST(VxKbhit, CountsWaitingBytesWithoutConsumingThem) {
  PtyStdin pty;
  const termios before = pty.attrs();
  ASSERT_TRUE(before.c_lflag & ICANON);
  EXPECT_EQ(vx_kbhit(), 0);
  pty.type("abc");  // no newline: a line-mode count would see nothing
  int n = 0;
  testutil::eventually([&] { return (n = vx_kbhit()) != 0; }, 2);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(vx_kbhit(), 3);
  EXPECT_TRUE(same_attrs(pty.attrs(), before));

  pty.type("\n");
  char buf[4] = {};
  EXPECT_EQ(read(STDIN_FILENO, buf, 3), 3);
  EXPECT_STREQ(buf, "abc");
}

TEST(VxKbhit, NonTerminalGivesMinusOne) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(write(p[1], "xy", 2), 2);
  {
    StdinSwap swap(p[0]);
    EXPECT_EQ(vx_kbhit(), -1);
  }
  close(p[0]);
  close(p[1]);
}

TEST(VxTermMode, EnterAndRestore) {
  PtyStdin pty;
  const termios before = pty.attrs();
  ASSERT_TRUE(before.c_lflag & ECHO);

  // Nothing to restore yet: the argument comes back and the terminal is untouched.
  EXPECT_EQ(vx_change_term_mode(0), 0);
  EXPECT_EQ(vx_change_term_mode(7), 7);
  EXPECT_TRUE(same_attrs(pty.attrs(), before));

  EXPECT_EQ(vx_change_term_mode(1), 0);
  termios raw = pty.attrs();
  EXPECT_FALSE(raw.c_lflag & (ICANON | ECHO));
  raw.c_lflag |= before.c_lflag & (ICANON | ECHO);
  EXPECT_TRUE(same_attrs(raw, before)) << "only ICANON and ECHO may change";

  EXPECT_EQ(vx_change_term_mode(0), 0);
  EXPECT_TRUE(same_attrs(pty.attrs(), before));
  EXPECT_EQ(vx_change_term_mode(0), 0);  // restored once only
}

TEST(VxTermMode, SecondEnterSavesTheChangedSettings) {
  PtyStdin pty;
  EXPECT_EQ(vx_change_term_mode(1), 0);
  EXPECT_EQ(vx_change_term_mode(1), 0);
  EXPECT_EQ(vx_change_term_mode(0), 0);
  EXPECT_FALSE(pty.attrs().c_lflag & ECHO);
}

TEST(VxTermMode, NonTerminal) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  {
    StdinSwap swap(p[0]);
    EXPECT_EQ(vx_change_term_mode(1), -1);
    EXPECT_EQ(vx_change_term_mode(0), 0);  // nothing was saved, so nothing is restored
  }
  close(p[0]);
  close(p[1]);
}

TEST(VxUtils, EscapeSequences) {
  Capture out(STDOUT_FILENO);
  EXPECT_EQ(vx_clrscr(), 6);
  EXPECT_EQ(vx_move_cursor(10, 3), 7);
  EXPECT_EQ(vx_erase_line(4), 3);
  EXPECT_EQ(vx_move_cursor_column(12), 5);
  EXPECT_EQ(vx_move_cursor_line(5), 4);
  EXPECT_EQ(out.text(),
            "\x1b[2J\x1b[1;1f"
            "\x1b[3;10f"
            "\x1b[4;1f\x1b[K"
            "\x1b[12`"
            "\x1b[5d");
}

}  // namespace
