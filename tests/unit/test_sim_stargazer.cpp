// The simulated StarGazer driven directly: its answers and their timing, its parameters, and the
// records it computes from the world.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "board.h"
#include "scenario.h"
#include "shm.h"

namespace {

constexpr std::uint64_t kMs = 1000;

class Sensor {
 public:
  explicit Sensor(const std::string &keys, const std::string &world = "")
      : shm_(tsim::shm_anonymous()),
        board_(std::make_unique<tsim::Board>(
            tsim::parse_scenario(
                "[[serial.device]]\nnode = \"/dev/ttyO0\"\nmodel = \"stargazer\"\n" + keys +
                    "\n[world]\n" + world,
                "t.toml"),
            *shm_, true)),
        model_(*board_->serial("/dev/ttyO0")->models.front()) {}
  ~Sensor() {
    board_.reset();
    munmap(shm_, sizeof *shm_);
  }

  void send(const std::string &text, std::uint64_t at_us) {
    model_.received({reinterpret_cast<const std::uint8_t *>(text.data()), text.size()}, at_us);
  }
  void flushed(std::uint64_t at_us) { model_.flushed(at_us); }
  // Everything due by `at_us`, concatenated; `next` gets when more falls due.
  std::string out(std::uint64_t at_us, std::uint64_t *next = nullptr) {
    std::vector<std::string> due;
    const std::uint64_t n = model_.output(at_us, due);
    if (next) *next = n;
    std::string s;
    for (const auto &d : due) s += d;
    return s;
  }

