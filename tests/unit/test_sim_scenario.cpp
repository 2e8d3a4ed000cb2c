// Scenario reading and the register-file and fault models of the board simulator, driven
// directly: messages that point at the offending line, dump parsing, faults over time.
#include <gtest/gtest.h>
#include <linux/i2c.h>
#include <sys/mman.h>

#include <cerrno>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "i2c_adapter.h"
#include "models/regfile.h"
#include "scenario.h"
#include "shm.h"
#include "world.h"

namespace {

using tsim::Board;

struct Shm {
  tsim::SharedState *s = tsim::shm_anonymous();
  ~Shm() { munmap(s, sizeof *s); }
};

// The message of the refusal of `text`, or "" when it is accepted.
std::string refusal(const std::string &text) {
  Shm shm;
  try {
    Board b(tsim::parse_scenario(text, "t.toml"), *shm.s, true);
  } catch (const std::exception &e) {
    return e.what();
  }
  return "";
}

TEST(SimScenario, RefusalsNameFileLineAndReason) {
  EXPECT_EQ(
      refusal("[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x80\nmodel = \"regfile\"\n"),
      "t.toml:4:8: addr: 128 out of range [0, 127]");
  EXPECT_EQ(
      refusal("[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x50\nmodel = \"nosuch\"\n"),
      "t.toml:5:9: i2c.slave: unknown model \"nosuch\"");
  EXPECT_EQ(refusal("[gpio]\npins = [64, [90, 80]]\n"),
            "t.toml:2:18: pins: 80 out of range [90, 255]");
  const std::string adapter = "[[i2c.adapter]]\nnumber = 2\n";
  EXPECT_EQ(refusal(adapter + "[[fault]]\nkind = \"error\"\naddr = 0x1F\nerrno = \"EWHAT\"\n"),
            "t.toml:6:9: errno: unknown errno name \"EWHAT\"");
  EXPECT_EQ(refusal("[[fault]]\nkind = \"nack\"\naddr = 0x1F\n"),
            "t.toml:1:1: fault: no adapter 2");
  EXPECT_NE(refusal("[[i2c.slave]\n").find("t.toml:1:"), std::string::npos);
  EXPECT_EQ(refusal(adapter + "[[fault]]\nkind = \"melt\"\naddr = 1\n"),
            "t.toml:3:1: fault: unknown kind \"melt\" (nack, error, missing)");
  EXPECT_EQ(refusal("extends = \"other\"\n"), "t.toml:1:11: extends: only \"builtin\" is known");
  EXPECT_EQ(refusal(""), "");  // the built-in board
  // Over the built-in board, each refusal still points into the file and names the limit.
  EXPECT_EQ(refusal("extends = \"builtin\"\n[pwm]\nnpwm = 100000000\n"),
            "t.toml:3:8: npwm: 100000000 out of range [1, 16]");
  EXPECT_EQ(refusal(adapter + "[[i2c.slave]]\naddr = 0x50\nmodel = \"regfile\"\nsize = 16\n"
                              "dump = \"\"\"\n00: 01 02\n10: 03\n\"\"\"\n"),
            "t.toml:7:8: dump line 2: register 0x10 beyond size 16");
  // Misspelt keys, in a model's entry and in the world's landmarks.
  EXPECT_EQ(refusal(adapter + "[[i2c.slave]]\naddr = 0x50\nmodel = \"regfile\"\nsise = 4\n"),
            "t.toml:6:1: i2c.slave: unknown key \"sise\"");
  EXPECT_EQ(refusal("[world]\nlandmarks = [{ id = 1, hieght = 2 }]\n"),
            "t.toml:2:24: world.landmarks: unknown key \"hieght\"");
  // Entries that cannot be real: nodes that are no device path or of another kind, pins the
  // board does not have, a fault on a command the sensor does not know, a landmark below it.
  const std::string over = "extends = \"builtin\"\n";
  EXPECT_EQ(refusal(over + "[[serial.device]]\nnode = \"ttyO1\"\nmodel = \"stargazer\"\n"),
            "t.toml:3:8: node: \"ttyO1\" is not a device path (/dev/...)");
  EXPECT_EQ(refusal(over + "[[serial.device]]\nnode = \"/dev/i2c-2\"\nmodel = \"stargazer\"\n"),
            "t.toml:3:8: node: /dev/i2c-2 is an I2C adapter node, not a serial node");
  EXPECT_EQ(refusal(over + "[[video.device]]\nnode = \"/dev/ttyO0\"\nmodel = \"camera\"\n"),
            "t.toml:3:8: node: /dev/ttyO0 is a serial node, not a video node");
  EXPECT_EQ(refusal(over + "[[i2c.adapter]]\nnumber = 3\nnode = \"/dev/robot\"\n"
                           "[[serial.device]]\nnode = \"/dev/robot\"\n"),
            "t.toml:5:1: node: /dev/robot is already an I2C adapter node");
  EXPECT_EQ(refusal(over + "[[serial.device]]\nnode = \"/dev/ttyACM0\"\nmodel = \"scip_lrf\"\n"
                           "power_gpio = 200\n"),
            "t.toml:5:14: power_gpio: the board has no GPIO 200");
  EXPECT_EQ(refusal(over + "[gpio]\nhigh = [88]\n"), "t.toml:3:8: high: the board has no GPIO 88");
  EXPECT_EQ(
      refusal(over + "[[serial.device]]\nnode = \"/dev/ttyACM0\"\nmodel = \"scip_lrf\"\n"
                     "fault_command = \"gd\"\n"),
      "t.toml:5:17: fault_command: unknown command \"gd\" (QT, BM, PP, VV, II, GD, MD, or \"\" "
      "for every command)");
  EXPECT_EQ(refusal(over + "[world]\nlandmarks = [{ id = 4, z = 200.0 }]\n"),
            "t.toml:3:28: world.landmarks: landmark 4 is not above the sensor (250 mm)");
  EXPECT_EQ(refusal(over + "[[fault]]\nkind = \"missing\"\nnode = \"/dev/ttyO9\"\n"),
            "t.toml:4:8: fault: the board has no node /dev/ttyO9");
  // The robot cannot start where it could not stand.
  EXPECT_EQ(refusal(over + "[world]\nx = 1450.0\n"),
            "t.toml:3:5: world: the robot's body at (1450, 0) overlaps the wall from (1500, -1500) "
            "to (1500, 1500)");
  EXPECT_EQ(refusal(over + "[[world.box]]\nx = 30.0\ny = 0.0\nwidth = 400.0\ndepth = 400.0\n"),
            "t.toml:2:1: world.box: the robot's start (0, 0) is inside the box at (30, 0)");
}

TEST(SimScenario, ExtendingTheBuiltInBoard) {
  Shm shm;
  Board b(tsim::parse_scenario("extends = \"builtin\"\n[gpio]\nheld = [72]\n"
                               "[[fault]]\nkind = \"missing\"\nnode = \"/dev/ttyACM0\"\n",
                               "t.toml"),
          *shm.s, true);
  EXPECT_NE(b.node("/dev/ttyO0"), nullptr);
  EXPECT_EQ(b.node("/dev/ttyACM0"), nullptr);
  ASSERT_NE(b.node("/dev/user-gpio"), nullptr);
  EXPECT_TRUE(b.gpio().present(90));  // from the built-in pin list
  EXPECT_FALSE(b.gpio().present(88));
  EXPECT_EQ(b.gpio().request(72, "x", 1), EBUSY);  // added by the overlay
  EXPECT_EQ(b.gpio().request(73, "x", 1), 0);
}

TEST(SimScenario, DumpRows) {
  std::vector<std::uint8_t> regs(256, 0xEE);
  EXPECT_EQ(
      tsim::parse_dump("No size specified (using byte-data access)\n"
                       "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
                       "00: 01 02 XX 04\n"
                       "f0: 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f    0123456789abcdef\n",
                       regs),
      "");
  EXPECT_EQ(regs[0], 0x01);
  EXPECT_EQ(regs[1], 0x02);
  EXPECT_EQ(regs[2], 0xEE);  // XX leaves the register alone
  EXPECT_EQ(regs[3], 0x04);
  EXPECT_EQ(regs[4], 0xEE);     // short row
  EXPECT_EQ(regs[0xff], 0x1f);  // the ASCII column is not read as data
  EXPECT_EQ(tsim::parse_dump("00: 01\n10: 0g\n", regs), "dump line 2: bad cell \"0g\"");
}

// Runs a 1-byte register read at `addr`; 0 or the errno.
int read_reg(tsim::I2cAdapter &ad, int addr, std::uint8_t reg, std::uint8_t *out) {
  tsim::I2cMessage m[2] = {{static_cast<std::uint16_t>(addr), 0, {&reg, 1}},
                           {static_cast<std::uint16_t>(addr), I2C_M_RD, {out, 1}}};
  return ad.transfer(m);
}

TEST(SimScenario, RegisterFileIsSharedAndWraps) {
  Shm shm;
  const std::string text =
      "[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x50\nmodel = \"regfile\"\n"
      "size = 4\nfill = 0x55\nregisters = { \"3\" = 0x33 }\n";
  Board a(tsim::parse_scenario(text, "t.toml"), *shm.s, true);
  Board b(tsim::parse_scenario(text, "t.toml"), *shm.s, false);  // another process of the run
  std::uint8_t w[3] = {3, 0xA0, 0xA1}, v = 0;
  tsim::I2cMessage m{0x50, 0, {w, 3}};
  ASSERT_EQ(a.adapter(2)->transfer({&m, 1}), 0);
  EXPECT_EQ(read_reg(*b.adapter(2), 0x50, 0, &v), 0);
  EXPECT_EQ(v, 0xA1);  // written after register 3 wrapped to 0
  EXPECT_EQ(read_reg(*b.adapter(2), 0x50, 1, &v), 0);
  EXPECT_EQ(v, 0x55);
  EXPECT_EQ(read_reg(*b.adapter(2), 0x51, 0, &v), ENXIO);
}

TEST(SimScenario, NackFromATime) {
  Shm shm;
  Board b(tsim::parse_scenario(
              "[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x50\nmodel = \"regfile\"\n"
              "[[fault]]\nkind = \"nack\"\naddr = 0x50\nfrom_ms = 30\n",
              "t.toml"),
          *shm.s, true);
  std::uint8_t v;
  shm.s->start_ns = tsim::monotonic_ns();
  EXPECT_EQ(read_reg(*b.adapter(2), 0x50, 0, &v), 0);
  shm.s->start_ns = tsim::monotonic_ns() - 31'000'000;  // as if the run began 31 ms ago
  EXPECT_EQ(read_reg(*b.adapter(2), 0x50, 0, &v), ENXIO);
}

// Wheels at fixed speeds (mm/s), remembering what part of its last step the body made.
struct FixedDrive : tsim::Drive {
  double left = 0, right = 0, travelled = 1;
  std::pair<double, double> step(double) override { return {left, right}; }
  void moved(double, double part) override { travelled = part; }
};

TEST(SimWorld, AnObstacleStopsTheBodyNotItsTurning) {
  Shm shm;
  Board b(tsim::parse_scenario("[[world.box]]\nx = 500.0\ny = 0.0\nwidth = 100.0\ndepth = 400.0\n",
                               "t.toml"),
          *shm.s, true);
  const auto w = tsim::World::attach(b);
  EXPECT_DOUBLE_EQ(w->ray(0, 0, 0, 5000), 450.0);  // seen as walls are, inside the room
  FixedDrive d;
  d.left = d.right = 200;
  w->set_drive(&d);
  w->advance(1'000'000);
  EXPECT_FALSE(w->contact(1'000'000));
  EXPECT_NEAR(w->pose(4'000'000).x, 450.0 - tsim::World::kRobotRadius, 0.01);  // 600 mm asked
  EXPECT_TRUE(w->contact(4'000'000));
  EXPECT_EQ(d.travelled, 0.0);
  d.left = -100;
  d.right = 100;
  const tsim::Pose turned = w->pose(4'500'000);
  EXPECT_NEAR(turned.heading, 200.0 / tsim::World::kWheelBase * 0.5, 1e-6);
  EXPECT_NEAR(turned.x, 450.0 - tsim::World::kRobotRadius, 0.01);
  w->clear_drive(&d);
}

// A board with every section, its keys and the built-in board underneath.
constexpr const char *kRichBoard = R"(extends = "builtin"
seed = 7
[[i2c.adapter]]
number = 3
busy = [0x60]
[[i2c.slave]]
adapter = 3
addr = 0x50
model = "regfile"
size = 32
fill = 0x11
dump = """
00: 01 02 XX 04
10: 10 11
"""
registers = { "0x1f" = 0x42 }
[[i2c.slave]]
addr = 0x1F
model = "tarsa4"
charging = true
battery_percent = 55
[gpio]
held = [72]
high = [[70, 71]]
[[serial.device]]
node = "/dev/ttyO0"
model = "script"
[[serial.script]]
expect = "~#CalcStop`"
reply = "~!CalcStop`"
delay_ms = 5
once = true
[pwm]
npwm = 3
[[node]]
path = "/dev/ttyO0"
mode = 0o666
[[fault]]
kind = "error"
adapter = 3
addr = 0x50
nth = 2
errno = "EREMOTEIO"
[world]
x = 100.0
heading = 90
walls = [[0.0, -500.0, 0.0, 500.0]]
landmarks = [{ id = 3, x = 1.0, y = 2.0 }]
)";

