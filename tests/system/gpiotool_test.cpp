// gpiotool typed at on a pseudo-terminal, on this test's simulated board: command texts byte for
// byte with the pin and PWM operations on the trace, a PWM output that fails, and the live
// display with the key that stops it left for the console.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "simtest.h"
#include "testutil.h"

extern char **environ;

namespace {

const std::string kChip = "/sys/class/pwm/pwmchip0";

// gpiotool with a pseudo-terminal as standard input and output (line input, no echo, output
// bytes as written) and a pipe as standard error. It inherits the simulator's environment, so
// it shares this test's board and trace.
class Console {
 public:
  Console() {
    std::string tty;
    master_ = testutil::open_pty(tty);
    slave_ = ::open(tty.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    t.c_lflag |= ICANON;
    ::tcsetattr(slave_, TCSANOW, &t);
    int pipe_fds[2];
    EXPECT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    err_ = pipe_fds[0];
    ::fcntl(master_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, slave_, 0);
    posix_spawn_file_actions_adddup2(&fa, slave_, 1);
    posix_spawn_file_actions_adddup2(&fa, pipe_fds[1], 2);
    std::string program = simtest::bin("gpiotool");
    char *argv[] = {program.data(), nullptr};
    EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipe_fds[1]);
  }
  ~Console() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(master_);
    ::close(slave_);
    ::close(err_);
  }

  void type(const std::string &text) {
    EXPECT_EQ(::write(master_, text.data(), text.size()), ssize_t(text.size()));
  }

  // Waits until standard output holds `text`, at most 10 s.
  bool shows(const std::string &text) {
    return testutil::eventually([&] { return drain(), out.find(text) != std::string::npos; }, 10);
  }

  bool line_mode() const {
    termios t{};
    ::tcgetattr(slave_, &t);
    return (t.c_lflag & ICANON) != 0;
  }

  // Exit status once the program has ended (at most 10 s), -1 if it has not.
  int status() {
    int st = 0;
    const bool ended =
        testutil::eventually([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; }, 10);
    if (!ended) return -1;
    pid_ = -1;
    drain();
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }

  std::string out, err;

 private:
  void drain() {
    char buf[4096];
    for (auto [fd, text] : {std::pair{master_, &out}, std::pair{err_, &err}})
      for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text->append(buf, std::size_t(n));
  }
  int master_ = -1, slave_ = -1, err_ = -1;
  pid_t pid_ = -1;
};

std::vector<std::string> pin_ops(std::size_t mark, int pin) {
  std::vector<std::string> out;
  for (const auto &r : simtest::trace_since(mark, "/dev/user-gpio"))
    if (r.value("gpio", -1) == pin && r["op"] != "request" && r["op"] != "free")
      out.push_back(testutil::gpio_op(r));
  return out;
}

using simtest::pwm_writes;

class Gpiotool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
    simtest::load("");
    unsetenv("TARSA_CONFIG");
  }
};

