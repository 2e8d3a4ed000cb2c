// Configuration reader: the built-in board, the file format, lookups, settings, and refusals that
// leave the configuration loaded before untouched.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "test_vx_capture.h"
#include "testutil.h"

using core_test::Capture;

namespace {

// Every section, then its devices and registers, as one text (the shape configdump prints).
int add_device(const char *name, void *out) {
  *static_cast<std::string *>(out) += " D:" + std::string(name);
  return 0;
}
int add_register(const char *name, void *out) {
  *static_cast<std::string *>(out) += " R:" + std::string(name);
  return 0;
}
int add_section(const char *name, void *out) {
  auto &text = *static_cast<std::string *>(out);
  text += (text.empty() ? "" : "\n") + std::string(name);
  vx_enum_device(name, add_device, out);
  vx_enum_register(name, add_register, out);
  return 0;
}
std::string listing() {
  std::string text;
  vx_enum_section(add_section, &text);
  return text;
}

const vx_device_info_t *device(const char *name) {
  return static_cast<const vx_device_info_t *>(vx_lookup_device(name));
}

class VxConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/etc/tarsa/tarsa.toml", F_OK) == 0)
      GTEST_SKIP() << "a system configuration is installed";
    unsetenv("TARSA_CONFIG");
  }
  void TearDown() override {
    vx_config_exit();
    unsetenv("TARSA_CONFIG");
    for (const std::string &p : files_) unlink(p.c_str());
  }

  // Writes `text` to a file of its own and points $TARSA_CONFIG at it; returns the path.
  std::string use(const std::string &text) {
    std::string path = ::testing::TempDir() + "tarsa-config-" + std::to_string(getpid()) + "-" +
                       std::to_string(files_.size()) + ".toml";
    std::ofstream(path) << text;
    files_.push_back(path);
    setenv("TARSA_CONFIG", path.c_str(), 1);
    return path;
  }

  // Loads `text` and expects a refusal with exactly "FILE:where: reason\n" on standard error.
  void expect_refused(const std::string &text, const std::string &where_reason) {
    std::string path = use(text);
    Capture err(2);
    EXPECT_EQ(vx_config_init(0, nullptr), -EINVAL) << text;
    EXPECT_EQ(err.text(), path + ":" + where_reason + "\n") << text;
  }

  std::vector<std::string> files_;
};

constexpr const char *kBuiltinListing =
    "Tarsa4 D:dsPic R:revision\n"
    "Gripper D:Arm D:Hand R:version R:position R:speed R:current\n"
    "Pellix D:Board D:AltBoard\n"
    "PellixLE D:Board D:AltBoard\n"
    "Dravon D:PriMotor1 D:PriMotor2 D:PriMotor3 D:PriMotor4\n"
    "DravonLE D:PriMotor1 D:PriMotor2 D:PriMotor3 D:PriMotor4";

TEST_F(VxConfig, BuiltInBoard) {
  EXPECT_EQ(vx_enum_section(add_section, nullptr), -1) << "nothing loaded yet";
  ASSERT_EQ(vx_config_init(0, nullptr), 0);
  EXPECT_EQ(listing(), kBuiltinListing);

  const struct {
    const char *name;
    int address, order;
  } expected[] = {
      {"Tarsa4:dsPic", 0x1F, 0},       {"Gripper:Arm", 0x28, 8},
      {"Gripper:Hand", 0x29, 8},       {"Pellix:Board", 0x20, 8},
      {"Pellix:AltBoard", 0x21, 8},    {"PellixLE:Board", 0x22, 0},
      {"PellixLE:AltBoard", 0x23, 0},  {"Dravon:PriMotor1", 0x58, 8},
      {"Dravon:PriMotor4", 0x5B, 8},   {"DravonLE:PriMotor1", 0x5C, 0},
      {"DravonLE:PriMotor4", 0x5F, 0},
  };
  for (const auto &e : expected) {
    const vx_device_info_t *d = device(e.name);
    ASSERT_NE(d, nullptr) << e.name;
    EXPECT_STREQ(d->name, e.name);
    EXPECT_EQ(d->bus, 0) << e.name;
    EXPECT_EQ(d->address, e.address) << e.name;
    EXPECT_EQ(d->order, e.order) << e.name;
    EXPECT_EQ(d->path, nullptr) << e.name;
  }
  // Names are found in any case and give the name as written; sections and registers are no
  // devices.
  EXPECT_EQ(device("TARSA4:DSPIC"), device("Tarsa4:dsPic"));
  EXPECT_STREQ(device("gripper:arm")->section, "Gripper");
  EXPECT_EQ(device("Tarsa4"), nullptr);
  EXPECT_EQ(device("Tarsa4:revision"), nullptr);
  EXPECT_EQ(device("Tarsa4:nothing"), nullptr);
  EXPECT_EQ(device(nullptr), nullptr);

  EXPECT_STREQ(vx_config_get("teleop.udp_host"), "127.0.0.1");
  EXPECT_STREQ(vx_config_get("teleop.tcp_host"), "127.0.0.2");
  EXPECT_STREQ(vx_config_get("teleop.accept_any"), "false");
  EXPECT_EQ(vx_config_get("teleop.port"), nullptr);
  EXPECT_EQ(vx_config_get("teleop"), nullptr);

  vx_config_exit();
  EXPECT_EQ(device("Tarsa4:dsPic"), nullptr);
  EXPECT_EQ(vx_config_get("teleop.udp_host"), nullptr);
  EXPECT_EQ(vx_enum_setting("teleop", nullptr, nullptr), -1);
  vx_config_exit();  // twice is harmless
}

