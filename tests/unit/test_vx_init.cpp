// Library start-up and shut-down, seen from a small program run under the simulator: options,
// the version line, the order of the services on the buses, and each failing step.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <string>
#include <vector>

#include "simtest.h"
#include "tarsa/vx_init.h"
#include "testutil.h"

namespace {

using Trace = std::vector<nlohmann::json>;

simtest::Result probe(std::vector<std::string> args, simtest::RunOptions opts = {}) {
  args.insert(args.begin(), simtest::bin("init_probe"));
  return simtest::run(args, opts);
}

simtest::RunOptions with_env(const std::string &entry) {
  simtest::RunOptions o;
  o.env.push_back(entry);
  return o;
}

// The built-in board with one node left out.
simtest::RunOptions without(const std::string &node) {
  simtest::RunOptions o;
  o.scenario_toml =
      "extends = \"builtin\"\n[[fault]]\nkind = \"missing\"\nnode = \"" + node + "\"\n";
  return o;
}

// The built-in board with its PWM chip under another number.
simtest::RunOptions other_chip() {
  simtest::RunOptions o;
  o.scenario_toml = "extends = \"builtin\"\n[pwm]\nchip = \"/sys/class/pwm/pwmchip1\"\n";
  return o;
}

bool has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// seq of the first (or last) record of `dev` with `op`; 0 when there is none.
std::size_t seq_of(const Trace &t, const std::string &dev, const std::string &op,
                   bool last = false) {
  std::size_t found = 0;
  for (const auto &r : t) {
    if (r.value("dev", "") != dev || r.value("op", "") != op) continue;
    found = r["seq"].get<std::size_t>();
    if (!last) break;
  }
  return found;
}

constexpr const char *kI2c = "/dev/i2c-2";
constexpr const char *kGpio = "/dev/user-gpio";

// PWM writes "file=data" (file relative to the chip) with their seq.
std::vector<std::pair<std::size_t, std::string>> pwm_writes(const Trace &t) {
  const std::string chip = "/sys/class/pwm/pwmchip0/";
  std::vector<std::pair<std::size_t, std::string>> out;
  for (const auto &r : t) {
    if (r.value("op", "") != "write" || !r.contains("path")) continue;
    const std::string path = r["path"].get<std::string>();
    if (path.rfind(chip, 0) == 0)
      out.emplace_back(r["seq"].get<std::size_t>(),
                       path.substr(chip.size()) + "=" + r["data"].get<std::string>());
  }
  return out;
}

// The library this test is linked with, which is the one the probe runs with.
std::string library_path() {
  Dl_info info{};
  EXPECT_NE(::dladdr(reinterpret_cast<void *>(&vx_init), &info), 0);
  return info.dli_fname != nullptr ? info.dli_fname : "";
}

// Whether `dev` was opened successfully.
bool opened(const Trace &t, const std::string &dev) {
  for (const auto &r : t)
    if (r.value("dev", "") == dev && r.value("op", "") == "open" && r.value("ret", -1) >= 0)
      return true;
  return false;
}

std::string temp_file(const std::string &content) {
  std::string path = testutil::temp_file(content, "tarsa_init_");
  EXPECT_NE(path, "");
  return path;
}

TEST(Init, VersionLineCarriesTheLibrarysBuildTimeAndDate) {
  const std::regex line(
      R"(libtarsa version 2\.1 \[(\d\d:\d\d:\d\d)  ([A-Z][a-z][a-z] [ 1-3]\d \d{4})\]\n)");
  std::string seen;
  for (const char *opt : {"-v", "--version"}) {
    const auto r = probe({opt});
    EXPECT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, line)) << r.out;
    EXPECT_EQ(m.position(0), 0) << "printed before anything else";
    EXPECT_TRUE(has(r.out, "init=1 level=2\n")) << "start-up goes on";
    // The texts are fixed in the library's binary, not taken from the clock at run time.
    const std::string image = testutil::read_file(library_path());
    EXPECT_TRUE(has(image, m[1].str())) << m[1];
    EXPECT_TRUE(has(image, m[2].str())) << m[2];
    if (seen.empty()) seen = m[0];
    EXPECT_EQ(m[0], seen);
  }
  EXPECT_FALSE(has(probe({}).out, "libtarsa version"));
}

TEST(Init, DebugOptionSetsTheLevelAndASecondStartReadsNothing) {
  const struct {
    std::vector<std::string> args;
    unsigned level;
  } cases[] = {
      {{"-d", "3"}, 3}, {{"--debug", "3"}, 3}, {{"--debug=4"}, 4}, {{"-d", "x"}, 0}, {{}, 2}};
  for (const auto &c : cases) {
    const auto r = probe(c.args);
    const std::string level = "level=" + std::to_string(c.level) + "\n";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "init=1 " + level)) << r.out;
    // The second start is given "-d 7 -v": neither is read.
    EXPECT_TRUE(has(r.out, "again=1 " + level)) << r.out;
    EXPECT_FALSE(has(r.out, "libtarsa version")) << r.out;
  }
  const auto r = probe({}, with_env("PROBE_NOARGS=1"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "init=1 level=2\nagain=1 level=2\n")) << r.out;
}

