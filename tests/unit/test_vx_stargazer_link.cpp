// The StarGazer link on the simulated board's /dev/ttyO0: bytes and their pacing as the trace
// shows them, the closed port, a silent sensor, a late acknowledgement and the start's pause.
#include <termios.h>

#include <chrono>

#include "test_vx_stargazer.h"

namespace {

using namespace gazer_test;
using Clock = std::chrono::steady_clock;

constexpr long long kByteUs = 30000;

class GazerLink : public GazerTest {};

TEST_F(GazerLink, StopIsElevenBytesThirtyMillisecondsApartOnARawPort) {
  simtest::serial_script(kNode, kStop, kStopAck);
  const auto mark = simtest::trace_mark();
  const auto t0 = Clock::now();
  ASSERT_EQ(vx_stargazer_Init(), 0);
  EXPECT_GE(Clock::now() - t0, std::chrono::microseconds(11 * kByteUs));
  ASSERT_EQ(sent(mark, 11), kStop);
  const auto bytes = line_bytes(mark);
  // Byte k leaves at least k pauses after the first; the first record may itself be late.
  for (std::size_t k = 1; k < bytes.size(); ++k)
    EXPECT_GE(bytes[k].us - bytes[0].us, static_cast<long long>(k) * kByteUs - 10000) << k;

  termios tio{};
  ASSERT_EQ(tcgetattr(line->fd(), &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(tio.c_oflag, 0u);
  EXPECT_EQ(tio.c_lflag, 0u);
}

TEST_F(GazerLink, NothingBeforeInitNorAfterClose) {
  auto all_refused = [] {
    char version[VX_GAZER_VERSION_SIZE] = "";
    int v = 7;
    double d = 0;
    int id = 0;
    char mode = 0;
    EXPECT_EQ(vx_stargazer_Close(), -1);
    EXPECT_EQ(vx_gazer_stop_computation(), -1);
    EXPECT_EQ(vx_gazer_wait_stop_computation(), -1);
    EXPECT_EQ(vx_gazer_start_computation(), -1);
    EXPECT_EQ(vx_gazer_get_version(version), -1);
    EXPECT_EQ(vx_gazer_set_landmark_number(1), -1);
    EXPECT_EQ(vx_gazer_get_landmark_number(&v), -1);
    EXPECT_EQ(vx_gazer_set_ref_id(1), -1);
    EXPECT_EQ(vx_gazer_get_ref_id(&v), -1);
    EXPECT_EQ(vx_gazer_set_landmark_type(9), -1) << "the port is tested before the code";
    EXPECT_EQ(vx_gazer_get_landmark_type(&v), -1);
    EXPECT_EQ(vx_gazer_set_landmark_mode(0), -1);
    EXPECT_EQ(vx_gazer_get_landmark_mode(&v), -1);
    EXPECT_EQ(vx_gazer_set_height_fix_mode(0), -1);
    EXPECT_EQ(vx_gazer_get_height_fix_mode(&v), -1);
    EXPECT_EQ(vx_gazer_start_map_mode(), -1);
    EXPECT_EQ(vx_gazer_set_end_command(), -1);
    EXPECT_EQ(vx_stargazer_read_data(&d, &d, &d, &d, &id, &mode, 1), -1);
    // The calibration's first reading fails with -1, before the robot is touched.
    EXPECT_EQ(vx_gazer_calibration(nullptr, &d, &d, &d, &d, &d, &d, &d), -5);
    EXPECT_EQ(v, 7);
    EXPECT_STREQ(version, "");
  };
  const auto mark = simtest::trace_mark();
  all_refused();
  open_port();
  EXPECT_EQ(vx_stargazer_Close(), 0);
  const auto after_close = simtest::trace_mark();
  all_refused();
  EXPECT_EQ(sent(mark, 11), kStop);
  EXPECT_TRUE(simtest::trace_since(after_close, kNode).empty());
}

TEST_F(GazerLink, SilentSensorGivesUpAfterTenAttemptsWithThePortOpen) {
  const auto mark = simtest::trace_mark();
  const auto t0 = Clock::now();
  EXPECT_EQ(vx_stargazer_Init(), -3);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(9));
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += kStop;
  ASSERT_EQ(sent(mark, expected.size()), expected);
  // 110 paced bytes and nine 100 ms pauses between the first byte and the last; the tenth
  // pause follows the last attempt.
  const auto bytes = line_bytes(mark);
  EXPECT_GE(bytes.back().us - bytes.front().us, 109 * kByteUs + 9 * 100000 - 10000);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(4300));

  EXPECT_EQ(vx_gazer_stop_computation(), -2) << "the port stays open";
}

TEST_F(GazerLink, LateAcknowledgementIsFoundByTheNextExchange) {
  open_port();
  // Answered 200 ms after the last byte: the exchange has read 30 ms after it.
  simtest::serial_script(kNode, kStop, kStopAck, 200, true);
  EXPECT_EQ(vx_gazer_stop_computation(), -2);
  EXPECT_EQ(vx_gazer_stop_computation(), 0);
  EXPECT_EQ(vx_gazer_stop_computation(), -2) << "each acknowledgement counts once";

  // Unrelated text before the acknowledgement does not matter.
  simtest::serial_script(kNode, kStop, std::string("~^I3|0|1|2|3`~$RefID|2`") + kStopAck);
  EXPECT_EQ(vx_gazer_stop_computation(), 0);
}

TEST_F(GazerLink, StartPausesOnlyWhenAcknowledged) {
  open_port();
  simtest::serial_script(kNode, kStop, kStopAck);
  simtest::serial_script(kNode, "~#CalcStart`", "~!CalcStart`", 0, true);
  // The call's own duration on the program's clock (trace stamps of a preempted writer are
  // late): twelve bytes a pause apart, the read one pause after the last, then the 200 ms.
  const auto paced = std::chrono::microseconds(12 * kByteUs);
  const auto timed_start = [](int expected) {
    const auto mark = simtest::trace_mark();
    const auto t0 = Clock::now();
    EXPECT_EQ(vx_gazer_start_computation(), expected);
    const auto took = Clock::now() - t0;
    EXPECT_EQ(vx_gazer_stop_computation(), 0);
    EXPECT_EQ(sent(mark, 23), std::string("~#CalcStart`") + kStop);
    return took;
  };
  EXPECT_GE(timed_start(0), paced + std::chrono::milliseconds(200));
  const auto refused = timed_start(-2);
  EXPECT_GE(refused, paced);
  EXPECT_LT(refused, paced + std::chrono::milliseconds(200));
}

}  // namespace
