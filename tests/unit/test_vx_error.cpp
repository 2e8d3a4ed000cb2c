// Message table, error/warning/debug output, the error handler and fatal exits.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "reports.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_memory.h"
#include "test_vx_capture.h"

using core_test::Capture;

// Huge requests must come back null from the allocator (and not abort under ASan) so that the
// library's own exhaustion path is what ends the process.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

const char *const kErrors[] = {
    "no enough memory",
    "too many argument",
    "value %u %s out of range [ %u ; %u ]",
    "invalid value",
    "unknown command '%s'",
    "invalid identifier '%s'",
    "symbol '%s' already defined",
    "unknown device class '%s'",
    "device '%s' of class '%s' already defined",
    "invalid number '%s'",
    "unable to open file '%s'",
    "no bus found for device '%s'",
    "invalid order flags setting",
    "unable to gain exclusive access",
    "device in use",
    "unable to unlink device from bus devices",
    "unable to open '%s' bus",
    "unable to scan '%s' bus",
    "no device found with (%u,%u)",
    "unable to open directory '%s'",
    "no device found with (%s)",
    "symbol '%s' not defined",
    "no section defined ! %s '%s' must be defined in a section",
    "command '%s' requires a minimum of %d arguments",
    "command '%s' accepts a maximum of %d arguments",
    "unknow bus name '%s'",
    "no module bus address defined",
    "no module bus specified",
    "invalid device name '%s'",
    "module '%s' not initialized",
    "Unable to enable DUPLEX",
    "Unable to set fragment",
    "Bad FragExponent (%d!=%d)",
    "Unable to get IPTR",
    "Unable to get OPTR",
    "Cannot create pthread (%s)",
    "Bad sound file format (%s)",
    "Unable to map memory at 0x%lx",
    "Cannot open serial connexion to the LRF card as %s",
    "Too much data was about to be received, please update constant in sources : Nbr %d",
    "Timeout waiting for STX byte",
    "Timeout waiting for ETX byte",
    "Wrong STX has been received : 0x%2.2X",
    "Wrong ETX has been received : 0x%2.2X",
    "Timeout waiting for Data",
    "The CRC computed doesn't match expected!",
    "Problem sending data to the LRF",
    "Problem receiving certification code from LRF",
    "Error while sending command to LRF",
    "Error while receiving distances from LRF",
    "Error while receiving datas from LRF",
    "Error while receiving command from Tarsa3 - Unexpected frame size format",
    "Error while receiving command from Tarsa3 - Frame size Real(%d)!=Expected(%d)",
    "Error while sending command to Tarsa3",
    "Unable to initialize the libtarsa from Tarsa3 init",
    "Error while receiving command from Tarsa4 (%d)",
    "Error while sending command to Tarsa4 (%d)",
    "Unable to initialize the libtarsa from Tarsa4 init",
    "Tarsa4 not initialized",
};

const char *const kWarnings[] = {
    "no configuration file available in %s",
    "unable to open directory '%s'",
    "Handling client %s",
    "i/o error in reading file '%s' !",
    "error in playing sample errno=%d",
};

// Every test starts from the load-time settings.
class VxError : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    vx_set_debug_level(0);
    vx_set_debug_mask(0);
    vx_set_error_handler(nullptr);
  }
};

TEST_F(VxError, TablesHoldEveryTextAndEndWithNull) {
  ASSERT_EQ(std::size(kErrors), 59u);
  for (size_t i = 0; i < std::size(kErrors); ++i) {
    ASSERT_NE(vx_errmsg[i], nullptr) << "code " << i;
    EXPECT_STREQ(vx_errmsg[i], kErrors[i]) << "code " << i;
  }
  EXPECT_EQ(vx_errmsg[59], nullptr);
  for (size_t i = 0; i < std::size(kWarnings); ++i) {
    ASSERT_NE(vx_warnmsg[i], nullptr) << "warning " << i;
    EXPECT_STREQ(vx_warnmsg[i], kWarnings[i]) << "warning " << i;
  }
  EXPECT_EQ(vx_warnmsg[5], nullptr);
}

