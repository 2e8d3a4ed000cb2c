// tarsa-sim as a user runs it: real i2c-tools against a register-file slave, the trace they
// leave, exit and signal status, refused scenarios and options, a clean temporary directory, and
// the reference of scenario keys.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "registry.h"
#include "simtest.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

constexpr const char *kBoard = R"(
[[i2c.adapter]]
number = 2

[[i2c.slave]]
addr = 0x1F
model = "regfile"

[[i2c.slave]]
addr = 0x50
model = "regfile"
dump = """
     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef
00: 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff    ."3DUfw........
10: de ad be ef XX XX XX XX XX XX XX XX XX XX XX XX    ????............
"""

[[i2c.slave]]
addr = 0x77
model = "regfile"
)";

std::string tool(const std::string &name) {
  for (const char *dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"})
    if (access((std::string(dir) + name).c_str(), X_OK) == 0) return std::string(dir) + name;
  return {};
}

// ELF class and machine of a program. A build for another machine (armhf run under qemu-user)
// cannot load its preload into the PC's own tools: those runs say nothing about the simulator.
std::string machine_of(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  char h[20] = {};
  f.read(h, sizeof h);
  return f ? std::string(h + 4, 1) + std::string(h + 18, 2) : std::string();
}
bool runs_here(const std::string &path) {
  return machine_of(path) == machine_of("/proc/self/exe");
}
constexpr const char *kOtherMachine =
    "the PC's i2c-tools cannot load the preload of a build for another machine";

class Tools : public ::testing::Test {
 protected:
  void SetUp() override {
    if (tool("i2cdetect").empty())
      GTEST_SKIP() << "i2c-tools are not installed (scripts/install-deps.sh)";
    if (!runs_here(tool("i2cdetect"))) GTEST_SKIP() << kOtherMachine;
  }
  simtest::Result sh(const std::string &script, const std::string &scenario = kBoard) {
    simtest::RunOptions o;
    o.scenario_toml = scenario;
    o.env = {"PATH=/usr/sbin:/sbin:/usr/bin:/bin"};
    return simtest::run({"/bin/sh", "-c", script}, o);
  }
};

TEST_F(Tools, DetectShowsExactlyTheScenarioAddresses) {
  auto r = sh("i2cdetect -y 2");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string expected =
      "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
      "00:                         -- -- -- -- -- -- -- -- \n"
      "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 1f \n"
      "20: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
      "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
      "40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
      "50: 50 -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
      "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
      "70: -- -- -- -- -- -- -- 77                         \n";
  EXPECT_EQ(r.out, expected);
  // Quick writes everywhere except 0x30-0x37 and 0x50-0x5f, where a byte is read.
  int quick = 0, receive = 0;
  for (auto &t : simtest::read_trace(r.trace)) {
    if (t["op"] != "smbus") continue;
    if (t["size"] == 0) ++quick;
    if (t["size"] == 1) ++receive;
  }
  EXPECT_EQ(quick, 0x78 - 0x08 - 24);
  EXPECT_EQ(receive, 24);

  // Every model acknowledges its address, whatever it makes of the data: the built-in board's
  // microcontroller and gripper modules are all found.
  r = sh("i2cdetect -y 2", "");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f\n"
            "00:                         -- -- -- -- -- -- -- -- \n"
            "10: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- 1f \n"
            "20: 20 -- 22 -- -- -- -- -- 28 29 -- -- -- -- -- -- \n"
            "30: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
            "40: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
            "50: -- -- -- -- -- -- -- -- 58 59 5a 5b 5c 5d 5e 5f \n"
            "60: -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- \n"
            "70: -- -- -- -- -- -- -- --                         \n");
}

