// GPIO module against the simulated user GPIO node: requests and payloads as the trace shows
// them, start-up and clean-up, reports and results.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "reports.h"
#include "simtest.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"
#include "testutil.h"

namespace {

constexpr const char *kNode = "/dev/user-gpio";

using testutil::reports;

using simtest::gpio_ops;

std::vector<std::string> claims(int first, int last) {
  std::vector<std::string> out;
  for (int p = first; p <= last; ++p)
    out.push_back("request " + std::to_string(p) + " GPIO_" + std::to_string(p));
  return out;
}

std::vector<std::string> cat(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The built-in board with other settings of its GPIO controller.
std::string board_with_gpio(const std::string &gpio_table) {
  return "extends = \"builtin\"\n[gpio]\n" + gpio_table;
}

class Gpio : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
    simtest::load("");
    testutil::collect_reports();
  }
  void TearDown() override {
    vx_gpio_cleanup();
    vx_set_error_handler(nullptr);
  }
};

TEST_F(Gpio, StartClaimsMuteThenUserPinsAndCleanupReleasesThem) {
  std::size_t mark = simtest::trace_mark();
  ASSERT_EQ(vx_gpio_init(), 0);
  auto start = simtest::trace_since(mark, kNode);
  ASSERT_FALSE(start.empty());
  EXPECT_EQ(start.front()["op"], "open");
  EXPECT_EQ(start.front()["flags"].get<int>() & 3, 2) << "opened read-write";
  EXPECT_EQ(gpio_ops(mark), cat({"open", "request 64 GPIO_64", "dir_out 64 0"}, claims(70, 87)));
  EXPECT_TRUE(reports.empty());

  // Already open: nothing is claimed again.
  mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_init(), 0);
  EXPECT_TRUE(gpio_ops(mark).empty());

  mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_cleanup(), 0);
  std::vector<std::string> expect{"free 64"};
  for (int p = 70; p <= 87; ++p) expect.push_back("free " + std::to_string(p));
  expect.push_back("close");
  EXPECT_EQ(gpio_ops(mark), expect);

  // Closed: clean-up touches nothing.
  mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_cleanup(), -1);
  EXPECT_TRUE(gpio_ops(mark).empty());
  EXPECT_TRUE(reports.empty());
}

TEST_F(Gpio, PinLeftClaimedByAnotherHolderIsTakenOver) {
  simtest::load(board_with_gpio("held = [75]\n"));
  const std::size_t mark = simtest::trace_mark();
  ASSERT_EQ(vx_gpio_init(), 0);
  const auto ops = gpio_ops(mark);
  const auto expect =
      cat(cat(cat({"open", "request 64 GPIO_64", "dir_out 64 0"}, claims(70, 74)),
              {"request 75 GPIO_75 -> " + std::to_string(EBUSY), "free 75", "request 75 GPIO_75"}),
          claims(76, 87));
  EXPECT_EQ(ops, expect);
  EXPECT_TRUE(reports.empty());
}

TEST_F(Gpio, StartFailsWhenAPinCannotBeClaimedTwice) {
  // Pin 80 is not on this controller: the claim, the release and the second claim all fail.
  simtest::load(board_with_gpio("pins = [64, 65, [70, 79], [81, 87], 90]\n"));
  std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_init(), -80);
  const auto ops = gpio_ops(mark);
  ASSERT_GE(ops.size(), 4u);
  // The earlier claims are given back by closing the node, not one by one.
  EXPECT_EQ(std::vector<std::string>(ops.end() - 4, ops.end()),
            (std::vector<std::string>{"request 80 GPIO_80 -> " + std::to_string(EINVAL),
                                      "free 80 -> " + std::to_string(EINVAL),
                                      "request 80 GPIO_80 -> " + std::to_string(EINVAL), "close"}));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].code, 5);
  EXPECT_EQ(reports[0].file, "vx_gpio");
  EXPECT_EQ(reports[0].function, "vx_gpio_init");
  EXPECT_EQ(reports[0].text, "invalid identifier 'GPIO_80'");

  // The module is closed again, so a new start runs in full.
  mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_cleanup(), -1);
  EXPECT_TRUE(gpio_ops(mark).empty());
}

