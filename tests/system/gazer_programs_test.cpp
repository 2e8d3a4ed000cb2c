// gazerdemo and gazercal under the simulator, against sensors scripted by scenario: what they
// print, where, and how they end.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "simtest.h"

namespace {

using Clock = std::chrono::steady_clock;

// A scenario on the built-in board whose /dev/ttyO0 answers `rules` (expect, reply, delay).
struct Rule {
  std::string expect, reply;
  int delay_ms = 0;
};
std::string sensor(const std::vector<Rule> &rules) {
  std::string s =
      "extends = \"builtin\"\n[[serial.device]]\nnode = \"/dev/ttyO0\"\nmodel = \"script\"\n";
  for (const auto &r : rules)
    s += "[[serial.script]]\nnode = \"/dev/ttyO0\"\nexpect = '" + r.expect + "'\nreply = '" +
         r.reply + "'\ndelay_ms = " + std::to_string(r.delay_ms) + "\n";
  return s;
}

// The sensor stops and answers its parameters. Its first record comes during the start's pause:
// the rule fires before the start's last two bytes, after which the start reads its reply.
std::vector<Rule> live_sensor(const std::string &first_output) {
  return {{"~#CalcStop`", "~!CalcStop`"},
          {"~@Version`", "~$Version|SG 1.05`"},
          {"~@IDNum`", "~$IDNum|12`"},
          {"~@RefID`", "~$RefID|9`"},
          {"~@MarkMode`", "~$MarkMode|Map`"},
          {"~#CalcStar", first_output, 200},
          {"t`", "~!CalcStart`"}};
}

simtest::RunOptions on(const std::string &scenario) {
  simtest::RunOptions o;
  o.scenario_toml = scenario;
  return o;
}

std::size_t wheel_writes(const std::string &trace) {
  std::size_t n = 0;
  for (const auto &r : simtest::read_trace(trace))
    if (r.value("dev", "") == "/dev/i2c-2" && r.value("op", "") == "write") ++n;
  return n;
}

TEST(GazerDemo, ParametersAndReadings) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  auto rules = live_sensor("~^I3|0|10|20|250`");
  rules.push_back({"~@MarkType`", "~$MarkType|HLD2L`"});
  rules.push_back({"~@HeightFix`", "~$HeightFix|Yes`"});
  const auto r = simtest::run({simtest::bin("gazerdemo")}, on(sensor(rules)));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string expected =
      "\nTarsa 4 Stargazer small example program\n"
      "\nInitialising Stargazer module; please wait!\n"
      "\nStargazer version is: SG 1.05\n"
      "\nRead current Stargazer parameters:\n"
      "  landmark number: 12\n"
      "  reference id   : 9\n"
      "  landmark type  : HLD2L (does it match yours?)\n"
      "  landmark mode  : Map\n"
      "  height fix mode: Yes\n\n"
      "data 0: [cm,deg] x=  +10.0  y=  +20.0  angle=  +90.0 height= +250.0 idnum=    3 mode: I\n";
  EXPECT_EQ(r.out, "\x1b[2J\x1b[1;1f" + expected);
  std::string nine;
  for (int i = 0; i < 9; ++i) nine += "\nERROR: no data received!\n";
  EXPECT_EQ(r.err, nine);
}

TEST(GazerDemo, FailedQueriesAndNoLandmark) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  // No version, no type and no height fix: the type keeps the reference id, which names no
  // type, and the height fix keeps the mode's 1.
  auto rules = live_sensor("~*DeadZone`");
  rules.erase(rules.begin() + 1);  // the version
  const auto r = simtest::run({simtest::bin("gazerdemo")}, on(sensor(rules)));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nStargazer version is: \n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  landmark type  : (unknown) (does it match yours?)\n"
                       "  landmark mode  : Map\n"
                       "  height fix mode: Yes\n\n"
                       "The sensor does not see any landmark!\n"),
            std::string::npos)
      << r.out;
}

TEST(GazerDemo, SilentSensor) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  const auto t0 = Clock::now();
  const auto r = simtest::run({simtest::bin("gazerdemo")},
                              on("extends = \"builtin\"\n[[serial.device]]\nnode = \"/dev/ttyO0\"\n"
                                 "model = \"stargazer\"\nsilent = true\n"));
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(4300));
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.out.substr(r.out.find("\nInitialising")),
            "\nInitialising Stargazer module; please wait!\n"
            "\nError initialising the Stargazer  (error = -3)!\n");
}

TEST(GazerCal, SensorFailuresAndTheCommandLine) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  auto r = simtest::run({simtest::bin("gazercal")}, on(sensor({})));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "gazercal: the StarGazer on /dev/ttyO0 does not answer (error -3)\n");

  // Computing, but nothing arrives: the robot does not move.
  r = simtest::run({simtest::bin("gazercal"), "--check", "2"},
                   on(sensor({{"~#CalcStop`", "~!CalcStop`"}, {"~#CalcStart`", "~!CalcStart`"}})));
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.out.find("result: -12, no position record arrived\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Positions for"), std::string::npos);
  EXPECT_EQ(wheel_writes(r.trace), 0u);

  // A report before any record: not a failed fit.
  r = simtest::run({simtest::bin("gazercal")}, on(sensor(live_sensor("~!ParameterUpdate`"))));
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.out.find("result: -2, the sensor sent a report (1) instead of a position\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(wheel_writes(r.trace), 0u);

  r = simtest::run({simtest::bin("gazercal"), "--check", "0"}, on(sensor({})));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("gazercal: --check takes 1 to 600 seconds, not \"0\"\nUsage: gazercal ", 0),
            0u)
      << r.err;
}

}  // namespace
