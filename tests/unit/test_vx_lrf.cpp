// Range finder driver on the simulated board: the start-up and scan exchanges against scripted
// replies on its serial node, refused and missing replies, and the power switch on the trace.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "simtest.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"
#include "tarsa/vx_lrf.h"
#include "test_vx_lrf_replies.h"
#include "testutil.h"

namespace {

constexpr const char *kNode = "/dev/ttyACM0";
using Clock = std::chrono::steady_clock;

// Everything the program wrote on the node since `mark`, once `expected` bytes have arrived
// (the model reads on a thread of its own).
std::string sent_since(std::size_t mark, std::size_t expected) {
  std::string sent;
  testutil::eventually(
      [&] {
        sent.clear();
        for (const auto &r : simtest::trace_since(mark, kNode))
          if (r.value("op", "") == "tx") sent += r["data"].get<std::string>();
        return sent.size() >= 2 * expected;
      },
      5);
  std::string text;
  for (std::size_t i = 0; i + 1 < sent.size(); i += 2)
    text += static_cast<char>(std::stoi(sent.substr(i, 2), nullptr, 16));
  return text;
}

std::vector<std::string> gpio_ops(std::size_t mark) {
  return simtest::gpio_ops(mark, false);
}

class Lrf : public ::testing::Test {
 protected:
  // Scripted replies on the node, in place of the board's range finder.
  void SetUp() override { start("model = \"script\"\n"); }
  // The built-in board, its range finder's node of the model and keys in `device`.
  void start(const std::string &device) {
    ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
    simtest::load("extends = \"builtin\"\n[[serial.device]]\nnode = \"/dev/ttyACM0\"\n" + device);
    unsetenv("TARSA_CONFIG");
    ASSERT_EQ(vx_config_init(0, nullptr), 0);
    ASSERT_EQ(vx_gpio_init(), 0);
    vx_set_debug_level(0);
  }
  void TearDown() override {
    simtest::serial_clear(kNode);
    vx_gpio_cleanup();
    vx_config_exit();
  }
  // A sensor that answers start-up, with `params` for "PP" and `laser` the status of "BM".
  static void answer_start(const std::string &params = lrf_test::params_reply(),
                           const char *laser = "00") {
    simtest::serial_script(kNode, "QT\n", lrf_test::reply("QT", "00"));
    simtest::serial_script(kNode, "PP\n", params);
    simtest::serial_script(kNode, "BM\n", lrf_test::reply("BM", laser));
  }
};

TEST_F(Lrf, StartScanAndClose) {
  answer_start();
  const auto values = lrf_test::sample_scan();
  simtest::serial_script(kNode, "GD0044072501\n", lrf_test::scan_reply(values));
  const auto mark = simtest::trace_mark();
  const int h = vx_lrf_Init(kNode);
  ASSERT_GE(h, 0);
  EXPECT_EQ(sent_since(mark, 9), "QT\nPP\nBM\n");

  ASSERT_EQ(vx_lrf_GetDistances(h), 0);
  std::vector<std::int32_t> expected = values;
  expected[5] = 0;  // an error code, not a range
  EXPECT_EQ(std::vector<std::int32_t>(vx_lrf_DistanceData, vx_lrf_DistanceData + VX_LRF_DISTANCES),
            expected);

  EXPECT_EQ(vx_lrf_Close(h), 0);
  EXPECT_EQ(sent_since(mark, 25), "QT\nPP\nBM\nGD0044072501\nQT\n");
  EXPECT_EQ(vx_lrf_GetDistances(h), -EBADF);
  EXPECT_EQ(vx_lrf_Close(h), -EBADF);
}

TEST_F(Lrf, RefusedScansLeaveTheLastOneAndThePortInSync) {
  answer_start();
  const int h = vx_lrf_Init(kNode);
  ASSERT_GE(h, 0);
  auto values = lrf_test::sample_scan();
  const std::string good = lrf_test::scan_reply(values);
  std::string bad = good;
  bad[bad.size() - 3] ^= 1;  // the last block's check character
  // Once a bad check character, once a reply without its end (after an answer to nothing),
  // then good scans.
  simtest::serial_script(kNode, "GD0044072501\n", bad, 0, true);
  simtest::serial_script(kNode, "GD0044072501\n", "QT\n00P\n\n" + good.substr(0, good.size() - 1),
                         0, true);
  values[0] = 4321;
  simtest::serial_script(kNode, "GD0044072501\n", lrf_test::scan_reply(values));

  std::fill(vx_lrf_DistanceData, vx_lrf_DistanceData + VX_LRF_DISTANCES, 7);
  EXPECT_EQ(vx_lrf_GetDistances(h), -EPROTO);
  const auto t0 = Clock::now();
  EXPECT_EQ(vx_lrf_GetDistances(h), -ETIMEDOUT);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4));
  EXPECT_EQ(vx_lrf_DistanceData[0], 7);
  ASSERT_EQ(vx_lrf_GetDistances(h), 0);
  EXPECT_EQ(vx_lrf_DistanceData[0], 4321);
  EXPECT_EQ(vx_lrf_Close(h), 0);
}

