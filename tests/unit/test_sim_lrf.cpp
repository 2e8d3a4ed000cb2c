// The simulated range finder driven directly: its node's power-up, exact replies and their
// pacing on the line, distances from the world's walls, streaming, and the faults a scenario
// chooses. Replies are read back with the driver's own protocol layer.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "board.h"
#include "lrf/scip.h"
#include "models/lrf.h"
#include "scenario.h"
#include "shm.h"

namespace {

namespace scip = tarsa::scip;
using tsim::LrfModel;

constexpr const char *kNode = "/dev/ttyACM0";

struct Rig {
  tsim::SharedState *shm = tsim::shm_anonymous();
  std::unique_ptr<tsim::Board> board;
  tsim::SerialModel *lrf = nullptr;
  std::uint64_t now = 0, last_due = 0;

  // The built-in board with the range finder's entry given `keys`; `board` adds to the scenario.
  explicit Rig(const std::string &keys = "", const std::string &more = "") {
    const std::string text =
        "extends = \"builtin\"\n" + more +
        "\n[[serial.device]]\nnode = \"/dev/ttyACM0\"\nmodel = \"scip_lrf\"\n" + keys;
    board = std::make_unique<tsim::Board>(tsim::parse_scenario(text, "t.toml"), *shm, true);
    lrf = board->serial(kNode)->models.front().get();
  }
  ~Rig() {
    board.reset();
    munmap(shm, sizeof *shm);
  }

