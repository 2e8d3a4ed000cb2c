// The motor monitor's wait between lines: microsecond fields only, across a second, and the
// split between sleeping and watching the clock.
#include <gtest/gtest.h>

#include "line_wait.h"

TEST(MotmonWait, CountsOnTheMicrosecondFieldsAcrossASecond) {
  EXPECT_EQ(motmon_usec_since(999000, 3000), 4000);
  EXPECT_EQ(motmon_usec_since(999000, 4000), 5000);
  EXPECT_EQ(motmon_usec_since(1000, 6000), 5000);
  EXPECT_EQ(motmon_usec_since(5000, 5000), 0);
}

TEST(MotmonWait, SleepsMostOfTheWaitThenWatchesTheClock) {
  // Last line at 999 000; the clock at 3 000 of the next second: 1 000 to go, half asleep.
  EXPECT_EQ(motmon_sleep_us(999000, 3000), 1000 - MOTMON_SPIN_US);
  EXPECT_EQ(motmon_sleep_us(999000, 4000), -1);  // due: 5 000 have passed
  EXPECT_EQ(motmon_sleep_us(999000, 3999), 0);   // 1 to go: watch the clock
  EXPECT_EQ(motmon_sleep_us(1000, 1000), MOTMON_LINE_US - MOTMON_SPIN_US);
  EXPECT_EQ(motmon_sleep_us(0, 4999), 0);
  EXPECT_EQ(motmon_sleep_us(0, 5000), -1);
  EXPECT_EQ(motmon_sleep_us(0, 900000), -1);  // late lines are due at once
}