TEST_F(VxConfig, SampleFileDescribesTheBuiltInBoard) {
  setenv("TARSA_CONFIG", TARSA_SOURCE_DIR "/tarsa.toml.sample", 1);
  ASSERT_EQ(vx_config_init(0, nullptr), 0);
  const std::string from_file = listing();
  const vx_device_info_t arm = *device("Gripper:Arm");
  const std::string udp = vx_config_get("teleop.udp_host");
  vx_config_exit();
  unsetenv("TARSA_CONFIG");
  ASSERT_EQ(vx_config_init(0, nullptr), 0);
  EXPECT_EQ(from_file, listing());
  EXPECT_EQ(arm.address, device("Gripper:Arm")->address);
  EXPECT_EQ(arm.order, device("Gripper:Arm")->order);
  EXPECT_EQ(udp, vx_config_get("teleop.udp_host"));
  // Every table of settings the library and the programs read is shown, with its keys.
  const std::string sample = testutil::read_file(TARSA_SOURCE_DIR "/tarsa.toml.sample");
  for (const char *shown :
       {"[teleop]", "# [pwm]", "# [lrf]", "# [bridge]", "# port = 3000",
        "# chip = ", "# power_gpio = 87", "# drive_from = ", "# watchdog_ms = ",
        "# max_angular_accel = ", "# lrf_port = ", "# camera = false", "# safety_distance_m = 0"})
    EXPECT_NE(sample.find(shown), std::string::npos) << shown;
}

TEST_F(VxConfig, FileOrderSerialDevicesAndSettings) {
  use(R"(top = "level"
[Zeta.registers]
b = 2
a = 0xFF
[Zeta.devices]
Second = { bus = "i2c", address = 0x77 }
first = { bus = "i2c", address = 0x03, order = 0 }
[Empty]
[Gps.devices]
Receiver = { bus = "serial", path = "/dev/ttyACM0" }
[teleop]
port = 3000
ratio = 0.5
accept_any = true
[teleop.peer]
name = "console"
[Alpha]
devices = {}
)");
  ASSERT_EQ(vx_config_init(0, nullptr), 0);
  EXPECT_EQ(listing(), "Zeta D:Second D:first R:b R:a\nEmpty\nGps D:Receiver\nAlpha");
  EXPECT_EQ(device("Zeta:Second")->address, 0x77);
  EXPECT_EQ(device("Zeta:first")->address, 0x03);
  const vx_device_info_t *gps = device("gps:receiver");
  ASSERT_NE(gps, nullptr);
  EXPECT_EQ(gps->bus, 1);
  EXPECT_EQ(gps->address, 0);
  EXPECT_STREQ(gps->path, "/dev/ttyACM0");
  EXPECT_STREQ(vx_config_get("top"), "level");
  EXPECT_STREQ(vx_config_get("teleop.port"), "3000");
  EXPECT_STREQ(vx_config_get("teleop.ratio"), "0.5");
  EXPECT_STREQ(vx_config_get("teleop.accept_any"), "true");
  EXPECT_STREQ(vx_config_get("teleop.peer.name"), "console");
  // The keys of one settings table in file order with their types; of all, the whole keys.
  std::string keys;
  auto add_setting = [](const char *key, int type, void *out) {
    *static_cast<std::string *>(out) += std::string(key) + ":" + std::to_string(type) + " ";
    return 0;
  };
  EXPECT_EQ(vx_enum_setting("teleop", add_setting, &keys), 0);
  EXPECT_EQ(keys, "port:1 ratio:2 accept_any:3 peer.name:0 ");
  keys.clear();
  EXPECT_EQ(vx_enum_setting(nullptr, add_setting, &keys), 0);
  EXPECT_EQ(keys, "top:0 teleop.port:1 teleop.ratio:2 teleop.accept_any:3 teleop.peer.name:0 ");
  keys.clear();
  EXPECT_EQ(vx_enum_setting("tele", add_setting, &keys), 0);  // a prefix is not the table
  EXPECT_EQ(keys, "");

  // A non-zero callback result stops the enumeration and is handed back; unknown sections give -1.
  int calls = 0;
  auto stop = [](const char *, void *n) { return ++*static_cast<int *>(n) == 2 ? 7 : 0; };
  EXPECT_EQ(vx_enum_section(stop, &calls), 7);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(vx_enum_device("Nowhere", add_device, nullptr), -1);
  EXPECT_EQ(vx_enum_register("Gps", add_register, nullptr), 0);
}