TEST_F(Tools, GetSetAndTransferOnARegisterFile) {
  auto r =
      sh("i2cget -y 2 0x50 0x03 && i2cset -y 2 0x50 0x04 0x5a && i2cget -y 2 0x50 0x04 && "
         "i2cget -y 2 0x50 0x10 w && i2ctransfer -y 2 w3@0x50 0x20 0x01 0x02 r4@0x50");
  ASSERT_EQ(r.status, 0) << r.err;
  // Separate processes see one register file; the word is least significant byte first.
  EXPECT_EQ(r.out, "0x33\n0x5a\n0xadde\n0x00 0x00 0x00 0x00\n");

  auto t = simtest::read_trace(r.trace);
  ASSERT_FALSE(t.empty());
  for (std::size_t i = 0; i < t.size(); ++i) {
    EXPECT_EQ(t[i]["seq"], i + 1);
    EXPECT_EQ(t[i]["dev"], "/dev/i2c-2");
    EXPECT_TRUE(t[i]["us"].is_number_unsigned());
    EXPECT_TRUE(t[i].contains("ret"));
    if (i) {
      EXPECT_GE(t[i]["us"].get<std::uint64_t>(), t[i - 1]["us"].get<std::uint64_t>());
    }
  }
  std::vector<nlohmann::json> smbus, rdwr;
  for (auto &e : t) {
    if (e["op"] == "smbus") smbus.push_back(e);
    if (e["op"] == "rdwr") rdwr.push_back(e);
  }
  ASSERT_EQ(smbus.size(), 4u);
  auto first = smbus[0];
  first.erase("seq");
  first.erase("us");
  EXPECT_EQ(first,
            nlohmann::json::parse(R"({"dev":"/dev/i2c-2","op":"smbus","addr":80,"read_write":1,
                                             "command":3,"size":2,"data":"33","ret":0})"));
  EXPECT_EQ(smbus[1]["read_write"], 0);
  EXPECT_EQ(smbus[1]["command"], 4);
  EXPECT_EQ(smbus[1]["data"], "5a");
  EXPECT_EQ(smbus[3]["size"], 3);
  EXPECT_EQ(smbus[3]["data"], "dead");  // bytes in bus order
  ASSERT_EQ(rdwr.size(), 1u);
  EXPECT_EQ(rdwr[0]["msgs"],
            nlohmann::json::parse(R"([{"addr":80,"flags":0,"len":3,"data":"200102"},
                                                        {"addr":80,"flags":1,"len":4,"data":"00000000"}])"));
  EXPECT_EQ(rdwr[0]["ret"], 2);
  bool saw_open = false, saw_funcs = false, saw_slave = false, saw_close = false;
  for (auto &e : t) {
    saw_open |= e["op"] == "open" && e["flags"].is_number_integer();
    saw_funcs |= e["op"] == "funcs";
    saw_slave |= e["op"] == "slave" && e["addr"] == 80 && e["force"] == 0;
    saw_close |= e["op"] == "close";
  }
  EXPECT_TRUE(saw_open && saw_funcs && saw_slave && saw_close);
}

TEST_F(Tools, AbsentAddressFailsAsOnTheBoard) {
  auto r = sh("i2cget -y 2 0x51 0x00");
  EXPECT_NE(r.status, 0);
  auto t = simtest::read_trace(r.trace);
  bool failed = false;
  for (auto &e : t)
    if (e["op"] == "smbus") failed = e["ret"] == -1 && e["errno"] == ENXIO;
  EXPECT_TRUE(failed);
}

TEST_F(Tools, DumpFileIsFoundBesideTheScenario) {
  std::string dir = std::string(TARSA_BIN_DIR) + "/sim-runs/dump-" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir + "/eeprom.txt") << "00: 5a a5\n";
  std::ofstream(dir + "/board.toml") << "[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x50\n"
                                        "model = \"regfile\"\ndump = \"eeprom.txt\"\n";
  // Started from another directory: the dump is still found next to the scenario.
  simtest::RunOptions o;
  o.env = {"PATH=/usr/sbin:/sbin:/usr/bin:/bin"};
  auto r = simtest::run({"/bin/sh", "-c",
                         "cd / && " + std::string(TARSA_SIM_LAUNCHER) + " --scenario " + dir +
                             "/board.toml -- i2cget -y 2 0x50 0x01"},
                        o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0xa5\n");
  fs::remove_all(dir);
}

// ---- the launcher ----------------------------------------------------------------------------