TEST(Init, ServicesStartAndStopInTheirOrder) {
  const auto r = probe({});
  ASSERT_EQ(r.status, 0) << r.err;
  const Trace t = simtest::read_trace(r.trace);
  const auto pwm = pwm_writes(t);
  ASSERT_EQ(pwm.size(), 6u);
  EXPECT_EQ(pwm[0].second, "export=0");
  EXPECT_EQ(pwm[1].second, "export=1");
  EXPECT_EQ(pwm[2].second, "pwm0/enable=0");
  EXPECT_EQ(pwm[3].second, "unexport=0");
  EXPECT_EQ(pwm[5].second, "unexport=1");

  // Start: device layer (I2C adapter), PWM, GPIO. Each opened once although started twice.
  EXPECT_EQ(testutil::count(t, "open", kI2c), 1u);
  EXPECT_EQ(testutil::count(t, "open", kGpio), 1u);
  const std::size_t i2c_open = seq_of(t, kI2c, "open"), gpio_open = seq_of(t, kGpio, "open");
  ASSERT_GT(i2c_open, 0u);
  EXPECT_LT(i2c_open, pwm[0].first);
  EXPECT_LT(pwm[1].first, gpio_open);

  // Exit: the layer closes the adapter, then GPIO frees its pins and closes, then PWM stops.
  const std::size_t i2c_close = seq_of(t, kI2c, "close"), first_free = seq_of(t, kGpio, "free");
  const std::size_t gpio_close = seq_of(t, kGpio, "close");
  ASSERT_GT(i2c_close, 0u);
  ASSERT_GT(first_free, 0u);
  EXPECT_EQ(testutil::count(t, "free", kGpio), 19u);
  EXPECT_LT(i2c_close, first_free);
  EXPECT_LT(seq_of(t, kGpio, "free", true), gpio_close);
  EXPECT_LT(gpio_close, pwm[2].first);
}

TEST(Init, BusOptionsAreLeftToTheI2cBinding) {
  // getopt_long does not know them and says so; the binding then finds them where they were.
  const auto r = probe({"--i2c-device", "/dev/i2c-2", "--i2c-scan", "-d", "1", "rest"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "unrecognized option '--i2c-device'")) << r.err;
  EXPECT_TRUE(has(r.err, "unrecognized option '--i2c-scan'")) << r.err;
  EXPECT_TRUE(has(r.out, "init=1 level=1\n")) << r.out;
  EXPECT_TRUE(has(r.out,
                  "argv[1]=--i2c-device\nargv[2]=/dev/i2c-2\nargv[3]=--i2c-scan\nargv[4]=-d\n"
                  "argv[5]=1\nargv[6]=rest\n"))
      << "the program's vector is left in its order\n"
      << r.out;
  const Trace t = simtest::read_trace(r.trace);
  std::vector<int> probed;
  for (const auto &rec : t)
    if (rec.value("dev", "") == kI2c && rec.value("op", "") == "smbus")
      probed.push_back(rec["addr"].get<int>());
  ASSERT_EQ(probed.size(), 126u) << "the scan probes 2 to 127";
  EXPECT_EQ(probed.front(), 2);
  EXPECT_EQ(probed.back(), 127);

  // The adapter named on the command line is the one opened: here one the board lacks.
  const auto missing = probe({"-d", "1", "--i2c-device", "/dev/i2c-9"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(has(missing.out, "init=-16 ")) << missing.out;
  EXPECT_TRUE(has(missing.err,
                  "Error: lyn_i2c:112:lyn_i2c_open unable to open 'I\xb2"
                  "C' bus\n"))
      << missing.err;
  EXPECT_TRUE(has(missing.err, "\nlyn_init ERROR!\n\n")) << missing.err;
}

TEST(Init, EachFailingStepPrintsItsLineAndReturnsItsResult) {
  const std::string bad = temp_file("[Tarsa4.devices]\ndsPic = { bus = \"i2c\", address = 0x1F \n");
  struct Case {
    const char *what;
    simtest::RunOptions opts;
    std::string line, result;
    bool i2c, pwm, gpio;  // which services the failed start reached
  };
  const Case cases[] = {
      {"unreadable configuration", with_env("TARSA_CONFIG=/nonexistent/tarsa.toml"),
       "\nvx_config_init ERROR!\n\n", "init=-" + std::to_string(ENOENT) + " ", false, false, false},
      {"malformed configuration", with_env("TARSA_CONFIG=" + bad), "\nvx_config_init ERROR!\n\n",
       "init=-" + std::to_string(EINVAL) + " ", false, false, false},
      {"no I2C adapter", without(kI2c), "\nlyn_init ERROR!\n\n", "init=-16 ", false, false, false},
      {"no PWM chip", other_chip(), "\nvx_pwm_init ERROR!\n\n",
       "init=-" + std::to_string(ENOENT) + " ", true, false, false},
      {"no GPIO node", without(kGpio), "\nvx_gpio_init ERROR!\n\n", "init=-1 ", true, true, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const auto r = probe({}, c.opts);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, c.line)) << r.err;
    EXPECT_TRUE(has(r.out, c.result)) << r.out;
    const Trace t = simtest::read_trace(r.trace);
    EXPECT_EQ(opened(t, kI2c), c.i2c);
    EXPECT_EQ(!pwm_writes(t).empty(), c.pwm);
    EXPECT_EQ(seq_of(t, kGpio, "request") > 0, c.gpio);
    // Nothing is undone and no exit handler was registered: the services started stay as they are.
    EXPECT_EQ(seq_of(t, kI2c, "close"), 0u);
    for (const auto &w : pwm_writes(t)) EXPECT_EQ(w.second.rfind("export=", 0), 0u) << w.second;
  }
  ::unlink(bad.c_str());
}

}  // namespace