 private:
  tsim::SharedState *shm_;
  std::unique_ptr<tsim::Board> board_;
  tsim::SerialModel &model_;
};

TEST(SimStarGazer, AnswersCompleteMessagesAfterTheLatency) {
  Sensor s("latency_ms = 20");
  s.send("xx~#CalcSt", 0);
  EXPECT_EQ(s.out(100 * kMs), "") << "no backtick yet";
  s.send("op`", 100 * kMs);
  std::uint64_t next = 0;
  EXPECT_EQ(s.out(119 * kMs, &next), "");
  EXPECT_EQ(next, 120 * kMs);
  EXPECT_EQ(s.out(120 * kMs), "~!CalcStop`");

  struct Case {
    std::string sent, answer;
  };
  for (const Case &c : std::vector<Case>{
           {"~@Version`", "~$Version|NS-SG 2.14`"},
           {"~@IDNum`", "~$IDNum|4`"},
           {"~#IDNum|12`", "~!IDNum|12`"},
           {"~@IDNum`", "~$IDNum|12`"},
           {"~#IDNum|x`", ""},
           {"~#RefID|7`~@RefID`", "~!RefID|7`~$RefID|7`"},
           {"~#MarkType|HLD2L`~@MarkType`", "~!MarkType|HLD2L`~$MarkType|HLD2L`"},
           {"~#MarkType|HLD9`~@MarkType`", "~$MarkType|HLD2L`"},
           {"~#MarkMode|Map`~@MarkMode`", "~!MarkMode|Map`~$MarkMode|Map`"},
           {"~#HeightFix|Yes`~@HeightFix`", "~!HeightFix|Yes`~$HeightFix|Yes`"},
           {"~@Colour`~#Dance`~^I1|0|0|0|0`", ""},
       }) {
    s.send(c.sent, 200 * kMs);
    EXPECT_EQ(s.out(220 * kMs), c.answer) << c.sent;
  }

  s.send("~#SetEnd`", 300 * kMs);
  EXPECT_EQ(s.out(320 * kMs), "~!SetEnd`");
  EXPECT_EQ(s.out(1819 * kMs), "");
  EXPECT_EQ(s.out(1820 * kMs), "~!ParameterUpdate`") << "1.5 s after the acknowledgement";

  Sensor silent("silent = true");
  silent.send("~#CalcStop`~@Version`~#CalcStart`", 0);
  EXPECT_EQ(silent.out(10'000 * kMs, &next), "");
  EXPECT_EQ(next, tsim::SerialModel::kNever);
}

// Robot at (300, -200) mm heading 30 degrees, below landmark 7 at (200, 100), 2750 mm high; the
// sensor 100 mm away at 90 degrees from the heading: at 120 degrees, (-50, 86.6) mm further.
TEST(SimStarGazer, RecordsFromTheWorld) {
  const std::string world =
      "x = 300.0\ny = -200.0\nheading = 30.0\n"
      "landmarks = [{ id = 7, x = 200.0, y = 100.0, z = 2750.0 }, { id = 8, x = 9000.0 }]\n";
  Sensor s("offset_mm = 100.0\noffset_deg = 90.0\nnoise_cm = 0\nheading_noise_deg = 0\n", world);
  s.send("~#CalcStart`", 0);
  std::uint64_t next = 0;
  EXPECT_EQ(s.out(5 * kMs, &next), "~!CalcStart`");
  EXPECT_EQ(next, 105 * kMs) << "ten records a second";
  EXPECT_EQ(s.out(105 * kMs, &next), "~^I7|60.00|5.00|-21.34|250.00`");
  EXPECT_EQ(next, 205 * kMs);
  s.send("~#MarkMode|Map`", 150 * kMs);
  EXPECT_EQ(s.out(205 * kMs), "~!MarkMode|Map`~^M7|60.00|5.00|-21.34|250.00`");

  s.send("~#MapMode|Start`", 210 * kMs);
  EXPECT_EQ(s.out(305 * kMs), "~!MapMode|Start`~*MAPID|7`");
  s.send("~#CalcStop`", 310 * kMs);
  EXPECT_EQ(s.out(2000 * kMs, &next), "~!CalcStop`");
  EXPECT_EQ(next, tsim::SerialModel::kNever) << "stopped: nothing more";

  // Out of view; then split records.
  Sensor far("view_mm = 200.0\nnoise_cm = 0\nsplit_ms = 20\n", world);
  far.send("~#CalcStart`", 0);
  EXPECT_EQ(far.out(105 * kMs), "~!CalcStart`~*Dea");
  EXPECT_EQ(far.out(124 * kMs), "");
  EXPECT_EQ(far.out(125 * kMs), "dZone`");
}

TEST(SimStarGazer, NoiseGarbageAndFlood) {
  const std::string world = "landmarks = [{ id = 5 }]\n";
  Sensor noisy("noise_cm = 2.0\ngarbage_hz = 50\n", world);
  noisy.send("~#CalcStart`", 0);
  ASSERT_EQ(noisy.out(5 * kMs), "~!CalcStart`");
  double sum = 0, sq = 0;
  int n = 0;
  std::string junk;
  for (std::uint64_t t = 25 * kMs; t <= 20'000 * kMs; t += 20 * kMs) {
    const std::string o = noisy.out(t);
    const std::size_t at = o.find("~^I5|");
    double a = 0, x = 0, y = 0, h = 0;
    if (at != std::string::npos &&
        std::sscanf(o.c_str() + at, "~^I5|%lf|%lf|%lf|%lf`", &a, &x, &y, &h) == 4) {
      sum += x;
      sq += x * x;
      ++n;
    }
    junk += at == std::string::npos ? o : o.substr(0, at);
  }
  ASSERT_GT(n, 150);
  const double mean = sum / n, sd = std::sqrt(sq / n - mean * mean);
  EXPECT_NEAR(mean, -1.39, 0.5);  // 80 mm at 100 degrees
  EXPECT_NEAR(sd, 2.0, 0.4);
  EXPECT_GT(junk.size(), 1000u);
  EXPECT_EQ(junk.find_first_of("~`"), std::string::npos) << "no message in the junk";

  Sensor flood("flood = true\n", world);
  flood.send("~#CalcStart`", 0);
  flood.out(5 * kMs);
  const std::string burst = flood.out(105 * kMs);
  EXPECT_GT(burst.size(), 2048u);
  EXPECT_EQ(burst.rfind("~^I5|", 0), 0u);
  EXPECT_EQ(burst.back(), '`');
  flood.flushed(150 * kMs);
  EXPECT_GT(flood.out(150 * kMs).size(), 2048u) << "refilled at once";
}

TEST(SimStarGazer, RefusesUnknownParameterValues) {
  auto refusal = [](const std::string &keys) {
    auto *shm = tsim::shm_anonymous();
    std::string what;
    try {
      tsim::Board b(
          tsim::parse_scenario(
              "[[serial.device]]\nnode = \"/dev/ttyO0\"\nmodel = \"stargazer\"\n" + keys, "t.toml"),
          *shm, true);
    } catch (const std::exception &e) {
      what = e.what();
    }
    munmap(shm, sizeof *shm);
    return what;
  };
  EXPECT_EQ(
      refusal("mark_type = \"HLD4S\"\n"),
      "t.toml:4:13: mark_type: \"HLD4S\" is none of HLD1S, HLD1L, HLD2S, HLD2L, HLD3S, HLD3L");
  EXPECT_EQ(refusal("rate_hz = 0\n"), "t.toml:4:11: rate_hz: 0 out of range [1, 50]");
}

}  // namespace