// Accepted (the board builds), or refused with one "FILE:LINE:COLUMN: reason" line.
void expect_clean(const std::string &text) {
  static const std::regex kLine("(t\\.toml|builtin):[0-9]+:[0-9]+: [^\n]+");
  const std::string r = refusal(text);
  EXPECT_TRUE(r.empty() || std::regex_match(r, kLine)) << r << "\nfor:\n" << text.substr(0, 200);
}

TEST(SimScenario, FuzzedFilesAreRefusedWithTheirPlace) {
  const std::string rich = kRichBoard;
  ASSERT_EQ(refusal(rich), "");
  for (std::size_t n = 0; n < rich.size(); ++n) expect_clean(rich.substr(0, n));
  std::mt19937 rng(1);
  const std::string odd = "[]{}\"'.=,#\n\\ x0\x01\xff";
  for (int i = 0; i < 300; ++i) {
    std::string t = rich;
    for (int k = 0; k < 3; ++k) t[rng() % t.size()] = odd[rng() % odd.size()];
    expect_clean(t);
  }
  for (int i = 0; i < 100; ++i) {
    std::string t(rng() % 4096, '\0');
    for (auto &c : t) c = static_cast<char>(rng());
    expect_clean(t);
  }

  // Nesting that would exhaust the parser's stack, and sizes beyond the limits.
  const std::string deep = "t.toml:1:64: nesting deeper than 32 levels";
  std::string dotted = "a";
  for (int i = 0; i < 50000; ++i) dotted += ".a";
  EXPECT_EQ(refusal(dotted + " = 1\n"), deep);
  EXPECT_EQ(refusal("[" + dotted + "]\n"), "t.toml:1:65: nesting deeper than 32 levels");
  EXPECT_EQ(refusal("x = " + std::string(100000, '[')),
            "t.toml:1:36: nesting deeper than 32 levels");
  std::string tables = "x = ";
  for (int i = 0; i < 20000; ++i) tables += "{a=";
  EXPECT_EQ(refusal(tables), "t.toml:1:51: nesting deeper than 32 levels");
  std::string lines = "x = [\n";  // across lines, strings and comments left out
  for (int i = 0; i < 40; ++i) lines += "  \"]\", # ]\n  [\n";
  EXPECT_EQ(refusal(lines), "t.toml:63:3: nesting deeper than 32 levels");
  EXPECT_EQ(refusal(std::string(tsim::kScenarioFileMax + 1, '#')),
            "t.toml:1:1: scenario larger than 262143 bytes");
  std::string text;
  try {
    tsim::read_scenario_file("/dev/zero", &text);
    ADD_FAILURE() << "/dev/zero read whole";
  } catch (const tsim::ScenarioError &e) {
    EXPECT_STREQ(e.what(), "/dev/zero:1:1: scenario larger than 262143 bytes");
  }
  EXPECT_EQ(refusal("[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x50\nmodel = \"regfile\"\n"
                    "dump = \"/dev/zero\"\n"),
            "t.toml:6:8: dump: /dev/zero larger than 65536 bytes");
}

// A key's default lives in its declaration: read without one, and only there.
TEST(SimScenario, KeysReadTheDefaultTheyDeclare) {
  const auto s = tsim::parse_scenario(
      "[[serial.device]]\nnode = \"/dev/ttyO0\"\nmodel = \"stargazer\"\nlatency_ms = 7\n"
      "[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x1F\nmodel = \"tarsa4\"\n",
      "t.toml");
  const tsim::Params &sg = s.serial->devices.at(0).entry.params;
  EXPECT_EQ(sg.integer("rate_hz"), 10);
  EXPECT_EQ(sg.integer("latency_ms"), 7);
  EXPECT_EQ(sg.number("noise_cm"), 0.3);
  EXPECT_EQ(sg.string("mark_mode"), "Alone");
  EXPECT_FALSE(sg.boolean("silent"));
  EXPECT_THROW(sg.integer("rate_hz", 10), std::logic_error);  // a second default
  EXPECT_THROW(sg.number("rate_hz"), std::logic_error);       // another type
  const tsim::Params &robot = s.slaves.at(0).entry.params;
  EXPECT_THROW(robot.boolean("charging"), std::logic_error);  // declared without a default
  EXPECT_TRUE(robot.boolean("charging", true));
}

}  // namespace
