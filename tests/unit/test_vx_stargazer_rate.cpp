// The polling StarGazer reader against the simulated sensor streaming ten records a second, each
// reaching the line in two parts, with junk on the line now and then: a program polling at 20 Hz
// gets the sensor's records.
#include <string>

#include "test_vx_stargazer.h"

namespace {

using namespace gazer_test;

std::size_t count(const std::string &text, const std::string &what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(GazerPollRate, PollingAtTwentyHertzKeepsUpWithTheSensor) {
  if (!simtest::active()) GTEST_SKIP() << "runs under tarsa-sim (the simulated sensor)";
  // The second half of a record comes 40 ms after the first: most polls find one half-way.
  simtest::load(
      "extends = \"builtin\"\n[[serial.device]]\nnode = \"/dev/ttyO0\"\nmodel = \"stargazer\"\n"
      "rate_hz = 10\nsplit_ms = 40\ngarbage_hz = 1\n");
  ASSERT_EQ(vx_stargazer_Init(), 0);
  const std::size_t mark = simtest::trace_mark();
  ASSERT_EQ(vx_gazer_start_computation(), 0);

  constexpr int kWanted = 30;
  int positions = 0, polls = 0;
  unsigned dropped = 0, skipped = 0;
  const bool done = testutil::eventually(
      [&] {
        vx_stargazer_position_t p{};
        const int rc = vx_stargazer_poll(&p, 0);
        ++polls;
        EXPECT_TRUE(rc == VX_GAZER_POLL_POSITION || rc == VX_GAZER_POLL_NOTHING_NEW) << rc;
        if (rc == VX_GAZER_POLL_POSITION) {
          ++positions;
          EXPECT_EQ(p.height, 225.0) << "below the built-in board's landmark 5";
        }
        dropped += p.dropped;
        skipped += p.skipped;
        return positions >= kWanted;
      },
      60.0, 0.05);
  ASSERT_TRUE(done) << positions << " positions in " << polls << " polls";
  const std::string sent = line_text(mark, "rx");
  EXPECT_EQ(vx_gazer_wait_stop_computation(), 0);
  vx_stargazer_Close();

  // Of the records the sensor sent, all but those junk spoiled (it tends to fall between a
  // record's two parts) and the one or two still on their way are read or passed over for a
  // newer one.
  const std::size_t records = count(sent, "~^");
  EXPECT_GE(positions + dropped + 2, records * 3 / 4)
      << positions << " read, " << dropped << " passed over, of " << records << " sent";
  EXPECT_GE(polls, positions) << "at most one position a poll";
  EXPECT_GT(skipped, 0u) << "the junk was seen and passed over";
  RecordProperty("records_sent", static_cast<int>(records));
  RecordProperty("polls", polls);
}

}  // namespace
