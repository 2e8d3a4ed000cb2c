// lrfpower and lrfdemo run under the simulator as a user would: texts byte for byte, exit
// statuses, the power pin on the trace, and a scan served by scripted replies of the sensor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "../unit/test_vx_lrf_replies.h"
#include "simtest.h"
#include "testutil.h"

namespace {

const std::string kBanner = "Tarsa4 lrf battery power on/off program\r\n";

std::vector<std::string> power_pin_ops(const simtest::Result &r) {
  std::vector<std::string> out;
  for (const auto &rec : simtest::read_trace(r.trace))
    if (rec.value("dev", "") == "/dev/user-gpio" && rec.value("gpio", -1) == 87 &&
        rec["op"] != "request" && rec["op"] != "free")
      out.push_back(testutil::gpio_op(rec));
  return out;
}

TEST(Lrfpower, SwitchesByItsOneArgument) {
  const std::string usage =
      "USAGE: " + simtest::bin("lrfpower") + " ON_OFF\n  ON_OFF: 1 for on, 0 for OFF\n";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::vector<std::string> ops;
  };
  for (const Case &c : {Case{{"0"}, 0, "LRF power off\n\n", {"dir_out 87 0"}},
                        Case{{"1"}, 0, "LRF power on\n\n", {"dir_out 87 1"}},
                        Case{{"2"}, 0, "LRF power on\n\n", {"dir_out 87 1"}},
                        Case{{"abc"}, 0, "LRF power off\n\n", {"dir_out 87 0"}},
                        Case{{}, 255, usage, {}}, Case{{"1", "0"}, 255, usage, {}}}) {
    std::vector<std::string> argv = {simtest::bin("lrfpower")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const simtest::Result r = simtest::run(argv);
    const std::string name = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(r.status, c.status) << name << r.err;
    EXPECT_EQ(r.out, kBanner + c.out) << name;
    EXPECT_EQ(power_pin_ops(r), c.ops) << name;
  }
}

TEST(Lrfpower, FailedLibraryStartEndsWithOneAndSwitchesNothing) {
  simtest::RunOptions o;
  o.env = {"TARSA_CONFIG=/nonexistent/tarsa.toml"};
  const simtest::Result r = simtest::run({simtest::bin("lrfpower"), "1"}, o);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(power_pin_ops(r), std::vector<std::string>{});
}

// A TOML basic string holding `bytes`.
std::string toml_string(const std::string &bytes) {
  std::string out = "\"";
  for (const char ch : bytes) {
    if (ch == '\n')
      out += "\\n";
    else if (ch == '\\' || ch == '"')
      out += std::string("\\") + ch;
    else
      out += ch;
  }
  return out + "\"";
}

// The built-in board with a sensor on /dev/ttyACM0 answering `replies` (command line, reply).
std::string board_with_sensor(const std::vector<std::pair<std::string, std::string>> &replies) {
  std::string toml =
      "extends = \"builtin\"\n[[serial.device]]\nnode = \"/dev/ttyACM0\"\nmodel = \"script\"\n";
  for (const auto &[command, reply] : replies)
    toml += "[[serial.script]]\nnode = \"/dev/ttyACM0\"\nexpect = " + toml_string(command + "\n") +
            "\nreply = " + toml_string(reply) + "\n";
  return toml;
}

const std::vector<std::pair<std::string, std::string>> kStart = {
    {"QT", lrf_test::reply("QT", "00")},
    {"PP", lrf_test::params_reply()},
    {"BM", lrf_test::reply("BM", "00")}};

simtest::Result lrfdemo(std::vector<std::pair<std::string, std::string>> replies) {
  simtest::RunOptions o;
  o.scenario_toml = board_with_sensor(replies);
  return simtest::run({simtest::bin("lrfdemo")}, o);
}

// What the program wrote on the sensor's node.
std::string sent_to_sensor(const simtest::Result &r) {
  std::string sent;
  for (const auto &rec : simtest::read_trace(r.trace)) {
    if (rec.value("op", "") != "tx") continue;
    const std::string hex = rec["data"];
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      sent += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return sent;
}

const std::string kDemoBanner = "\x1b[2J\x1b[1;1fLed Range Finder Small Example Program\r\n";

TEST(Lrfdemo, PrintsOneScanAsATable) {
  auto replies = kStart;
  replies.emplace_back("GD0044072501", lrf_test::scan_reply(lrf_test::sample_scan()));
  const simtest::Result r = lrfdemo(replies);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string head = kDemoBanner + "index dist[mm] angle[deg] x[mm] y[mm]\n";
  ASSERT_EQ(r.out.substr(0, head.size()), head);
  std::vector<std::string> rows;
  for (std::size_t at = head.size(); at < r.out.size();) {
    const std::size_t lf = r.out.find('\n', at);
    rows.push_back(r.out.substr(at, lf - at));
    at = lf + 1;
  }
  ASSERT_EQ(rows.size(), 682u);
  EXPECT_EQ(rows[0], "  0\t 500\t -29.9\t +433.5\t -249.1");
  EXPECT_EQ(rows[5], "  5\t   0\t -28.1\t   +0.0\t   -0.0");  // the sensor's error code: no range
  EXPECT_EQ(rows[85], " 85\t1000\t  +0.0\t+1000.0\t   +0.0");
  EXPECT_EQ(rows[341], "341\t 841\t +90.0\t   +0.0\t +841.0");
  EXPECT_EQ(rows[681], "681\t1181\t+209.5\t-1027.6\t -582.1");
  // Powered first, and left powered.
  std::vector<std::string> ops;
  for (const auto &rec : simtest::read_trace(r.trace))
    if (rec.value("gpio", -1) == 87 && rec["op"] == "dir_out")
      ops.push_back(testutil::gpio_op(rec));
  EXPECT_EQ(ops, std::vector<std::string>{"dir_out 87 1"});
}

// lrfdemo on the board's range finder model, its entry given `keys`.
simtest::Result lrfdemo_on_model(const std::string &keys = "") {
  simtest::RunOptions o;
  o.scenario_toml =
      "extends = \"builtin\"\n[[serial.device]]\nnode = \"/dev/ttyACM0\"\nmodel = "
      "\"scip_lrf\"\n" +
      keys;
  return simtest::run({simtest::bin("lrfdemo")}, o);
}

TEST(Lrfdemo, RowsAreTheWallsOfTheWorld) {
  const simtest::Result r = lrfdemo_on_model();
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string head = kDemoBanner + "index dist[mm] angle[deg] x[mm] y[mm]\n";
  ASSERT_EQ(r.out.substr(0, head.size()), head);
  std::istringstream rows(r.out.substr(head.size()));
  std::string row;
  std::vector<std::string> angles;
  int n = 0;
  for (; std::getline(rows, row); ++n) {
    int index = -1;
    long d = 0;
    char angle[16] = "";
    ASSERT_EQ(std::sscanf(row.c_str(), "%d\t%ld\t%15s", &index, &d, angle), 3) << row;
    ASSERT_EQ(index, n);
    // The robot stands at the centre of the 3 m square room, facing +x; step 384 is ahead.
    const double a = (n + 44 - 384) * 2 * std::numbers::pi / 1024;
    const double wall = 1500 / std::max(std::fabs(std::cos(a)), std::fabs(std::sin(a)));
    EXPECT_NEAR(static_cast<double>(d), wall, 10.5) << row;  // the model's noise: +-10 mm
    angles.push_back(angle);
  }
  ASSERT_EQ(n, 682);
  EXPECT_EQ(angles[0], "-29.9");
  EXPECT_EQ(angles[85], "+0.0");
  EXPECT_EQ(angles[341], "+90.0");
}

TEST(Lrfdemo, FailuresEndWithTheirStatus) {
  const std::string message = "\nERROR: port /dev/ttyACM0 could not initialise LRF!\n";
  simtest::Result r = lrfdemo_on_model("fault = \"silent\"\n");
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out, kDemoBanner + message);

  r = lrfdemo_on_model("fault = \"bad_check\"\nfault_command = \"GD\"\n");
  EXPECT_EQ(r.status, 253);
  EXPECT_EQ(r.out, kDemoBanner + message);
  const std::string sent = sent_to_sensor(r);
  EXPECT_TRUE(sent.ends_with("GD0044072501\nQT\n"))
      << "the port is closed after the scan: " << sent;

  simtest::RunOptions o;
  o.env = {"TARSA_CONFIG=/nonexistent/tarsa.toml"};
  r = simtest::run({simtest::bin("lrfdemo")}, o);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kDemoBanner + "\nERROR: port /dev/ttyACM0 could not initialise libtarsa!\n");
}

}  // namespace
