// StarGazer parameter commands against scripted replies on the simulated board: the texts sent,
// the codes of the tables, the value replies that do not parse, the version text and its bound,
// map mode and the end of parameter setting.
#include <chrono>
#include <cstring>

#include "test_vx_stargazer.h"

namespace {

using namespace gazer_test;
using Clock = std::chrono::steady_clock;

class GazerParams : public GazerTest {
 protected:
  void SetUp() override {
    GazerTest::SetUp();
    if (IsSkipped()) return;
    open_port();
    mark = simtest::trace_mark();
  }
  std::size_t mark = 0;
};

TEST_F(GazerParams, WritesAreAcknowledgedByTheirOwnText) {
  simtest::serial_script(kNode, "~#IDNum|12`", "~!IDNum|12`");
  simtest::serial_script(kNode, "~#MarkType|HLD2L`", "~!MarkType|HLD2L`");
  simtest::serial_script(kNode, "~#HeightFix|Yes`", "~!HeightFix|No`");
  EXPECT_EQ(vx_gazer_set_landmark_number(12), 0);
  EXPECT_EQ(vx_gazer_set_ref_id(-3), -2);
  EXPECT_EQ(vx_gazer_set_landmark_type(3), 0);
  EXPECT_EQ(vx_gazer_set_landmark_mode(1), -2);
  EXPECT_EQ(vx_gazer_set_height_fix_mode(1), -2) << "an acknowledgement of another value";
  // Codes past their table, negative ones included, send nothing.
  EXPECT_EQ(vx_gazer_set_landmark_type(6), -3);
  EXPECT_EQ(vx_gazer_set_landmark_type(static_cast<unsigned>(-1)), -3);
  EXPECT_EQ(vx_gazer_set_landmark_mode(2), -3);
  EXPECT_EQ(vx_gazer_set_height_fix_mode(2), -3);
  const std::string expected =
      "~#IDNum|12`~#RefID|-3`~#MarkType|HLD2L`~#MarkMode|Map`~#HeightFix|Yes`";
  EXPECT_EQ(sent(mark, expected.size()), expected);
}

TEST_F(GazerParams, TableValuesByName) {
  int code = 5;
  simtest::serial_script(kNode, "~@MarkType`", "~$MarkType|HLD2L`", 0, true);
  EXPECT_EQ(vx_gazer_get_landmark_type(&code), 0);
  EXPECT_EQ(code, 3);
  // A name that is not in the table: code 0.
  code = 5;
  simtest::serial_script(kNode, "~@MarkType`", "~$MarkType|HLD9X`", 0, true);
  EXPECT_EQ(vx_gazer_get_landmark_type(&code), -3);
  EXPECT_EQ(code, 0);
  // No value reply at all: the code is left alone.
  code = 5;
  EXPECT_EQ(vx_gazer_get_landmark_type(&code), -2);
  EXPECT_EQ(code, 5);
  // The whole reply is searched, in code order: an earlier text names the code.
  simtest::serial_script(kNode, "~@MarkType`", "~!MarkType|HLD1L`~$MarkType|HLD3S`", 0, true);
  EXPECT_EQ(vx_gazer_get_landmark_type(&code), 0);
  EXPECT_EQ(code, 1);

  simtest::serial_script(kNode, "~@MarkMode`", "~$MarkMode|Map`", 0, true);
  EXPECT_EQ(vx_gazer_get_landmark_mode(&code), 0);
  EXPECT_EQ(code, 1);
  simtest::serial_script(kNode, "~@HeightFix`", "~$HeightFix|Yes`", 0, true);
  EXPECT_EQ(vx_gazer_get_height_fix_mode(&code), 0);
  EXPECT_EQ(code, 1);
  simtest::serial_script(kNode, "~@HeightFix`", "~$HeightFix|No`", 0, true);
  EXPECT_EQ(vx_gazer_get_height_fix_mode(nullptr), -2);
}

TEST_F(GazerParams, IntegerValues) {
  int v = 99;
  simtest::serial_script(kNode, "~@IDNum`", "~$IDNum|42`", 0, true);
  EXPECT_EQ(vx_gazer_get_landmark_number(&v), 0);
  EXPECT_EQ(v, 42);
  simtest::serial_script(kNode, "~@RefID`", "~$RefID|-7`", 0, true);
  EXPECT_EQ(vx_gazer_get_ref_id(&v), 0);
  EXPECT_EQ(v, -7);
  simtest::serial_script(kNode, "~@IDNum`", "~$IDNum|abc`", 0, true);
  EXPECT_EQ(vx_gazer_get_landmark_number(&v), -2);
  EXPECT_EQ(v, -7);
  simtest::serial_script(kNode, "~@RefID`", "~$IDNum|5`", 0, true);
  EXPECT_EQ(vx_gazer_get_ref_id(&v), -2) << "the value of another parameter";
  EXPECT_EQ(v, -7);
  EXPECT_EQ(sent(mark, 32), "~@IDNum`~@RefID`~@IDNum`~@RefID`");
}

TEST_F(GazerParams, VersionTextUpToItsBound) {
  char version[VX_GAZER_VERSION_SIZE];
  std::strcpy(version, "kept");
  EXPECT_EQ(vx_gazer_get_version(nullptr), -3) << "silent sensor";
  EXPECT_EQ(vx_gazer_get_version(version), -3);
  simtest::serial_script(kNode, "~@Version`", "~$Version|SG 1.05", 0, true);
  EXPECT_EQ(vx_gazer_get_version(version), -3) << "no closing backtick";
  EXPECT_STREQ(version, "kept");
  simtest::serial_script(kNode, "~@Version`", "~$Version|SG 1.05`", 0, true);
  EXPECT_EQ(vx_gazer_get_version(nullptr), -2) << "live sensor";
  simtest::serial_script(kNode, "~@Version`", "~$Version|SG 1.05`", 0, true);
  EXPECT_EQ(vx_gazer_get_version(version), 0);
  EXPECT_STREQ(version, "SG 1.05");

  // The longest text a reply can carry fills the documented buffer exactly.
  const std::string longest(VX_GAZER_VERSION_SIZE - 1, 'v');
  simtest::serial_script(kNode, "~@Version`", "~$Version|" + longest + "`", 0, true);
  EXPECT_EQ(vx_gazer_get_version(version), 0);
  EXPECT_EQ(std::string(version), longest);
  EXPECT_EQ(sent(mark, 60), "~@Version`~@Version`~@Version`~@Version`~@Version`~@Version`");
}

TEST_F(GazerParams, MapModeStopsFirst) {
  simtest::serial_script(kNode, kStop, kStopAck);
  simtest::serial_script(kNode, "~#MapMode|Start`", "~!MapMode|Start`", 0, true);
  EXPECT_EQ(vx_gazer_start_map_mode(), 0);
  EXPECT_EQ(vx_gazer_start_map_mode(), -4);
  const std::string twice = std::string(kStop) + "~#MapMode|Start`" + kStop + "~#MapMode|Start`";
  EXPECT_EQ(sent(mark, twice.size()), twice);

  // A stop that never comes: ten attempts, and the map command is not sent.
  line->fresh();
  const auto after = simtest::trace_mark();
  EXPECT_EQ(vx_gazer_start_map_mode(), -2);
  std::string stops;
  for (int i = 0; i < 10; ++i) stops += kStop;
  EXPECT_EQ(sent(after, stops.size()), stops);
}

TEST_F(GazerParams, SetEndWaitsThreeSecondsForTheUpdateReport) {
  simtest::serial_script(kNode, "~#SetEnd`", "~!SetEnd`");
  auto timed = [](int expected) {
    const auto t0 = Clock::now();
    EXPECT_EQ(vx_gazer_set_end_command(), expected);
    return Clock::now() - t0;
  };
  // The report comes on its own while the module waits.
  simtest::serial_send(kNode, "~!ParameterUpdate`", 1500);
  EXPECT_GE(timed(0), std::chrono::milliseconds(9 * 30 + 3000));
  EXPECT_GE(timed(-3), std::chrono::milliseconds(9 * 30 + 3000));
  simtest::serial_clear(kNode);
  EXPECT_LT(timed(-2), std::chrono::milliseconds(9 * 30 + 3000)) << "no wait without the ack";
  EXPECT_EQ(sent(mark, 27), "~#SetEnd`~#SetEnd`~#SetEnd`");
}

}  // namespace
