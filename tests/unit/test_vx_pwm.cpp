// PWM service against the simulated sysfs PWM chip: what is written where, and the results.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "simtest.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_pwm.h"
#include "testutil.h"

namespace {

const std::string kChip = "/sys/class/pwm/pwmchip0";

using simtest::pwm_writes;

// Writes as another user of the chip would, outside the service.
int poke(const std::string &file, const std::string &text) {
  const int fd = ::open((kChip + "/" + file).c_str(), O_WRONLY);
  if (fd < 0) return -errno;
  const int r = ::write(fd, text.data(), text.size()) < 0 ? -errno : 0;
  ::close(fd);
  return r;
}

class Pwm : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
    simtest::load("");
  }
  void TearDown() override { vx_pwm_cleanup(); }
};

TEST_F(Pwm, StartExportsBothChannelsAndCleanupStopsAndUnexportsThem) {
  EXPECT_EQ(vx_pwm_period(0, 1000), -ENODEV) << "not started";
  EXPECT_EQ(vx_pwm_cleanup(), -ENODEV);

  std::size_t mark = simtest::trace_mark();
  ASSERT_EQ(vx_pwm_init(), 0);
  EXPECT_EQ(pwm_writes(mark), (std::vector<std::string>{"export=0", "export=1"}));
  mark = simtest::trace_mark();
  EXPECT_EQ(vx_pwm_init(), 0);
  EXPECT_TRUE(pwm_writes(mark).empty());

  mark = simtest::trace_mark();
  EXPECT_EQ(vx_pwm_cleanup(), 0);
  EXPECT_EQ(pwm_writes(mark), (std::vector<std::string>{"pwm0/enable=0", "unexport=0",
                                                        "pwm1/enable=0", "unexport=1"}));
  EXPECT_EQ(vx_pwm_activate(0), -ENODEV);
}

TEST_F(Pwm, AChannelExportedBeforeIsTakenAsItIs) {
  ASSERT_EQ(poke("export", "1"), 0);
  const std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_pwm_init(), 0);
  EXPECT_EQ(pwm_writes(mark),
            (std::vector<std::string>{"export=0", "export=1 -> " + std::to_string(EBUSY)}));
}

TEST_F(Pwm, FrequencyDutyAndEnable) {
  ASSERT_EQ(vx_pwm_init(), 0);
  EXPECT_EQ(vx_pwm_duty(0, 50), -EINVAL) << "no period yet";
  EXPECT_EQ(vx_pwm_activate(1), -EINVAL) << "the chip refuses an output without a period";

  std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_pwm_period(0, 16384), 0);
  EXPECT_EQ(vx_pwm_duty(0, 50), 0);
  EXPECT_EQ(vx_pwm_activate(0), 0);
  EXPECT_EQ(vx_pwm_period(1, 50000), 0);
  EXPECT_EQ(vx_pwm_duty(1, 25), 0);
  EXPECT_EQ(vx_pwm_activate(1), 0);
  EXPECT_EQ(vx_pwm_desactivate(0), 0);
  EXPECT_EQ(pwm_writes(mark),
            (std::vector<std::string>{"pwm0/period=61035", "pwm0/duty_cycle=30517", "pwm0/enable=1",
                                      "pwm1/period=20000", "pwm1/duty_cycle=5000", "pwm1/enable=1",
                                      "pwm0/enable=0"}));

  // A new frequency keeps the percentage; a shorter period gets its shorter pulse first, since
  // the chip never holds a pulse longer than the period.
  mark = simtest::trace_mark();
  EXPECT_EQ(vx_pwm_period(0, 50000), 0);
  EXPECT_EQ(vx_pwm_period(0, 1000), 0);
  EXPECT_EQ(vx_pwm_duty(0, 100), 0);
  EXPECT_EQ(vx_pwm_duty(0, 0), 0);
  EXPECT_EQ(pwm_writes(mark),
            (std::vector<std::string>{"pwm0/duty_cycle=10000", "pwm0/period=20000",
                                      "pwm0/period=1000000", "pwm0/duty_cycle=500000",
                                      "pwm0/duty_cycle=1000000", "pwm0/duty_cycle=0"}));
}

TEST_F(Pwm, OutOfRangeArgumentsAreRefusedWithoutTouchingTheChip) {
  ASSERT_EQ(vx_pwm_init(), 0);
  ASSERT_EQ(vx_pwm_period(0, 1000), 0);
  const std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_pwm_period(0, 0), -EINVAL);
  EXPECT_EQ(vx_pwm_period(0, -5), -EINVAL);
  EXPECT_EQ(vx_pwm_period(0, 1000000001), -EINVAL);  // below one nanosecond
  EXPECT_EQ(vx_pwm_period(2, 1000), -EINVAL);
  EXPECT_EQ(vx_pwm_duty(0, 101), -EINVAL);
  EXPECT_EQ(vx_pwm_duty(0, -1), -EINVAL);
  EXPECT_EQ(vx_pwm_duty(-1, 50), -EINVAL);
  EXPECT_EQ(vx_pwm_activate(2), -EINVAL);
  EXPECT_EQ(vx_pwm_desactivate(-1), -EINVAL);
  EXPECT_TRUE(pwm_writes(mark).empty());
}

TEST_F(Pwm, APulseLeftByAnEarlierUserDoesNotBlockAShorterPeriod) {
  ASSERT_EQ(poke("export", "0"), 0);
  ASSERT_EQ(poke("pwm0/period", "1000000"), 0);
  ASSERT_EQ(poke("pwm0/duty_cycle", "900000"), 0);
  ASSERT_EQ(vx_pwm_init(), 0);
  const std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_pwm_period(0, 50000), 0);
  EXPECT_EQ(pwm_writes(mark),
            (std::vector<std::string>{"pwm0/period=20000 -> " + std::to_string(EINVAL),
                                      "pwm0/duty_cycle=0", "pwm0/period=20000"}));
}

TEST_F(Pwm, MissingChipFailsTheStartAndTheConfigurationNamesAnother) {
  // A board whose only chip is another one.
  const std::string other = "/sys/class/pwm/pwmchip1";
  simtest::load("extends = \"builtin\"\n[pwm]\nchip = \"" + other + "\"\n");
  EXPECT_EQ(vx_pwm_init(), -ENOENT);
  EXPECT_EQ(vx_pwm_period(0, 1000), -ENODEV);

  const std::string path = testutil::temp_file("[pwm]\nchip = \"" + other + "\"\n", "tarsa_pwm_");
  ASSERT_NE(path, "");
  ::setenv("TARSA_CONFIG", path.c_str(), 1);
  ASSERT_EQ(vx_config_init(0, nullptr), 0);
  const std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_pwm_init(), 0);
  EXPECT_EQ(vx_pwm_period(1, 1000), 0);
  EXPECT_EQ(vx_pwm_cleanup(), 0);
  EXPECT_EQ(
      pwm_writes(mark, other),
      (std::vector<std::string>{"export=0", "export=1", "pwm1/period=1000000", "pwm0/enable=0",
                                "unexport=0", "pwm1/enable=0", "unexport=1"}));
  vx_config_exit();
  ::unsetenv("TARSA_CONFIG");
  ::unlink(path.c_str());
}

}  // namespace