TEST_F(VxError, ErrorsAtLevelZeroAndOne) {
  {
    Capture err(STDERR_FILENO);
    EXPECT_EQ(vx_error("vx_tarsa4", 309, "lyn_getCommand", 55, -5), -55);
    EXPECT_EQ(err.text(), "Error while receiving command from Tarsa4 (-5)\n");
  }
  EXPECT_EQ(vx_set_debug_level(1), 1u);
  EXPECT_EQ(vx_debug_level, 1u);
  {
    Capture err(STDERR_FILENO);
    Capture out(STDOUT_FILENO);
    EXPECT_EQ(vx_error("vx_tarsa4", 309, "lyn_getCommand", 55, -5), -55);
    EXPECT_EQ(
        err.text(),
        "Error: vx_tarsa4:309:lyn_getCommand Error while receiving command from Tarsa4 (-5)\n");
    EXPECT_EQ(out.text(), "");
  }
  {
    Capture err(STDERR_FILENO);
    EXPECT_EQ(vx_error("x", 1, "f", 2, 77u, "gpio", 0u, 64u), -2);
    EXPECT_EQ(err.text(), "Error: x:1:f value 77 gpio out of range [ 0 ; 64 ]\n");
  }
}

TEST_F(VxError, CodeZeroAndCodesOutsideTheTable) {
  Capture err(STDERR_FILENO);
  EXPECT_EQ(vx_error("m", 1, "f", 0), 0);
  EXPECT_EQ(vx_error("m", 1, "f", 59), -59);
  EXPECT_EQ(vx_error("m", 1, "f", -3), 3);
  EXPECT_EQ(vx_error("m", 1, "f", 1000), -1000);
  EXPECT_EQ(vx_warning(5), 5);
  EXPECT_EQ(vx_warning(-1), -1);
  EXPECT_EQ(err.text(),
            "no enough memory\nunknown error 59\nunknown error -3\nunknown error 1000\n"
            "unknown warning 5\nunknown warning -1\n");
}

TEST_F(VxError, WarningsAtLevelOneAndTwo) {
  vx_set_debug_level(1);
  {
    Capture err(STDERR_FILENO);
    EXPECT_EQ(vx_warning(1, "/tmp"), 1);
    EXPECT_EQ(err.text(), "unable to open directory '/tmp'\n");
  }
  vx_set_debug_level(2);
  {
    Capture err(STDERR_FILENO);
    EXPECT_EQ(vx_warning(1, "/tmp"), 1);
    EXPECT_EQ(vx_warning(4, 11), 4);
    EXPECT_EQ(
        err.text(),
        "Warning: unable to open directory '/tmp'\nWarning: error in playing sample errno=11\n");
  }
}

TEST_F(VxError, DebugFollowsTheMaskOnly) {
  vx_set_debug_level(5);
  {
    Capture out(STDOUT_FILENO);
    vx_debug("vx_gpio", 12, "vx_gpio_set", 4, "pin %d", 70);  // mask 0 at load
    EXPECT_EQ(out.text(), "");
  }
  EXPECT_EQ(vx_set_debug_mask(0x3), 0x3);
  EXPECT_EQ(vx_debug_mask, 0x3);
  vx_set_debug_level(0);
  {
    Capture out(STDOUT_FILENO);
    Capture err(STDERR_FILENO);
    vx_debug("vx_gpio", 12, "vx_gpio_set", 4, "pin %d", 70);
    vx_debug("vx_gpio", 12, "vx_gpio_set", 6, "pin %d", 71);
    EXPECT_EQ(out.text(), "Debug> vx_gpio:12:vx_gpio_set pin 71\n");
    EXPECT_EQ(err.text(), "");
  }
}

TEST_F(VxError, MsgPrintsUnchanged) {
  Capture out(STDOUT_FILENO);
  EXPECT_EQ(vx_msg("a%db", 12), 4);
  EXPECT_EQ(vx_msg("%s", "no newline"), 10);
  EXPECT_EQ(out.text(), "a12bno newline");
}

