// Command parser: word splitting, table look-up, argument counts, reports and results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarsa/vx_cmdparser.h"
#include "tarsa/vx_error.h"
#include "test_vx_capture.h"

using core_test::Capture;

namespace {

struct Call {
  std::vector<std::string> argv;
  void *data = nullptr;
};
std::vector<Call> g_calls;
int g_result = 0;

int record(int argc, char *argv[], void *data) {
  Call c;
  c.argv.assign(argv, argv + argc);
  c.data = data;
  g_calls.push_back(c);
  return g_result;
}

int first(int argc, char *argv[], void *data) {
  return record(argc, argv, data) + 100;
}

const vx_command_t kTable[] = {
    {"readio", 1, 1, record}, {"configio", 2, 3, record}, {"noargs", -1, 0, record},
    {"any", -1, -1, record},  {"nothing", 0, 0, nullptr}, {"Twin", 0, 0, first},
    {"twin", 0, 0, record},   {nullptr, 0, 0, nullptr},
};

class VxCmdParser : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_result = 0;
    vx_set_debug_level(0);
  }
  // Parses `text` in a writable buffer; the report on standard error goes to `err`.
  int parse(std::string text, std::string *err = nullptr, void *data = nullptr) {
    Capture cap(STDERR_FILENO);
    int r = vx_parse_command(text.data(), kTable, data);
    std::string e = cap.text();
    if (err) *err = e;
    return r;
  }
};

std::string words(int n) {
  std::string s = "any";
  for (int i = 1; i < n; ++i) s += " w" + std::to_string(i);
  return s;
}

TEST_F(VxCmdParser, SplitsAtRunsOfSeparatorsAndKeepsTypedCase) {
  int token;
  std::string err;
  EXPECT_EQ(parse("  READIO   75 ", &err, &token), 0);
  EXPECT_EQ(err, "");
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].argv, (std::vector<std::string>{"READIO", "75"}));
  EXPECT_EQ(g_calls[0].data, &token);

  EXPECT_EQ(parse("\tconfigio\t1,2 \t\"x y\"\t"), 0);
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[1].argv, (std::vector<std::string>{"configio", "1,2", "\"x", "y\""}));
}

TEST_F(VxCmdParser, LineIsSplitInPlace) {
  char line[] = "readio 7";
  ASSERT_EQ(vx_parse_command(line, kTable, nullptr), 0);
  EXPECT_STREQ(line, "readio");
  EXPECT_STREQ(line + 7, "7");
}

TEST_F(VxCmdParser, BlankLinesDoNothing) {
  std::string err;
  EXPECT_EQ(parse("", &err), 0);
  EXPECT_EQ(parse(" \t \t ", &err), 0);
  EXPECT_EQ(err, "");
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(VxCmdParser, ArgumentCounts) {
  std::string err;
  EXPECT_EQ(parse("CONFIGIO 1", &err), -23);
  EXPECT_EQ(err, "command 'configio' requires a minimum of 2 arguments\n");
  EXPECT_EQ(parse("configio 1 2 3 4", &err), -24);
  EXPECT_EQ(err, "command 'configio' accepts a maximum of 3 arguments\n");
  EXPECT_EQ(parse("NoArgs 1", &err), -24);
  EXPECT_EQ(err, "command 'noargs' accepts a maximum of 0 arguments\n");
  EXPECT_TRUE(g_calls.empty());

  EXPECT_EQ(parse("noargs"), 0);
  EXPECT_EQ(parse("configio 1 2"), 0);
  EXPECT_EQ(parse("configio 1 2 3"), 0);
  EXPECT_EQ(parse(words(128)), 0);  // 127 arguments, no upper bound
  ASSERT_EQ(g_calls.size(), 4u);
  EXPECT_EQ(g_calls[3].argv.size(), 128u);
  EXPECT_EQ(g_calls[3].argv[127], "w127");
}

TEST_F(VxCmdParser, MoreThan128Words) {
  std::string err;
  EXPECT_EQ(parse(words(129), &err), -1);
  EXPECT_EQ(err, "too many argument\n");
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(VxCmdParser, UnknownCommandsAndBadArguments) {
  std::string err;
  EXPECT_EQ(parse("  Blink 3", &err), -4);
  EXPECT_EQ(err, "unknown command 'Blink'\n");

  vx_set_debug_level(1);
  Capture cap(STDERR_FILENO);
  EXPECT_EQ(vx_parse_command(nullptr, kTable, nullptr), -3);
  char line[] = "readio 1";
  EXPECT_EQ(vx_parse_command(line, nullptr, nullptr), -3);
  const std::string text = cap.text();
  EXPECT_NE(text.find("vx_cmdparser:"), std::string::npos);
  EXPECT_NE(text.find(":vx_parse_command invalid value\n"), std::string::npos);
  vx_set_debug_level(0);
}

TEST_F(VxCmdParser, HandlerResultsAndMissingHandler) {
  EXPECT_EQ(parse("nothing"), 0);
  g_result = 5;
  EXPECT_EQ(parse("readio 1"), 0);
  g_result = -7;
  EXPECT_EQ(parse("readio 1"), -7);
  // Names differing only in case: the first record wins ("Twin" adds 100 to the result).
  g_result = -300;
  EXPECT_EQ(parse("TWIN"), -200);
}

TEST_F(VxCmdParser, FindCommandAndFindString) {
  EXPECT_EQ(vx_find_command("CONFIGIO", kTable), 1);
  EXPECT_EQ(vx_find_command("twin", kTable), 5);
  {
    Capture cap(STDERR_FILENO);
    EXPECT_EQ(vx_find_command("zap", kTable), -4);
    const vx_command_t empty[] = {{nullptr, 0, 0, nullptr}};
    EXPECT_EQ(vx_find_command("readio", empty), -4);
    EXPECT_EQ(cap.text(), "unknown command 'zap'\nunknown command 'readio'\n");
  }
  const char *const onoff[] = {"off", "on", nullptr};
  const char *const none[] = {nullptr};
  EXPECT_EQ(vx_find_string("ON", onoff), 1);
  EXPECT_EQ(vx_find_string("Off", onoff), 0);
  EXPECT_EQ(vx_find_string("o", onoff), -1);
  EXPECT_EQ(vx_find_string("on", none), -1);
  EXPECT_EQ(vx_find_string(nullptr, onoff), -1);
}

TEST_F(VxCmdParser, GetArg) {
  const char line[] = " set\t70  1 ";
  const char *w = vx_get_arg(line, 1);
  ASSERT_NE(w, nullptr);
  EXPECT_STREQ(w, "70");
  EXPECT_STREQ(line, " set\t70  1 ");  // the line is not changed
  EXPECT_STREQ(vx_get_arg(line, 0), "set");
  EXPECT_STREQ(vx_get_arg(line, 2), "1");
  EXPECT_EQ(vx_get_arg(line, 3), nullptr);
  EXPECT_EQ(vx_get_arg(line, -1), nullptr);
  EXPECT_EQ(vx_get_arg("   ", 0), nullptr);
  EXPECT_EQ(vx_get_arg(nullptr, 0), nullptr);
  EXPECT_STREQ(vx_get_arg(words(128).c_str(), 127), "w127");
  EXPECT_EQ(vx_get_arg(words(129).c_str(), 0), nullptr);
}

}  // namespace
