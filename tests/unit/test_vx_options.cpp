// vx_check_options: which command lines go on, which end with the help (0) or a named bad option
// (2); what it prints where; and that argv and getopt's state are left for vx_init.
#include <getopt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarsa/vx_init.h"

namespace {

const std::string kUsage = "Usage: prog [OPTION]... [FILE]\nDoes things.\n";
const std::string kLibraryLine =
    "Library options (-d N, -v, --i2c-device PATH, --i2c-scan): see tarsa-options(7).\n";

// The program's own options in one case below: -W N, -q[N], --width N, --verbose.
const option kLong[] = {{"width", required_argument, nullptr, 'W'},
                        {"verbose", no_argument, nullptr, 'V'},
                        {nullptr, 0, nullptr, 0}};

struct Outcome {
  int result;
  std::string out, err;
};

Outcome check(std::vector<std::string> words, const char *shorts = nullptr,
              const option *longs = nullptr, const std::string &usage = kUsage) {
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::vector<char *> before = argv;
  optind = 7;
  opterr = 0;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int r =
      vx_check_options(static_cast<int>(words.size()), argv.data(), usage.c_str(), shorts, longs);
  Outcome o{r, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
  EXPECT_EQ(argv, before) << "argv was changed";
  EXPECT_EQ(optind, 7);
  EXPECT_EQ(opterr, 0);
  return o;
}

TEST(CheckOptions, LibraryOptionsAndOperandsGoOnSilently) {
  for (const auto &words : std::vector<std::vector<std::string>>{
           {"prog"},
           {"prog", "-d", "3", "file", "--debug=2", "-v", "--version", "--i2c-scan"},
           {"prog", "--i2c-device", "/dev/i2c-1", "-vd3", "-d4", "--deb", "1", "--vers"},
           {"prog", "-d", "--help"},  // the help is the debug level here
           {"prog", "-", "--", "--bogus", "-x"}}) {
    const Outcome o = check(words);
    EXPECT_EQ(o.result, VX_OPTIONS_OK) << words.back();
    EXPECT_EQ(o.out + o.err, "") << words.back();
  }
  EXPECT_EQ(vx_check_options(0, nullptr, "x", nullptr, nullptr), VX_OPTIONS_OK);
}

TEST(CheckOptions, HelpPrintsTheUsageOnStandardOutput) {
  for (const auto &words : std::vector<std::vector<std::string>>{
           {"/usr/bin/prog", "--help"}, {"prog", "file", "-vh"}, {"prog", "--he", "--bogus"}}) {
    const Outcome o = check(words);
    EXPECT_EQ(o.result, 0) << words[1];
    EXPECT_EQ(o.out, kUsage + kLibraryLine) << words[1];
    EXPECT_EQ(o.err, "") << words[1];
  }
  EXPECT_EQ(check({"prog", "-h"}, nullptr, nullptr, "Usage: prog").out,
            "Usage: prog\n" + kLibraryLine);
}

TEST(CheckOptions, BadOptionsAreNamedWithTheUsageOnStandardError) {
  for (const auto &[words, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"/usr/bin/prog", "--bogus=1"}, "unknown option '--bogus'"},
           {{"prog", "file", "-vx"}, "unknown option '-x'"},
           {{"prog", "--bogus", "--help"}, "unknown option '--bogus'"},
           {{"prog", "-d"}, "option '-d' needs an argument"},
           {{"prog", "--debug"}, "option '--debug' needs an argument"},
           {{"prog", "--version=1"}, "option '--version' takes no argument"},
           {{"prog", "--i2c-device=/dev/i2c-1"},
            "option '--i2c-device' takes its argument as the next word"},
           {{"prog", "--i2c-s"}, "unknown option '--i2c-s'"},  // the I2C binding wants it whole
           {{"prog", "-W", "5"}, "unknown option '-W'"},       // not this program's
           {{"prog", "--"}, ""}}) {
    const Outcome o = check(words);
    if (says.empty()) {
      EXPECT_EQ(o.result, VX_OPTIONS_OK);
      continue;
    }
    EXPECT_EQ(o.result, 2) << says;
    EXPECT_EQ(o.out, "") << says;
    EXPECT_EQ(o.err, "prog: " + says + "\n" + kUsage + kLibraryLine);
  }
}

TEST(CheckOptions, TheProgramsOwnOptionsInGetoptForm) {
  const char *shorts = "+W:q::";
  Outcome o = check({"prog", "-W", "5", "-q", "-q9", "-Wx", "--width=3", "--wid", "-4", "--verb"},
                    shorts, kLong);
  EXPECT_EQ(o.result, VX_OPTIONS_OK) << o.err;
  o = check({"prog", "--ver"}, shorts, kLong);  // --version or --verbose
  EXPECT_EQ(o.result, 2);
  EXPECT_EQ(o.err.substr(0, o.err.find('\n')), "prog: ambiguous option '--ver'");
  o = check({"prog", "-W"}, shorts, kLong);
  EXPECT_EQ(o.err.substr(0, o.err.find('\n')), "prog: option '-W' needs an argument");
  o = check({"prog", "--verbose=1"}, shorts, kLong);
  EXPECT_EQ(o.err.substr(0, o.err.find('\n')), "prog: option '--verbose' takes no argument");
}

}  // namespace