TEST_F(Gpio, StartFailsOnMuteLineAndOnMissingNode) {
  simtest::load(board_with_gpio("pins = [65, [70, 87], 90]\n"));
  std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_init(), -64);
  EXPECT_EQ(gpio_ops(mark).back(), "close");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text, "invalid identifier 'Could not request GPIO 64 for /MUTE!'");
  EXPECT_EQ(reports[0].function, "vx_gpio_init");

  reports.clear();
  simtest::load(
      "extends = \"builtin\"\n[[fault]]\nkind = \"missing\"\nnode = \"/dev/user-gpio\"\n");
  mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_init(), -1);
  EXPECT_TRUE(reports.empty()) << "a missing node is reported by the caller";
  EXPECT_EQ(vx_gpio_cleanup(), -1);
}

TEST_F(Gpio, PinOperationsSendTheirRequestAndPayload) {
  ASSERT_EQ(vx_gpio_init(), 0);
  ASSERT_EQ(gpio_request(90, "GPIO_90"), 0);
  const std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_dir(75, 1), 0);
  const int level = vx_gpio_get(75);
  EXPECT_EQ(vx_gpio_dir(75, 0), 0);
  EXPECT_EQ(vx_gpio_dir_val(90, 0, 1), 0);
  EXPECT_EQ(vx_gpio_dir_val(76, 1, 1), 0);  // the value plays no part for an input
  EXPECT_EQ(vx_gpio_set(75), 0);
  EXPECT_EQ(vx_gpio_clear(75), 0);
  EXPECT_EQ(gpio_free(90), 0);
  EXPECT_EQ(gpio_ops(mark),
            (std::vector<std::string>{"dir_in 75", "get 75", "dir_out 75 0", "dir_out 90 1",
                                      "dir_in 76", "set 75 1", "set 75 0", "free 90"}));
  const auto recs = simtest::trace_since(mark, kNode);
  EXPECT_EQ(level, recs.at(1).at("value").get<int>()) << "the level the device filled in";
  EXPECT_TRUE(level == 0 || level == 1);
  EXPECT_TRUE(reports.empty());
}

TEST_F(Gpio, LabelIsCutTo31Characters) {
  ASSERT_EQ(vx_gpio_init(), 0);
  const std::string label = "0123456789abcdefghijklmnopqrstuvwxyzABCD";  // 40 characters
  const std::size_t mark = simtest::trace_mark();
  ASSERT_EQ(gpio_request(65, label.c_str()), 0);
  EXPECT_EQ(gpio_ops(mark), std::vector<std::string>{"request 65 " + label.substr(0, 31)});
  EXPECT_EQ(gpio_free(65), 0);
}

