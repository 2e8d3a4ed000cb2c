// Shared by the StarGazer tests on the simulated board: the sensor's line as the trace shows it,
// a descriptor of the test's own on that line to see what is waiting, and a clean line for
// every test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "simtest.h"
#include "tarsa/vx_stargazer.h"
#include "testutil.h"

namespace gazer_test {

constexpr const char *kNode = "/dev/ttyO0";
constexpr const char *kStop = "~#CalcStop`";
constexpr const char *kStopAck = "~!CalcStop`";

// A byte on the line with the simulator's time (us) of its record.
struct LineByte {
  char c;
  long long us;
};

// The bytes of the trace records `op` ("tx": from the program, "rx": to it) after `mark`.
inline std::vector<LineByte> line_bytes(std::size_t mark, const std::string &op = "tx") {
  std::vector<LineByte> out;
  for (const auto &r : simtest::trace_since(mark, kNode)) {
    if (r.value("op", "") != op) continue;
    const std::string hex = r.at("data");
    const long long us = r.at("us");
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      out.push_back({static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)), us});
  }
  return out;
}

inline std::string line_text(std::size_t mark, const std::string &op = "tx") {
  std::string s;
  for (const auto &b : line_bytes(mark, op)) s += b.c;
  return s;
}

// What the program sent after `mark`, once it has all reached the sensor's side (bounded).
inline std::string sent(std::size_t mark, std::size_t expected_size) {
  std::string s;
  testutil::eventually([&] { return (s = line_text(mark)).size() >= expected_size; }, 2.0);
  return s;
}

// The test's own descriptor on the sensor's line: the same terminal as the library's, so it
// sees the same input queue.
class Line {
 public:
  Line() : fd_(::open(kNode, O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  ~Line() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  int waiting() const {
    int n = 0;
    return ::ioctl(fd_, FIONREAD, &n) == 0 ? n : -1;
  }

  // The sensor sends `bytes`, unasked; returns once they are all waiting for the program.
  void deliver(const std::string &bytes) {
    const int before = waiting();
    simtest::serial_send(kNode, bytes);
    const int want = before + static_cast<int>(bytes.size());
    ASSERT_TRUE(testutil::eventually([&] { return waiting() >= want; }, 5.0))
        << "waiting " << waiting() << " of " << want;
  }

  void drain() {
    char buf[4096];
    while (::read(fd_, buf, sizeof buf) > 0) {
    }
  }

  // Drops every scripted reply, anything due or waiting, and what the sensor's side holds of
  // earlier messages (so that a new rule cannot match an old message): a marker sent from here
  // is the only rule left, and its answer shows that the sensor's side has consumed everything
  // up to it.
  void fresh() {
    simtest::serial_clear(kNode);
    drain();
    simtest::serial_script(kNode, "#fresh#", "#clean#", 0, true);
    ASSERT_EQ(::write(fd_, "#fresh#", 7), 7);
    ASSERT_TRUE(testutil::eventually([&] { return waiting() >= 7; }, 5.0));
    drain();
  }

 private:
  int fd_;
};

// Base of the serial tests: a clean line and, with `open`, the port open through an
// acknowledged stop.
class GazerTest : public ::testing::Test {
 public:
  static inline Line *line = nullptr;  // opened by the first test, kept for the binary's life

 protected:
  void SetUp() override {
    if (!simtest::active()) GTEST_SKIP() << "runs under tarsa-sim (the sensor's line)";
    if (line == nullptr) line = new Line;
    ASSERT_TRUE(line->ok());
    vx_stargazer_Close();
    line->fresh();
  }

  // Opens the port with the stop acknowledged once; later stops go unanswered.
  void open_port() {
    simtest::serial_script(kNode, kStop, kStopAck, 0, true);
    ASSERT_EQ(vx_stargazer_Init(), 0);
  }
};

}  // namespace gazer_test
