// StarGazer position reads on the simulated board: records and their headings, the reports that
// come instead of a record and their precedence, partial records, the correction, a flooded
// line, and random received text.
#include <dlfcn.h>
#include <termios.h>

#include <cmath>
#include <random>
#include <set>

#include "test_vx_stargazer.h"

namespace {

using namespace gazer_test;

int flushes = 0;
std::string refill;  // what the sensor sends while the reader flushes

}  // namespace

// The reader's flush, passed on to the C library. A real flood refills the line between the
// flush and the count that follows it only by chance; here it does so every time it is asked to.
extern "C" __attribute__((visibility("default"))) int tcflush(int fd, int queue) noexcept {
  using Fn = int (*)(int, int);
  static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "tcflush"));
  const int rc = real(fd, queue);
  ++flushes;
  if (!refill.empty()) {
    std::string bytes;
    bytes.swap(refill);
    gazer_test::GazerTest::line->deliver(bytes);
  }
  return rc;
}

namespace {

constexpr double kUntouched = -12345.0;

struct Reading {
  double x = kUntouched, y = kUntouched, height = kUntouched, angle = kUntouched;
  int id = -1;
  char mode = '?';
  int rc = 99;
  bool untouched() const {
    return x == kUntouched && y == kUntouched && height == kUntouched && angle == kUntouched &&
           id == -1 && mode == '?';
  }
};

class GazerData : public GazerTest {
 protected:
  void SetUp() override {
    GazerTest::SetUp();
    if (IsSkipped()) return;
    open_port();
  }

  // The sensor sends `text`; then one read.
  Reading read(const std::string &text, int correct = 0) {
    if (!text.empty()) line->deliver(text);
    Reading r;
    r.rc = vx_stargazer_read_data(&r.x, &r.y, &r.height, &r.angle, &r.id, &r.mode, correct);
    return r;
  }
};

TEST_F(GazerData, RecordsAndHeadings) {
  // The start reads its acknowledgement once, 30 ms after its last byte: on a loaded machine the
  // sensor's side may not answer that fast. Answered at "~#CalcSta", the acknowledgement has the
  // pacing of the last three bytes as well (120 ms in all).
  simtest::serial_script(kNode, "~#CalcSta", "~!CalcStart`", 0, true);
  ASSERT_EQ(vx_gazer_start_computation(), 0);
  EXPECT_EQ(read("").rc, -8) << "nothing yet";

  Reading r = read("~^I3|0|10|20|250`");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.mode, 'I');
  EXPECT_EQ(r.id, 3);
  EXPECT_EQ(r.angle, 90.0);
  EXPECT_EQ(r.x, 10.0);
  EXPECT_EQ(r.y, 20.0);
  EXPECT_EQ(r.height, 250.0);
  EXPECT_EQ(read("").rc, -8) << "a read takes everything that was waiting";

  for (auto [sent, converted] :
       {std::pair{120.0, 330.0}, {-90.0, 180.0}, {90.0, 0.0}, {-300.0, 30.0}, {-179.5, 269.5}}) {
    r = read("~^I7|" + std::to_string(sent) + "|-1.5|2.25|198.5`");
    EXPECT_EQ(r.rc, 0) << sent;
    EXPECT_DOUBLE_EQ(r.angle, converted) << sent;
  }
  // Several records: the oldest; the last one still arriving: none.
  r = read("~^I4|0|1|2|3`~^I5|0|4|5|6`");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.id, 4);
  EXPECT_EQ(r.x, 1.0);
  EXPECT_TRUE(read("~^I4|0|1|2|3`~^I5|0|4").untouched());
  EXPECT_EQ(read("~^I5|0|4|5|6").rc, -7);
  EXPECT_EQ(read("~$RefID|2`").rc, -7) << "a late parameter reply";
  EXPECT_EQ(read("x~^I5|0|4|5|6`").rc, -7);

  // A record cut after its heading: the fields before are passed on, the heading unconverted.
  r = read("~^I3|45`");
  EXPECT_EQ(r.rc, -5);
  EXPECT_EQ(r.mode, 'I');
  EXPECT_EQ(r.id, 3);
  EXPECT_EQ(r.angle, 45.0);
  EXPECT_EQ(r.x, kUntouched);
  EXPECT_EQ(r.height, kUntouched);
}