  // Everything the sensor says within `span_us` after `line` (with its LF) reaches it at `now`.
  std::string ask(const std::string &line, std::uint64_t span_us = 300000) {
    lrf->received({reinterpret_cast<const std::uint8_t *>(line.data()), line.size()}, now);
    const std::uint64_t end = now + span_us;
    std::string out;
    for (std::uint64_t t = now; t <= end;) {
      std::vector<std::string> due;
      const std::uint64_t next = lrf->output(t, due);
      for (const auto &d : due) {
        out += d;
        last_due = t;
      }
      if (next == tsim::SerialModel::kNever) break;
      t = next;
    }
    now = end;
    return out;
  }
};

// A sensor powered from the start (the pin reads high), node there at once, without noise.
const std::string kAlwaysOn = "enumeration_ms = 0\nnoise_mm = 0\n";
const std::string kPinHigh = "[gpio]\nhigh = [87]\n";

std::vector<std::int32_t> distances(const std::string &text, std::size_t count,
                                    scip::Fault *fault = nullptr) {
  scip::Reply reply;
  std::vector<std::int32_t> out(count);
  scip::Fault f = scip::parse_reply(text, reply);
  if (f == scip::Fault::none) f = scip::parse_distances(reply, out);
  if (fault) *fault = f;
  return f == scip::Fault::none ? out : std::vector<std::int32_t>{};
}

TEST(SimLrf, NodeAppearsAfterPowerOnAndEnumeration) {
  Rig rig;
  tsim::GpioController &gpio = rig.board->gpio();
  EXPECT_FALSE(rig.lrf->present(rig.board->now_us() + 10'000'000));
  const std::uint64_t before = rig.board->now_us();
  ASSERT_EQ(gpio.dir_out(87, 1), 0);
  const std::uint64_t after = rig.board->now_us();
  EXPECT_FALSE(rig.lrf->present(before + 799'999));
  EXPECT_TRUE(rig.lrf->present(after + 800'000));
  ASSERT_EQ(gpio.set(87, 1), 0);  // written again: still powered since the first time
  EXPECT_TRUE(rig.lrf->present(after + 800'000));

  rig.now = after + 800'000;
  EXPECT_EQ(rig.ask("BM\n", 400), "BM\n");  // cut short by the span: the line is slow
  ASSERT_EQ(gpio.set(87, 0), 0);
  EXPECT_FALSE(rig.lrf->present(rig.now));
  EXPECT_EQ(rig.ask("QT\n"), "") << "a dead sensor neither finishes nor answers";
  ASSERT_EQ(gpio.set(87, 1), 0);
  rig.now = rig.board->now_us() + 800'000;
  EXPECT_EQ(rig.ask("BM\n"), "BM\n00P\n\n") << "the laser went off with the power";
}

TEST(SimLrf, RepliesExactlyAtLineSpeed) {
  Rig rig(kAlwaysOn, kPinHigh);
  rig.now = 1'000'000;
  EXPECT_EQ(rig.ask("QT\n"), "QT\n00P\n\n");
  EXPECT_EQ(rig.last_due, 1'000'000 + 694);                       // 8 bytes of 86.8 us
  EXPECT_EQ(rig.ask("GD0044072501\n"), "GD0044072501\n10Q\n\n");  // laser off
  EXPECT_EQ(rig.ask("BM\n"), "BM\n00P\n\n");
  EXPECT_EQ(rig.ask("BM;t1\r"), "BM;t1\n02R\n\n");
  EXPECT_EQ(rig.ask("XX;tag\n"), "XX;tag\n0Ee\n\n");
  EXPECT_EQ(rig.ask("\nGD0044072601\n"), "GD0044072601\n04T\n\n");
  EXPECT_EQ(rig.ask("GD0100005001\n"), "GD0100005001\n05U\n\n");
  EXPECT_EQ(rig.ask("GD00440725\n"), "GD00440725\n0Cc\n\n");

  scip::Reply reply;
  std::string pp = rig.ask("PP\n");
  ASSERT_EQ(scip::parse_reply(pp, reply), scip::Fault::none);
  scip::Params params;
  ASSERT_EQ(scip::parse_params(reply, params), scip::Fault::none);
  EXPECT_EQ(params.steps_per_turn, 1024);
  EXPECT_EQ(params.first, 44);
  EXPECT_EQ(params.last, 725);
  for (const char *info : {"VV\n", "II\n"}) {
    const std::string text = rig.ask(info);
    ASSERT_EQ(scip::parse_reply(text, reply), scip::Fault::none) << info;
    EXPECT_EQ(scip::check_info(reply), scip::Fault::none) << text;
  }

  const std::uint64_t sent_at = rig.now;
  const std::string gd = rig.ask("GD0044072501\n");
  EXPECT_EQ(gd.size(), 2134u);
  EXPECT_NEAR(static_cast<double>(rig.last_due - sent_at), 2134 * 1e6 / 11520, 1);
  EXPECT_EQ(distances(gd, 682).size(), 682u);
}

TEST(SimLrf, DistancesAreTheWallsAlongEachStep) {
  // One wall 1 m ahead across the whole world, the robot facing it from (0, 0).
  Rig rig(kAlwaysOn, kPinHigh + "[world]\nwalls = [[1000.0, -1e6, 1000.0, 1e6]]\n");
  rig.ask("BM\n");
  const auto d = distances(rig.ask("GD0044072501\n"), 682);
  ASSERT_EQ(d.size(), 682u);
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double a = (static_cast<int>(i) + 44 - 384) * 2 * std::numbers::pi / 1024;
    const double expected = std::cos(a) > 0 ? 1000 / std::cos(a) : 1e9;
    if (expected > 5600)
      EXPECT_EQ(d[i], LrfModel::kNoReturn) << i;
    else
      EXPECT_NEAR(d[i], expected, 0.5) << i;
  }
  EXPECT_EQ(d[340], 1000);
  // Two steps a value: the nearer of each pair.
  const auto pairs = distances(rig.ask("GD0380038302\n"), 2);
  EXPECT_EQ(pairs, (std::vector<std::int32_t>{d[337], d[339]}));

  Rig noisy("enumeration_ms = 0\nnoise_mm = 20\n",
            kPinHigh + "[world]\nwalls = [[1000.0, -1e6, 1000.0, 1e6]]\n");
  noisy.ask("BM\n");
  const auto n = distances(noisy.ask("GD0044072501\n"), 682);
  ASSERT_EQ(n.size(), 682u);
  int moved = 0;
  for (std::size_t i = 0; i < n.size(); ++i) {
    if (d[i] == LrfModel::kNoReturn) continue;
    EXPECT_NEAR(n[i], d[i], 21) << i;
    moved += n[i] != d[i];
  }
  EXPECT_GT(moved, 300);
}

TEST(SimLrf, StreamsCountedScansUntilDone) {
  Rig rig(kAlwaysOn, kPinHigh);
  std::string out = rig.ask("MD0044072501002;s\n", 1'000'000);
  const std::string first = "MD0044072501002;s\n00P\n\n";
  ASSERT_EQ(out.substr(0, first.size()), first);
  out.erase(0, first.size());
  for (const char *echo : {"MD0044072501001;s", "MD0044072501000;s"}) {
    const auto span = scip::find_reply(out, echo);
    ASSERT_TRUE(span) << echo;
    scip::Reply reply;
    const std::string frame = out.substr(span->begin, span->end - span->begin);
    ASSERT_EQ(scip::parse_reply(frame, reply), scip::Fault::none);
    EXPECT_EQ(reply.status, "99");
    std::vector<std::int32_t> values(682);
    reply.status = scip::kOk;
    EXPECT_EQ(scip::parse_distances(reply, values), scip::Fault::none);
    out.erase(0, span->end);
  }
  EXPECT_EQ(out, "");
  EXPECT_EQ(rig.ask("BM\n"), "BM\n02R\n\n") << "streaming switched the laser on";

  // Endless until QT.
  out = rig.ask("MD0044072501100\n", 450'000);
  EXPECT_EQ(out.find("MD0044072501100\n99b\n"), 21u);  // after the first reply
  out = rig.ask("QT\n", 1'000'000);
  EXPECT_TRUE(out.ends_with("QT\n00P\n\n")) << out;
  EXPECT_EQ(rig.ask("II\n", 1'000'000).find("MD"), std::string::npos);
}

TEST(SimLrf, FaultsHitTheChosenReplies) {
  Rig rig(kAlwaysOn +
              "fault = \"bad_check\"\nfault_command = \"GD\"\nfault_skip = 1\nfault_count = 1\n",
          kPinHigh);
  EXPECT_EQ(rig.ask("BM\n"), "BM\n00P\n\n");
  scip::Fault fault;
  for (const scip::Fault expected : {scip::Fault::none, scip::Fault::check, scip::Fault::none}) {
    distances(rig.ask("GD0044072501\n"), 682, &fault);
    EXPECT_EQ(fault, expected);
  }

  Rig dropping(kAlwaysOn + "fault = \"drop_line\"\nfault_command = \"GD\"\n", kPinHigh);
  dropping.ask("BM\n");
  const std::string text = dropping.ask("GD0044072501\n");
  EXPECT_EQ(text.size(), 2134u - 66);
  distances(text, 682, &fault);
  EXPECT_EQ(fault, scip::Fault::format);

  Rig silent(kAlwaysOn + "fault = \"silent\"\n", kPinHigh);
  EXPECT_EQ(silent.ask("QT\n"), "");
  Rig bad_status(kAlwaysOn + "fault = \"bad_check\"\n", kPinHigh);
  EXPECT_EQ(bad_status.ask("QT\n"), "QT\n00Q\n\n");

  EXPECT_ANY_THROW(Rig(kAlwaysOn + "fault = \"melt\"\n"));
  EXPECT_ANY_THROW(Rig(kAlwaysOn + "fault_command = \"G\"\n"));
}

}  // namespace
