// The polling StarGazer reader on the simulated board, against bytes a test puts on the line:
// records split over calls, noise, several records at once, dead-zone reports, and the record in
// progress dropped when another operation reads the line.
#include "test_vx_stargazer.h"

namespace {

using namespace gazer_test;

class GazerPoll : public GazerTest {
 protected:
  void SetUp() override {
    GazerTest::SetUp();
    if (IsSkipped()) return;
    open_port();
  }

  // The sensor sends `text`; then one poll.
  int poll(const std::string &text, int correct = 0) {
    if (!text.empty()) line->deliver(text);
    p = vx_stargazer_position_t{};
    p.id = -1;
    return vx_stargazer_poll(&p, correct);
  }

  vx_stargazer_position_t p{};
};

TEST_F(GazerPoll, SplitRecordsNoiseAndBacklog) {
  EXPECT_EQ(poll(""), VX_GAZER_POLL_NOTHING_NEW);

  // Split in two: nothing until the rest arrives, then the whole record.
  EXPECT_EQ(poll("~^I3|0|10|2"), VX_GAZER_POLL_NOTHING_NEW);
  EXPECT_EQ(p.id, -1) << "untouched";
  ASSERT_EQ(poll("0|250`"), VX_GAZER_POLL_POSITION);
  EXPECT_EQ(p.mode, 'I');
  EXPECT_EQ(p.id, 3);
  EXPECT_EQ(p.angle, 90.0);
  EXPECT_EQ(p.x, 10.0);
  EXPECT_EQ(p.y, 20.0);
  EXPECT_EQ(p.height, 250.0);
  EXPECT_EQ(p.corrected, 0);
  EXPECT_EQ(p.skipped, 0u);
  EXPECT_EQ(poll(""), VX_GAZER_POLL_NOTHING_NEW) << "each record once";

  // Noise around and between records, malformed and cut-off records, other messages: passed over.
  const std::string noise = "x7|#~^I4|0|1|2`zz~^I4|nan|1|2|3`~^I4|0|1e3|2|3`~^I4|0|1|2|3|4`~^I5|";
  const std::string other = "~!CalcStart`~$RefID|2`~!ParameterUpdate`~*MAPID|5`";
  ASSERT_EQ(poll(noise + other + "\n~^M6|-90|+1.5|-2.25|198.5`"), VX_GAZER_POLL_POSITION);
  EXPECT_EQ(p.mode, 'M');
  EXPECT_EQ(p.id, 6);
  EXPECT_EQ(p.angle, 180.0);
  EXPECT_EQ(p.x, 1.5);
  EXPECT_EQ(p.y, -2.25);
  EXPECT_EQ(p.skipped, noise.size() + other.size() + 1);
  EXPECT_EQ(p.dropped, 0u);
  EXPECT_EQ(poll("~^I7|0|1|2|3"), VX_GAZER_POLL_NOTHING_NEW);
  EXPECT_EQ(p.skipped, 0u) << "a record in progress is kept";

  // A tilde and more than a message's bound of bytes: noise, as is the record it cut off.
  const std::string junk(3 * VX_GAZER_POLL_MAX_MESSAGE, 'a');
  EXPECT_EQ(poll("~" + junk + "`"), VX_GAZER_POLL_NOTHING_NEW);
  EXPECT_EQ(p.skipped, 12 + 1 + junk.size() + 1);

  // Several waiting: the newest; a dead-zone report counts as the newest too.
  ASSERT_EQ(poll("~^I1|0|1|2|3`~^I2|0|4|5|6`~^I3|0|7|8|9`"), VX_GAZER_POLL_POSITION);
  EXPECT_EQ(p.id, 3);
  EXPECT_EQ(p.x, 7.0);
  EXPECT_EQ(p.dropped, 2u);
  EXPECT_EQ(poll("~^I1|0|1|2|3`~*DeadZone`"), VX_GAZER_POLL_DEAD_ZONE);
  EXPECT_EQ(p.id, -1);
  EXPECT_EQ(p.dropped, 1u);
  ASSERT_EQ(poll("~*DeadZone`~^I2|0|4|5|6`"), VX_GAZER_POLL_POSITION);
  EXPECT_EQ(p.id, 2);
}

TEST_F(GazerPoll, CorrectionAndTheLinesOtherReaders) {
  a_axis = 2;
  b_axis = 1;
  ASSERT_EQ(poll("~^I3|-170|10|20|250`", 1), VX_GAZER_POLL_POSITION);  // heading 260
  EXPECT_EQ(p.corrected, 1);
  EXPECT_NEAR(p.x, 8.0, 1e-12);
  EXPECT_NEAR(p.y, 20.0, 1e-12);
  ASSERT_EQ(poll("~^I3|-170|10|20|250`", 0), VX_GAZER_POLL_POSITION);
  EXPECT_EQ(p.x, 10.0);
  a_axis = b_axis = 0;

  // Another reader takes the line in between: what the poller held cannot be continued.
  EXPECT_EQ(poll("~^I3|0|1"), VX_GAZER_POLL_NOTHING_NEW);
  line->deliver("0|20|250`~^I4|0|1");
  double x = 0;
  EXPECT_EQ(vx_stargazer_read_data(&x, nullptr, nullptr, nullptr, nullptr, nullptr, 0), -7);
  EXPECT_EQ(poll("0|20|250`"), VX_GAZER_POLL_NOTHING_NEW);
  EXPECT_EQ(p.skipped, 8u + 9u);

  // So can closing the port.
  EXPECT_EQ(poll("~^I3|0|1"), VX_GAZER_POLL_NOTHING_NEW);
  EXPECT_EQ(vx_stargazer_Close(), 0);
  EXPECT_EQ(vx_stargazer_poll(&p, 0), VX_GAZER_POLL_NOT_OPEN);
  open_port();
  EXPECT_EQ(vx_stargazer_poll(nullptr, 0), VX_GAZER_POLL_NO_OUTPUT);
  EXPECT_EQ(poll("0|20|250`"), VX_GAZER_POLL_NOTHING_NEW);
}

}  // namespace