TEST_F(Gpiotool, CommandsAsTyped) {
  simtest::gpio_input(75, 1);
  const auto mark = simtest::trace_mark();
  Console c;
  c.type(
      "READIO 75\nreadio 75\nreadio\nconfigio 75 1\nconfigio 75 x\nreadio "
      "75\npwms_test_on\n\nhelp\n\x04");
  ASSERT_EQ(c.status(), 0) << c.out << c.err;
  EXPECT_EQ(c.out,
            "Velmor GPIO Test Program 2\r\n"
            "\n> read io 75: 1\r\n"
            "\n> read io 75: 1\r\n"
            "\n> "
            "\n> Configure GPIO 75 for input\n"
            "\n> Configure GPIO 75 for output\n"
            "\n> wrong io or not in input mode (rc = -1)\r\n"
            "\n> pwm 0:   ->  duty  50%  freq   16384\npwm 1:   ->  duty  25%  freq   50000\n"
            "\n> "
            "\n> quit\r\nexit\r\nbye\r\nreadio\r\nsetio\r\ncleario\r\nconfigio\r\npwms_test_on\r\n"
            "pwms_test_off\r\nconfigio_all\r\nsetio_all\r\ncleario_all\r\nreadio_all\r\npwm_"
            "on\r\npwm_off\r\n"
            "pwm_ratio\r\npwm_freq\r\nhelp\r\n"
            "\n> ");
  // The parser's report, after its source location.
  EXPECT_EQ(c.err.rfind("Error: vx_cmdparser:", 0), 0u) << c.err;
  EXPECT_TRUE(
      c.err.ends_with(":vx_parse_command command 'readio' requires a minimum of 1 arguments\n"))
      << c.err;
  EXPECT_EQ(std::count(c.err.begin(), c.err.end(), '\n'), 1);
  EXPECT_EQ(pin_ops(mark, 75),
            (std::vector<std::string>{"get 75", "get 75", "dir_in 75", "dir_out 75 0", "get 75"}));
  const auto pwm = pwm_writes(mark);
  ASSERT_GE(pwm.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(pwm.begin(), pwm.begin() + 8),
            (std::vector<std::string>{"export=0", "export=1", "pwm0/period=61035",
                                      "pwm0/duty_cycle=30517", "pwm0/enable=1", "pwm1/period=20000",
                                      "pwm1/duty_cycle=5000", "pwm1/enable=1"}));
}

TEST_F(Gpiotool, FailedFrequencyOnOutput0StillSetsUpOutput1) {
  Console c;
  ASSERT_TRUE(c.shows("\n> "));
  // Another user of the chip takes output 0 away from under the console.
  const int fd = ::open((kChip + "/unexport").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::write(fd, "0", 1), 1);
  ::close(fd);
  const auto mark = simtest::trace_mark();
  c.type("pwms_test_on\n");
  ASSERT_TRUE(c.shows("freq   50000\n\n> ")) << c.out;
  EXPECT_NE(c.out.find("\n> \nERROR: Cannot set frequency 16384 Hz to pwm 0!\n"
                       "pwm 1:   ->  duty  25%  freq   50000\n\n> "),
            std::string::npos)
      << c.out;
  EXPECT_EQ(pwm_writes(mark), (std::vector<std::string>{"pwm1/period=20000", "pwm1/duty_cycle=5000",
                                                        "pwm1/enable=1"}));
  c.type("quit\n");
  EXPECT_EQ(c.status(), 0);
}

TEST_F(Gpiotool, LiveDisplayUntilAKeyWhichStaysForTheConsole) {
  simtest::gpio_input(70, 1);
  simtest::gpio_input(87, 1);
  Console c;
  ASSERT_TRUE(c.shows("\n> "));
  c.type("readio_all\n");
  ASSERT_TRUE(c.shows("\x1b[12;0H gpios: 87:1 | 86:0\n")) << c.out;
  EXPECT_NE(c.out.find("\n> \x1b[2J\x1b[1;1fPush anykey to stop!\n\n"
                       "\x1b[2;0H gpios: 71:0 | 70:1\n\x1b[3;0H gpios: 73:0 | 72:0\n"
                       "\x1b[4;0H gpios: 75:0 | 74:0\n\x1b[5;0H gpios: 77:0 | 76:0\n"
                       "\x1b[6;0H gpios: 79:0 | 78:0\n\x1b[8;0H gpios: 81:0 | 80:0\n"
                       "\x1b[9;0H gpios: 83:0 | 82:0\n\x1b[10;0H gpios: 85:0 | 84:0\n"
                       "\x1b[12;0H gpios: 87:1 | 86:0\n"),
            std::string::npos)
      << c.out;
  EXPECT_FALSE(c.line_mode());
  simtest::gpio_input(86, 1);
  ASSERT_TRUE(c.shows("\x1b[12;0H gpios: 87:1 | 86:1\n"));

  c.type("q");
  ASSERT_TRUE(testutil::eventually([&] { return c.line_mode(); }, 10))
      << "the display did not stop";
  // The key was not read by the display: with the rest of the word it makes the next command.
  c.type("uit\n");
  EXPECT_EQ(c.status(), 0) << c.err;
  EXPECT_EQ(c.err, "");
}

}  // namespace