TEST_F(VxConfig, RefusedFilesLeaveThePreviousConfiguration) {
  ASSERT_EQ(vx_config_init(0, nullptr), 0);
  // Valid entries come before the fault: none of them may show afterwards.
  expect_refused(
      "[Fresh.devices]\nOne = { bus = \"i2c\", address = 0x10 }\n[Fresh.registers]\nr = 1\n"
      "[teleop]\nudp_host = \"10.0.0.1\"\n[Other.devices]\nTwo = { bus = \"usb\", address = 0x11 "
      "}\n",
      "8:15: unknown bus 'usb' (expected 'i2c' or 'serial')");
  EXPECT_EQ(listing(), kBuiltinListing);
  EXPECT_EQ(device("Fresh:One"), nullptr);
  EXPECT_STREQ(vx_config_get("teleop.udp_host"), "127.0.0.1");

  // Nothing loaded before: nothing loaded after.
  vx_config_exit();
  expect_refused("[A.devices]\nx = { bus = \"i2c\", address = 0x80 }\n",
                 "2:30: address 128 of device 'A:x' outside 0x03-0x77");
  EXPECT_EQ(vx_enum_section(add_section, nullptr), -1);
  EXPECT_EQ(device("A:x"), nullptr);
}

TEST_F(VxConfig, RefusalsNameThePlaceAndTheReason) {
  struct Case {
    const char *text, *message;
  } cases[] = {
      // malformed TOML, as the parser words it
      {"[A.devices\n", "1:11: Error while parsing table header: expected ']', saw '\\n'"},
      // duplicates ignoring case: sections, devices, device against register
      {"[A]\n[a.devices]\n", "2:2: duplicate section 'a'"},
      {"[A.devices]\nx = { bus = \"i2c\", address = 3 }\nX = { bus = \"i2c\", address = 4 }\n",
       "3:1: duplicate device 'A:X'"},
      {"[A.devices]\nx = { bus = \"i2c\", address = 3 }\n[A.registers]\nX = 1\n",
       "4:1: duplicate name 'A:X'"},
      // addresses
      {"[A.devices]\nx = { bus = \"i2c\", address = 2 }\n",
       "2:30: address 2 of device 'A:x' outside 0x03-0x77"},
      {"[A.devices]\nx = { bus = \"i2c\", address = -1 }\n",
       "2:30: address -1 of device 'A:x' outside 0x03-0x77"},
      {"[A.devices]\nx = { bus = \"i2c\" }\n", "2:5: device 'A:x' on bus 'i2c' has no address"},
      {"[A.devices]\nx = { bus = \"i2c\", address = \"0x10\" }\n",
       "2:30: address of device 'A:x' must be an integer"},
      // buses and paths
      {"[A.devices]\nx = { address = 3 }\n", "2:5: device 'A:x' has no bus"},
      {"[A.devices]\nx = { bus = 0, address = 3 }\n", "2:13: bus of device 'A:x' must be a string"},
      {"[A.devices]\nx = { bus = \"serial\" }\n", "2:5: device 'A:x' on bus 'serial' has no path"},
      {"[A.devices]\nx = { bus = \"serial\", path = \"/dev/ttyO0\", address = 3 }\n",
       "2:54: device 'A:x' on bus 'serial' takes no address"},
      {"[A.devices]\nx = { bus = \"i2c\", address = 3, path = \"/dev/x\" }\n",
       "2:40: device 'A:x' on bus 'i2c' takes no path"},
      // order, registers, keys, names
      {"[A.devices]\nx = { bus = \"i2c\", address = 3, order = 4 }\n",
       "2:41: order 4 of device 'A:x' is neither 0 nor 8"},
      {"[A.registers]\nr = 256\n", "2:5: register 'A:r' number 256 outside 0-255"},
      {"[A.registers]\nr = \"x\"\n", "2:5: register 'A:r' must be an integer"},
      {"[A.devices]\nx = { bus = \"i2c\", adress = 3 }\n",
       "2:20: unknown key 'adress' in device 'A:x'"},
      {"[A]\ndevices = {}\nnotes = \"x\"\n",
       "3:1: unknown key 'notes' in section 'A' (expected 'devices' or 'registers')"},
      {"[A]\ndevices = 5\n", "2:11: 'devices' of section 'A' must be a table"},
      {"[A.devices]\nx = 5\n", "2:5: device 'A:x' must be a table"},
      {"[\"B:C\".devices]\n", "1:2: section name 'B:C' contains ':'"},
      {"[A.devices]\n\"\" = { bus = \"i2c\", address = 3 }\n", "2:1: device name is empty"},
      {"[teleop]\nhosts = [\"a\", \"b\"]\n",
       "2:1: setting 'teleop.hosts' is an array; settings are single values"},
  };
  for (const Case &c : cases) expect_refused(c.text, c.message);

  const std::string long_name(125, 'n');
  expect_refused("[Long.devices]\n" + long_name + " = { bus = \"i2c\", address = 3 }\n",
                 "2:1: device name 'Long:" + long_name + "' is longer than 127 bytes");
}

