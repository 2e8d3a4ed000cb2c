// Every program that checks its command line: --help answers on standard output with status 0
// and a bad option is named with status 2, both before anything reaches the board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simtest.h"

namespace {

const std::string kLibraryLine =
    "Library options (-d N, -v, --i2c-device PATH, --i2c-scan): see tarsa-options(7).\n";

struct Program {
  std::string name;
  std::vector<std::string> before;  // arguments a user gives first (motmon's motor number)
};

const std::vector<Program> kPrograms = {{"camshot", {}},      {"configdump", {}}, {"gazerdemo", {}},
                                        {"gpiotool", {}},     {"iodemo", {}},     {"iodemo_le", {}},
                                        {"lrfdemo", {}},      {"lrfpower", {}},   {"motmon", {"2"}},
                                        {"motmon_le", {"2"}}, {"teleop", {}}};

simtest::Result run(const Program &p, const std::string &option) {
  std::vector<std::string> argv = {simtest::bin(p.name)};
  argv.insert(argv.end(), p.before.begin(), p.before.end());
  argv.push_back(option);
  simtest::RunOptions o;
  o.timeout = std::chrono::milliseconds(10000);
  return simtest::run(argv, o);
}

TEST(ProgramsCommandLine, HelpAndBadOptionsEndBeforeTheBoard) {
  for (const Program &p : kPrograms) {
    const std::string usage_start = "Usage: " + p.name + " ";
    for (const std::string help : {"--help", "-h"}) {
      const simtest::Result r = run(p, help);
      EXPECT_EQ(r.status, 0) << p.name << " " << help << "\n" << r.err;
      EXPECT_EQ(r.out.rfind(usage_start, 0), 0u) << p.name << " " << help << "\n" << r.out;
      EXPECT_TRUE(r.out.ends_with("\n" + kLibraryLine)) << p.name << "\n" << r.out;
      EXPECT_EQ(r.err, "") << p.name;
      EXPECT_EQ(simtest::read_trace(r.trace).size(), 0u) << p.name << " reached the board";
    }
    const simtest::Result r = run(p, "--no-such-option");
    EXPECT_EQ(r.status, 2) << p.name << "\n" << r.out;
    EXPECT_EQ(r.out, "") << p.name;
    const std::string named = p.name + ": unknown option '--no-such-option'\n" + usage_start;
    EXPECT_EQ(r.err.rfind(named, 0), 0u) << p.name << "\n" << r.err;
    EXPECT_EQ(simtest::read_trace(r.trace).size(), 0u) << p.name << " reached the board";
  }
}

// Programs whose command line is their own: --help as above (teleop-host takes no library
// option, so no pointer to them), a bad option named with the program's own status.
TEST(ProgramsCommandLine, OwnParsersAnswerHelpAndNameABadOption) {
  const struct {
    Program p;
    int bad_status;
    bool library;
  } kOwn[] = {{{"gazercal", {}}, 1, true},
              {{"tarsa-bridge", {}}, 2, true},
              {{"teleop-host", {}}, 1, false}};
  for (const auto &o : kOwn) {
    simtest::Result r = run(o.p, "--help");
    EXPECT_EQ(r.status, 0) << o.p.name << "\n" << r.err;
    EXPECT_EQ(r.out.rfind("Usage: " + o.p.name + " ", 0), 0u) << o.p.name << "\n" << r.out;
    EXPECT_EQ(r.out.ends_with(kLibraryLine), o.library) << o.p.name << "\n" << r.out;
    EXPECT_EQ(simtest::read_trace(r.trace).size(), 0u) << o.p.name << " reached the board";
    r = run(o.p, "--no-such-option");
    EXPECT_EQ(r.status, o.bad_status) << o.p.name << "\n" << r.err;
    EXPECT_NE(r.err.find("--no-such-option"), std::string::npos) << o.p.name << "\n" << r.err;
    EXPECT_EQ(simtest::read_trace(r.trace).size(), 0u) << o.p.name << " reached the board";
  }
}

}  // namespace