bool g_reenter = false;

// Collects, and with g_reenter set reports again from inside the handler.
void recording_handler(const char *file, unsigned line, const char *function, int code,
                       va_list args) {
  testutil::collect_report(file, line, function, code, args);
  if (g_reenter) vx_error("inner", 2, "g", 3);
}

TEST_F(VxError, HandlerTakesReportsAndInnerReportsArePrinted) {
  auto &g_reports = testutil::reports;
  g_reports.clear();
  g_reenter = false;
  vx_set_debug_level(1);
  vx_set_error_handler(recording_handler);
  {
    Capture err(STDERR_FILENO);
    EXPECT_EQ(vx_error("vx_tarsa4", 309, "lyn_getCommand", 55, -5), -55);
    EXPECT_EQ(vx_warning(0, "/etc"), 0);  // warnings never go to the handler
    EXPECT_EQ(err.text(), "no configuration file available in /etc\n");
  }
  EXPECT_EQ(
      g_reports,
      (std::vector<testutil::Report>{{"vx_tarsa4", "lyn_getCommand",
                                      "Error while receiving command from Tarsa4 (-5)", 309, 55}}));

  g_reenter = true;
  {
    Capture err(STDERR_FILENO);
    EXPECT_EQ(vx_error("outer", 1, "f", 4, "zz"), -4);
    EXPECT_EQ(err.text(), "Error: inner:2:g invalid value\n");
  }
  ASSERT_EQ(g_reports.size(), 2u);  // the inner report did not re-enter
  EXPECT_EQ(g_reports[1].text, "unknown command 'zz'");

  // The guard is released afterwards: the next report reaches the handler again.
  g_reenter = false;
  vx_error("again", 3, "h", 3);
  EXPECT_EQ(g_reports.size(), 3u);

  vx_set_error_handler(nullptr);
  Capture err(STDERR_FILENO);
  vx_set_debug_level(0);
  vx_error("x", 1, "f", 3);
  EXPECT_EQ(err.text(), "invalid value\n");
}

void announce_exit() {
  std::fputs("atexit handler ran\n", stderr);
}

TEST(VxErrorDeath, FatalExitsWith200AfterAtexitHandlers) {
  EXPECT_EXIT(
      {
        vx_set_debug_level(0);
        std::atexit(announce_exit);
        vx_fatal("vx_memory", 26, "vx_alloc", 0);
      },
      ::testing::ExitedWithCode(200), "^no enough memory\natexit handler ran\n$");
  EXPECT_EXIT(
      {
        vx_set_debug_level(1);
        vx_fatal("m", 7, "f", 4, "cmd");
      },
      ::testing::ExitedWithCode(200), "^Error: m:7:f unknown command 'cmd'\n$");
}

TEST(VxMemory, ExhaustionEndsTheProcessWith200) {
  EXPECT_EXIT(
      {
        vx_set_debug_level(1);
        vx_alloc(-1);
      },
      ::testing::ExitedWithCode(200), "(^|\n)Error: vx_memory:26:vx_alloc no enough memory\n$");
  EXPECT_EXIT(
      {
        vx_set_debug_level(1);
        vx_realloc(nullptr, -1);
      },
      ::testing::ExitedWithCode(200), "(^|\n)Error: vx_memory:45:vx_alloc no enough memory\n$");
}

TEST(VxMemory, BlocksAreUsableAndZeroSizeReallocIsNotNull) {
  auto *p = static_cast<char *>(vx_alloc(16));
  ASSERT_NE(p, nullptr);
  std::snprintf(p, 16, "%s", "kept");
  p = static_cast<char *>(vx_realloc(p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "kept");
  p = static_cast<char *>(vx_realloc(p, 0));
  EXPECT_NE(p, nullptr);
  std::free(p);
  p = static_cast<char *>(vx_alloc(0));
  EXPECT_NE(p, nullptr);
  std::free(p);
}

}  // namespace