TEST_F(VxConfig, NestingLimitCountsHeadersKeysTablesAndArraysTogether) {
  const auto key = [](int parts) {
    std::string k = "k";
    for (int i = 1; i < parts; ++i) k += ".k";
    return k;
  };
  // At the limit, and brackets inside strings, comments and multi-line strings, which do not nest.
  const std::string brackets(150, '[');
  for (const std::string &text :
       {key(100) + " = 1\n", "[" + key(99) + "]\nk = 1\n", key(99) + " = {}\n",
        "s = \"" + brackets + "\"\n# " + brackets + "\nm = '''\n[" + key(150) + "]\n'''\n" +
            "l = '" + brackets + "'\n"}) {
    use(text);
    EXPECT_EQ(vx_config_init(0, nullptr), 0) << text;
  }
  EXPECT_STREQ(vx_config_get("l"), brackets.c_str());

  const std::string limit = " nests deeper than the limit of 100 levels";
  expect_refused(key(101) + " = 1\n", "1:201: key" + limit);
  expect_refused("[" + key(101) + "]\n", "1:202: table header" + limit);
  expect_refused("[" + key(100) + "]\nk = 1\n", "2:1: key" + limit);
  expect_refused(key(100) + " = {}\n", "1:203: inline table" + limit);
  // Columns count characters, not bytes.
  expect_refused("\"\u00e9\"." + key(99) + " = [ ]\n", "1:205: array" + limit);
  expect_refused("a = { b = [ { c = [" + std::string(94, '[') + "]]}]}\n", "1:113: array" + limit);
}

TEST_F(VxConfig, SizeLimitIsOneMebibyte) {
  std::string text = "# " + std::string((1 << 20) - 3, 'x') + "\n";
  use(text);
  EXPECT_EQ(vx_config_init(0, nullptr), 0);
  text += "x = 1\n";
  const std::string path = use(text);
  Capture err(2);
  EXPECT_EQ(vx_config_init(0, nullptr), -EFBIG);
  EXPECT_EQ(err.text(), path + ":2:1: file larger than the limit of 1 MiB (1048576 bytes)\n");
}

TEST_F(VxConfig, UnreadableFileIsReportedWithItsPath) {
  setenv("TARSA_CONFIG", "/nonexistent/tarsa.toml", 1);
  vx_set_debug_level(0);
  Capture err(2);
  EXPECT_EQ(vx_config_init(0, nullptr), -ENOENT);
  EXPECT_EQ(err.text(), "unable to open file '/nonexistent/tarsa.toml'\n");
  // An empty variable counts as unset: the built-in board.
  setenv("TARSA_CONFIG", "", 1);
  EXPECT_EQ(vx_config_init(0, nullptr), 0);
  EXPECT_NE(device("Tarsa4:dsPic"), nullptr);
}

}  // namespace