TEST_F(Gpio, RangeCheckReportsAndStillSends) {
  ASSERT_EQ(vx_gpio_init(), 0);
  std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_set(88), -1);
  EXPECT_EQ(vx_gpio_clear(95), -1);
  EXPECT_LT(vx_gpio_dir(63, 1), 0);
  EXPECT_LT(vx_gpio_dir_val(91, 0, 1), 0);
  EXPECT_LT(vx_gpio_get(69), 0);
  const auto ops = gpio_ops(mark);
  ASSERT_EQ(ops.size(), 5u);
  EXPECT_EQ(ops[0].substr(0, 8), "set 88 1");
  EXPECT_EQ(ops[1].substr(0, 8), "set 95 0");
  EXPECT_EQ(ops[2].substr(0, 9), "dir_in 63");
  EXPECT_EQ(ops[3].substr(0, 12), "dir_out 91 1");
  EXPECT_EQ(ops[4].substr(0, 6), "get 69");
  ASSERT_EQ(reports.size(), 5u);
  const char *functions[] = {"vx_gpio_set", "vx_gpio_clear", "vx_gpio_dir", "vx_gpio_dir",
                             "vx_gpio_get"};
  const int pins[] = {88, 95, 63, 91, 69};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(reports[i].code, 2);
    EXPECT_EQ(reports[i].file, "vx_gpio");
    EXPECT_EQ(reports[i].function, functions[i]);
    EXPECT_EQ(reports[i].text,
              "value " + std::to_string(pins[i]) + " GPIO out of range [ 70 ; 87 ]");
  }

  // 64, 65 and 90 are the library's and the robot driver's pins: no report although the
  // message names only the user pins.
  reports.clear();
  ASSERT_EQ(gpio_request(65, "GPIO_65"), 0);
  ASSERT_EQ(gpio_request(90, "GPIO_90"), 0);
  EXPECT_EQ(vx_gpio_clear(64), 0);
  EXPECT_EQ(vx_gpio_dir(65, 1), 0);
  EXPECT_EQ(vx_gpio_dir_val(90, 0, 0), 0);
  EXPECT_TRUE(reports.empty());
  gpio_free(65);
  gpio_free(90);
}

TEST_F(Gpio, SetAndClearGiveMinusOneOthersTheNegatedErrno) {
  // Pin 65 passes the range check but is not on this controller: the device answers EINVAL, a
  // value that cannot be mistaken for the ioctl's own -1.
  simtest::load(board_with_gpio("pins = [64, [70, 87], 90]\n"));
  ASSERT_EQ(vx_gpio_init(), 0);
  const std::size_t mark = simtest::trace_mark();
  errno = 0;
  EXPECT_EQ(vx_gpio_set(65), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(vx_gpio_clear(65), -1);
  EXPECT_EQ(vx_gpio_dir(65, 1), -EINVAL);
  EXPECT_EQ(vx_gpio_dir(65, 0), -EINVAL);
  EXPECT_EQ(vx_gpio_dir_val(65, 0, 1), -EINVAL);
  EXPECT_EQ(vx_gpio_get(65), -EINVAL);
  const auto recs = simtest::trace_since(mark, kNode);
  ASSERT_EQ(recs.size(), 6u);
  for (const auto &r : recs) {
    EXPECT_EQ(r.at("ret").get<int>(), -1);
    EXPECT_EQ(r.at("errno").get<int>(), EINVAL);
  }
  EXPECT_TRUE(reports.empty());
}

TEST_F(Gpio, FailedReleaseAtCleanupIsReportedAndTheRestGoesOn) {
  ASSERT_EQ(vx_gpio_init(), 0);
  ASSERT_EQ(gpio_free(75), 0);  // so that clean-up finds it already released
  const std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_cleanup(), 0);
  const auto ops = gpio_ops(mark);
  ASSERT_EQ(ops.size(), 20u);
  EXPECT_EQ(ops[6], "free 75 -> " + std::to_string(EINVAL));
  EXPECT_EQ(ops[18], "free 87");
  EXPECT_EQ(ops[19], "close");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].code, 3);
  EXPECT_EQ(reports[0].function, "vx_gpio_free");
  EXPECT_EQ(reports[0].text, "invalid value");
}

TEST_F(Gpio, OperationsOnAClosedModuleFailWithBadDescriptor) {
  const std::size_t mark = simtest::trace_mark();
  EXPECT_EQ(vx_gpio_dir(75, 1), -EBADF);
  EXPECT_EQ(vx_gpio_dir_val(75, 0, 1), -EBADF);
  EXPECT_EQ(vx_gpio_get(75), -EBADF);
  errno = 0;
  EXPECT_EQ(vx_gpio_set(75), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(vx_gpio_clear(75), -1);
  EXPECT_EQ(gpio_request(75, "GPIO_75"), -EBADF);
  EXPECT_EQ(gpio_free(75), -EBADF);
  EXPECT_TRUE(gpio_ops(mark).empty());
  EXPECT_TRUE(reports.empty());
}

}  // namespace