TEST_F(Lrf, SensorsThatCannotStart) {
  // Silent: bounded, and the port is not left open.
  auto t0 = Clock::now();
  EXPECT_EQ(vx_lrf_Init(kNode), -ETIMEDOUT);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4));
  EXPECT_EQ(vx_lrf_Init("/dev/ttyACM7"), -ENOENT);

  // Another class of sensor (1440 steps a turn), and a laser that fails to come on.
  answer_start(lrf_test::params_reply(0, 1080, 1440));
  EXPECT_EQ(vx_lrf_Init(kNode), -EINVAL);
  simtest::serial_clear(kNode);
  answer_start(lrf_test::params_reply(), "01");
  EXPECT_EQ(vx_lrf_Init(kNode), -EPROTO);
  simtest::serial_clear(kNode);
  answer_start(lrf_test::params_reply(), "02");  // on already: fine
  const int h = vx_lrf_Init(kNode);
  EXPECT_GE(h, 0);
  vx_lrf_Close(h);
}

TEST_F(Lrf, NarrowerSensorIsScannedOverItsOwnSteps) {
  answer_start(lrf_test::params_reply(100, 700));
  simtest::serial_script(
      kNode, "GD0100070001\n",
      lrf_test::scan_reply(std::vector<std::int32_t>(601, 2000), "GD0100070001"));
  const int h = vx_lrf_Init(kNode);
  ASSERT_GE(h, 0);
  ASSERT_EQ(vx_lrf_GetDistances(h), 0);
  EXPECT_EQ(vx_lrf_DistanceData[55], 0);  // step 99
  EXPECT_EQ(vx_lrf_DistanceData[56], 2000);
  EXPECT_EQ(vx_lrf_DistanceData[656], 2000);  // step 700
  EXPECT_EQ(vx_lrf_DistanceData[657], 0);
  vx_lrf_Close(h);
}

TEST_F(Lrf, PowerSwitchIsTheConfiguredPin) {
  auto mark = simtest::trace_mark();
  EXPECT_EQ(vx_lrf_Power_On(), 0);
  EXPECT_EQ(vx_lrf_Power_Off(), 0);
  EXPECT_EQ(gpio_ops(mark), (std::vector<std::string>{"dir_out 87 1", "dir_out 87 0"}));

  for (const auto &[setting, result, ops] :
       {std::tuple<std::string, int, std::vector<std::string>>{"75", 0, {"dir_out 75 1"}},
        {"64", -EINVAL, {}},
        {"\"pin 3\"", -EINVAL, {}}}) {
    const std::string path =
        testutil::temp_file("[lrf]\npower_gpio = " + setting + "\n", "tarsa_lrf_");
    setenv("TARSA_CONFIG", path.c_str(), 1);
    ASSERT_EQ(vx_config_init(0, nullptr), 0);
    mark = simtest::trace_mark();
    EXPECT_EQ(vx_lrf_Power_On(), result) << setting;
    EXPECT_EQ(gpio_ops(mark), ops) << setting;
    unlink(path.c_str());
  }
}

// The board's own range finder: powered, found once it has enumerated, and a scan through a bad
// check character refused without losing the next one.
class LrfModel : public Lrf {
  void SetUp() override {
    start("model = \"scip_lrf\"\nfault = \"bad_check\"\nfault_command = \"GD\"\nfault_count = 1\n");
  }
};

TEST_F(LrfModel, BadCheckIsRefusedAndTheNextScanSucceeds) {
  ASSERT_EQ(vx_lrf_Power_Off(), 0);
  EXPECT_EQ(vx_lrf_Init(kNode), -ENOENT);  // unpowered: no node
  ASSERT_EQ(vx_lrf_Power_On(), 0);
  const int h = vx_lrf_Init(kNode);
  ASSERT_GE(h, 0);
  std::fill(vx_lrf_DistanceData, vx_lrf_DistanceData + VX_LRF_DISTANCES, 7);
  EXPECT_EQ(vx_lrf_GetDistances(h), -EPROTO);
  EXPECT_EQ(vx_lrf_DistanceData[340], 7);
  ASSERT_EQ(vx_lrf_GetDistances(h), 0);
  EXPECT_NEAR(vx_lrf_DistanceData[340], 1500, 10);  // the wall ahead in the 3 m room
  EXPECT_EQ(vx_lrf_Close(h), 0);
  EXPECT_EQ(vx_lrf_Power_Off(), 0);
}

}  // namespace