// A scratch directory for the launcher's TMPDIR, empty at the start.
std::string scratch(const std::string &name) {
  std::string dir =
      std::string(TARSA_BIN_DIR) + "/sim-runs/" + name + "-" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// The launcher started by hand with `args`, its run directory under `tmp`.
pid_t start_launcher(const std::string &tmp, std::vector<std::string> args) {
  args.insert(args.begin(), TARSA_SIM_LAUNCHER);
  pid_t pid = fork();
  if (pid == 0) {
    setenv("TMPDIR", tmp.c_str(), 1);
    unsetenv("LD_PRELOAD");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(99);
  }
  return pid;
}

std::vector<pid_t> children(pid_t p) {
  std::ifstream f("/proc/" + std::to_string(p) + "/task/" + std::to_string(p) + "/children");
  std::vector<pid_t> out;
  for (pid_t c; f >> c;) out.push_back(c);
  return out;
}

std::string program_of(pid_t p) {
  std::ifstream f("/proc/" + std::to_string(p) + "/cmdline");
  std::string s;
  std::getline(f, s, '\0');
  return s;
}

// The launcher's one child once it runs `program`, or 0 after 10 s.
pid_t program_started(pid_t launcher, const std::string &program) {
  pid_t found = 0;
  testutil::eventually(
      [&] {
        auto kids = children(launcher);
        if (kids.size() == 1 && program_of(kids[0]) == program) found = kids[0];
        return found != 0;
      },
      10.0);
  return found;
}

// Ended: no such process, or one that only waits to be reaped.
bool gone(pid_t p) {
  std::ifstream f("/proc/" + std::to_string(p) + "/stat");
  std::string s;
  if (!std::getline(f, s)) return true;
  const auto close = s.rfind(')');
  return close != std::string::npos && close + 2 < s.size() && s[close + 2] == 'Z';
}

TEST(Launcher, ExitAndSignalStatus) {
  EXPECT_EQ(simtest::run({"/bin/sh", "-c", "exit 7"}).status, 7);
  EXPECT_EQ(simtest::run({"/bin/sh", "-c", "kill -TERM $$"}).status, 128 + SIGTERM);
  auto r = simtest::run({"/nonexistent/program"});
  EXPECT_EQ(r.status, 127);
  EXPECT_NE(r.err.find("cannot run /nonexistent/program"), std::string::npos) << r.err;
}

TEST(Launcher, RunEndsAProgramThatOutlivesItsTimeout) {
  simtest::RunOptions o;
  o.timeout = std::chrono::milliseconds(300);
  auto start = std::chrono::steady_clock::now();
  // The shell's child keeps the output pipe open: it must be ended too.
  auto r = simtest::run({"/bin/sh", "-c", "sleep 30; echo late"}, o);
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.out, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
}

TEST(Launcher, RefusedScenarioStopsBeforeTheProgram) {
  simtest::RunOptions o;
  o.scenario_toml = "[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x50\nmodel = \"nosuch\"\n";
  auto r = simtest::run({"/bin/sh", "-c", "echo ran"}, o);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("unknown model \"nosuch\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("scenario.toml:5:"), std::string::npos)
      << r.err;  // where the model is named

  o.scenario_toml = "[[i2c.slave]]\naddr = 0x50\nmodel = \"regfile\"\n";
  r = simtest::run({"/bin/true"}, o);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no adapter 2"), std::string::npos) << r.err;

  // A device file is read up to the limit, not until memory runs out.
  r = simtest::run(
      {"/bin/sh", "-c", std::string(TARSA_SIM_LAUNCHER) + " --scenario /dev/zero -- /bin/true"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/dev/zero:1:1: scenario larger than 262143 bytes"), std::string::npos)
      << r.err;
}

TEST(Launcher, ForwardsTerminationAndLeavesNothingBehind) {
  std::string tmp = scratch("tmp");
  pid_t pid = start_launcher(tmp, {"--", "/bin/sleep", "30"});
  ASSERT_GT(pid, 0);
  // The program is the launcher's one child (tests find it that way to signal it).
  ASSERT_NE(program_started(pid, "/bin/sleep"), 0);
  ASSERT_FALSE(fs::is_empty(tmp));
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  kill(pid, SIGTERM);
  int status = 0;
  pid_t w = 0;
  while (std::chrono::steady_clock::now() < end && (w = waitpid(pid, &status, WNOHANG)) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (w != pid) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the launcher did not end after SIGTERM";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
  EXPECT_TRUE(fs::is_empty(tmp));

  simtest::RunOptions o;
  o.env = {"TMPDIR=" + tmp};
  EXPECT_EQ(simtest::run({"/bin/sh", "-c", "exit 3"}, o).status, 3);
  EXPECT_TRUE(fs::is_empty(tmp));

  // Even a launcher killed outright (a test timeout) leaves nothing behind.
  o.timeout = std::chrono::milliseconds(300);
  EXPECT_EQ(simtest::run({"/bin/sleep", "30"}, o).status, -1);
  end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!fs::is_empty(tmp) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(fs::is_empty(tmp));
  fs::remove_all(tmp);
}

TEST(Launcher, KilledOutrightItTakesItsProgramAlong) {
  std::string tmp = scratch("kill");
  pid_t pid = start_launcher(tmp, {"--", "/bin/sleep", "30"});
  ASSERT_GT(pid, 0);
  pid_t program = program_started(pid, "/bin/sleep");
  ASSERT_NE(program, 0);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  EXPECT_TRUE(testutil::eventually([&] { return gone(program); }, 1.0));
  EXPECT_TRUE(testutil::eventually([&] { return fs::is_empty(tmp); }, 5.0));
  if (!gone(program)) kill(program, SIGKILL);
  fs::remove_all(tmp);
}

TEST(Launcher, StopRequestEndsASetUpThatBlocks) {
  // A scenario from a named pipe whose writer sends nothing: reading it waits.
  std::string tmp = scratch("fifo");
  std::string fifo =
      std::string(TARSA_BIN_DIR) + "/sim-runs/board-" + std::to_string(getpid()) + ".toml";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t pid = start_launcher(tmp, {"--scenario", fifo, "--", "/bin/true"});
  ASSERT_GT(pid, 0);
  int writer = -1;
  ASSERT_TRUE(testutil::eventually(
      [&] { return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, 10.0));
  kill(pid, SIGTERM);
  int status = 0;
  const bool ended =
      testutil::eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5.0);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(ended);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
  EXPECT_TRUE(fs::is_empty(tmp));
  close(writer);
  unlink(fifo.c_str());
  fs::remove_all(tmp);
}

// On a real port the last close drains the output to the device: bytes written just before
// the program closes the port, or ends without closing it, reach the model and the trace.
TEST(Launcher, LastBytesWrittenToASerialPortReachItsModel) {
  if (!runs_here("/bin/sh"))
    GTEST_SKIP() << "the PC's shell cannot load the preload of a build for another machine";
  for (const char *script :
       {"printf '~#CalcStop`' > /dev/ttyO0", "exec > /dev/ttyO0; printf '~#CalcStop`'"}) {
    for (int run = 0; run < 3; ++run) {
      auto r = simtest::run({"/bin/sh", "-c", script});
      ASSERT_EQ(r.status, 0) << r.err;
      std::string sent;
      for (auto &t : simtest::read_trace(r.trace))
        if (t["op"] == "tx") sent += t["data"].get<std::string>();
      EXPECT_EQ(sent, "7e2343616c6353746f7060") << script;
    }
  }
}

TEST(Launcher, PrintEnvGivesAShellOneBoard) {
  if (tool("i2cset").empty()) GTEST_SKIP() << "i2c-tools are not installed";
  if (!runs_here(tool("i2cset"))) GTEST_SKIP() << kOtherMachine;
  std::string dir = std::string(TARSA_BIN_DIR) + "/sim-runs/env-" + std::to_string(getpid());
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::ofstream(dir + "/board.toml") << kBoard;
  std::string script =
      "set -e; eval \"$(" + std::string(TARSA_SIM_LAUNCHER) + " --scenario " + dir +
      "/board.toml --print-env)\"; i2cset -y 2 0x1f 0x01 0x42; i2cget -y 2 0x1f 0x01; "
      "rm -r \"$(dirname \"$TARSA_SIM_STATE\")\"";
  simtest::RunOptions o;
  o.env = {"PATH=/usr/sbin:/sbin:/usr/bin:/bin", "TMPDIR=" + dir};
  // Run through the launcher's own shell only to get bounded waits; the inner eval sets up
  // a second run that the two i2c commands share.
  auto r = simtest::run({"/bin/sh", "-c", script}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0x42\n");
  int left = 0;
  for (auto &e : fs::directory_iterator(dir)) left += e.path().filename() != "board.toml";
  EXPECT_EQ(left, 0);
  fs::remove_all(dir);
}

// The launcher itself, run from a shell under another run; its output and status.
simtest::Result launcher(const std::string &args) {
  return simtest::run({"/bin/sh", "-c", std::string(TARSA_SIM_LAUNCHER) + " " + args});
}

TEST(Launcher, NamesAnUnknownOption) {
  if (!runs_here("/bin/sh"))
    GTEST_SKIP() << "the PC's shell cannot load the preload of a build for another machine";
  auto r = launcher("--scenraio x -- /bin/true");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("tarsa-sim: unknown option '--scenraio'\nUsage: tarsa-sim ", 0), 0u)
      << r.err;
  r = launcher("--trace");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("tarsa-sim: option '--trace' needs a value\nUsage:", 0), 0u) << r.err;
  r = launcher("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: tarsa-sim ", 0), 0u) << r.out;
  EXPECT_EQ(r.err, "");
}

// Every key the simulator declares is in the reference, under its table or model, with its type.
TEST(Launcher, ListKeysNamesEveryDeclaredKey) {
  const auto r = launcher("--list-keys");
  ASSERT_EQ(r.status, 0) << r.err;
  // Section title -> "name type" of each of its rows.
  std::map<std::string, std::vector<std::string>> sections;
  std::vector<std::string> *rows = nullptr;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  ", 0) == 0 && rows) {
      std::istringstream cols(line);
      std::string name, type;
      cols >> name >> type;
      rows->push_back(name + " " + type);
    } else if (!line.empty()) {
      rows = &sections[line.substr(0, line.find(':'))];
    }
  }
  auto has = [&](const std::string &title, const std::string &row) {
    auto it = sections.find(title);
    if (it == sections.end()) return false;
    return std::find(it->second.begin(), it->second.end(), row) != it->second.end();
  };
  for (const tsim::TableInfo &t : tsim::scenario_tables())
    for (const tsim::TableKey &k : t.keys)
      EXPECT_TRUE(has(t.header, std::string(k.name) + " " + k.type)) << t.header << " " << k.name;
  const std::string node = "[[video.device]], any model";
  for (const tsim::Key &k : tsim::VideoNode::kKeys)
    EXPECT_TRUE(has(node, std::string(k.name) + " " + tsim::type_name(k.type))) << k.name;
  const auto models = tsim::all_models();
  EXPECT_GE(models.size(), 10u);
  for (const tsim::ModelInfo *m : models) {
    const std::string title =
        std::string(tsim::entry_header(m->kind)) + " model = \"" + m->name + "\"";
    EXPECT_TRUE(sections.count(title)) << title;
    for (const tsim::Key &k : m->keys) {
      const bool own =
          std::none_of(tsim::VideoNode::kKeys.begin(), tsim::VideoNode::kKeys.end(),
                       [&](const tsim::Key &n) { return !std::strcmp(n.name, k.name); });
      const std::string row = std::string(k.name) + " " + tsim::type_name(k.type);
      EXPECT_TRUE(has(m->kind == tsim::NodeKind::video && !own ? node : title, row))
          << title << " " << row;
    }
  }
  // A row in full: range, default and meaning as declared.
  const tsim::ModelInfo *sg = tsim::find_model("stargazer");
  ASSERT_NE(sg, nullptr);
  const auto k = std::find_if(sg->keys.begin(), sg->keys.end(),
                              [](const tsim::Key &x) { return !std::strcmp(x.name, "rate_hz"); });
  ASSERT_NE(k, sg->keys.end());
  const auto at = r.out.find(std::string("\n  rate_hz "), r.out.find("model = \"stargazer\""));
  ASSERT_NE(at, std::string::npos);
  const std::string line = r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
  for (const std::string &col :
       {std::string("[1, 50]"), std::to_string(k->def.integer), std::string(k->doc)})
    EXPECT_NE(line.find("  " + col), std::string::npos) << line;
}

}  // namespace