TEST_F(GazerData, ReportsInsteadOfRecordsAndTheirPrecedence) {
  const std::string record = "~^I3|0|10|20|250`";
  struct Case {
    std::string text;
    int rc;
  };
  for (const Case &c : std::vector<Case>{
           {"~*DeadZone`", -6},
           {record + "~*DeadZone`", -6},
           {"~*MAPID|17`DeadZone", -6},
           {"~!ParameterUpdate`", 1},
           {record + "~!ParameterUpdate`", 1},
           {"~*MAPID|17`", 17},
           {"~*MAPID|-4`~!ParameterUpdate`", -4},
           {"~*MAPID|xx`", -9},
           {"~*MAPID|17", -7},  // not ended: not a report, and not a record
       }) {
    const Reading r = read(c.text);
    EXPECT_EQ(r.rc, c.rc) << c.text;
    EXPECT_TRUE(r.untouched()) << c.text;
  }
  // A report too short to hold a number has none, whatever an earlier read left behind it.
  ASSERT_EQ(read("~^I3|0|1234|20|250`").rc, 0);
  EXPECT_EQ(read("MAPID`").rc, -9);
}

TEST_F(GazerData, CorrectionByTheCalibratedEllipse) {
  const std::string at260 = "~^I3|-170|10|20|250`";  // converted heading 260
  Reading r = read(at260, 1);
  EXPECT_EQ(r.x, 10.0) << "nothing calibrated yet";
  EXPECT_EQ(r.y, 20.0);

  a_axis = 2;
  b_axis = 1;
  angle_rot = 0;
  r = read(at260, 1);
  EXPECT_EQ(r.rc, 0);
  EXPECT_NEAR(r.x, 8.0, 1e-12);
  EXPECT_NEAR(r.y, 20.0, 1e-12);
  EXPECT_EQ(r.angle, 260.0);
  for (int other : {0, 2, -1}) {
    r = read(at260, other);
    EXPECT_EQ(r.x, 10.0) << other;
    EXPECT_EQ(r.y, 20.0) << other;
  }
  // Turned by 30 degrees, heading 0: the point at 70 degrees of the ellipse.
  angle_rot = 30;
  r = read("~^I3|90|10|20|250`", 1);
  EXPECT_NEAR(r.x, 10.0 - 0.1225499550590938, 1e-12);
  EXPECT_NEAR(r.y, 20.0 - 1.1558178246750423, 1e-12);
  a_axis = b_axis = angle_rot = 0;
}

TEST_F(GazerData, FloodedLineIsFlushed) {
  flushes = 0;
  EXPECT_EQ(read(std::string(2047, 'x')).rc, -7) << "2047 bytes are read as they are";
  EXPECT_EQ(flushes, 0);
  EXPECT_EQ(read(std::string(2048, 'x')).rc, -8);
  EXPECT_EQ(flushes, 1);
  EXPECT_EQ(line->waiting(), 0);

  // Still flooded after the flush.
  refill = std::string(2100, 'y');
  EXPECT_EQ(read(std::string(3000, 'x')).rc, -3);
  EXPECT_EQ(flushes, 2);
  EXPECT_EQ(line->waiting(), 2100) << "nothing is read";
  EXPECT_EQ(read("").rc, -8);
  EXPECT_EQ(flushes, 3);
}

// Random text: record-shaped, of protocol pieces, or plain bytes. The results stay within the
// documented set and the outputs are written only for a record or a partial one.
TEST_F(GazerData, FuzzedReceivedText) {
  static const std::vector<std::string> fields = {
      "I", "M", "|", "|",   "|",           "-",     ".",   "e",   "+",
      " ", "0", "7", "3.5", "99999999999", "1e308", "nan", "inf", std::string(1, '\0'),
      "`", "~"};
  static const std::vector<std::string> reports = {
      "~^I3|0|10|20|250`", "MAPID", "DeadZone", "~!ParameterUpdate`", "~$IDNum|3`", "\xff", "\n"};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> count(1, 40), byte(0, 255), correct(0, 2);
  auto pick = [&](const std::vector<std::string> &from) {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(rng)];
  };
  const std::set<int> documented = {0, 1, -3, -5, -6, -7, -8, -9};
  std::set<int> seen;
  for (int round = 0; round < 300; ++round) {
    std::string text = round % 3 == 0 ? "~^" : "";
    for (int n = count(rng); n > 0; --n) {
      if (round % 3 == 0)
        text += pick(fields);
      else if (round % 3 == 1)
        text += n % 8 == 0 ? pick(reports) : pick(fields);
      else
        text += static_cast<char>(byte(rng));
    }
    if (round % 3 == 0) text += '`';
    const Reading r = read(text, correct(rng));
    seen.insert(r.rc);
    const bool mapid = text.find("MAPID") != std::string::npos && text.back() == '`' &&
                       text.find("DeadZone") == std::string::npos;
    if (!mapid) {
      EXPECT_TRUE(documented.count(r.rc)) << r.rc << " for " << testing::PrintToString(text);
    }
    if (r.rc != 0 && r.rc != -5) {
      EXPECT_TRUE(r.untouched()) << r.rc << " for " << testing::PrintToString(text);
    }
  }
  for (int rc : {0, 1, -5, -6, -7}) EXPECT_TRUE(seen.count(rc)) << "never got " << rc;
}

}  // namespace
