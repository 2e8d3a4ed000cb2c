// Malformed configuration files: truncated, mutated, wrongly typed, oversized, deeply nested,
// duplicated and random input, and device files, must be refused with one
// "FILE:LINE:COLUMN: reason" line and no trace of a partial load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "tarsa/vx_config.h"
#include "test_vx_capture.h"
#include "testutil.h"

using core_test::Capture;

namespace {

int add_name(const char *name, void *out) {
  *static_cast<std::string *>(out) += std::string(" ") + name;
  return 0;
}
int add_section(const char *name, void *out) {
  *static_cast<std::string *>(out) += std::string("\n") + name;
  vx_enum_device(name, add_name, out);
  vx_enum_register(name, add_name, out);
  return 0;
}
std::string listing() {
  std::string text;
  vx_enum_section(add_section, &text);
  return text + "|" + (vx_config_get("teleop.udp_host") ? vx_config_get("teleop.udp_host") : "-");
}

class ConfigFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "tarsa-fuzz-" + std::to_string(getpid()) + ".toml";
    setenv("TARSA_CONFIG", path_.c_str(), 1);
    sample_ = testutil::read_file(TARSA_SOURCE_DIR "/tarsa.toml.sample");
    ASSERT_FALSE(sample_.empty());
  }
  void TearDown() override {
    vx_config_exit();
    unsetenv("TARSA_CONFIG");
    unlink(path_.c_str());
  }

  // Loads `text`. Accepted: every listed device can be looked up. Refused: one well-formed report
  // and the configuration loaded before is still the one in force. Returns the result.
  int load(const std::string &text) {
    { std::ofstream(path_, std::ios::binary | std::ios::trunc) << text; }
    return load_from(path_, text.size() < 4096 ? text : text.substr(0, 64) + "...");
  }

  // As load(), from the file at `path`; `shown` stands for its content in failure messages.
  // The report is kept in report_.
  int load_from(const std::string &path, const std::string &shown) {
    setenv("TARSA_CONFIG", path.c_str(), 1);
    const std::string before = listing();
    Capture err(2);
    const int rc = vx_config_init(0, nullptr);
    report_ = err.text();
    if (rc == 0) {
      EXPECT_EQ(report_, "");
    } else {
      EXPECT_TRUE(rc == -EINVAL || rc == -EFBIG) << rc << " for:\n" << shown;
      static const std::regex line("[^\n]+:[0-9]+:[0-9]+: [^\n]+\n");
      EXPECT_TRUE(std::regex_match(report_, line)) << report_ << "for:\n" << shown;
      EXPECT_EQ(report_.rfind(path + ":", 0), 0u) << report_;
      EXPECT_EQ(listing(), before) << "partial load from:\n" << shown;
    }
    return rc;
  }

  std::string path_, sample_, report_;
};

TEST_F(ConfigFuzz, EveryTruncationOfTheSample) {
  ASSERT_EQ(load(sample_), 0);
  int refused = 0;
  for (size_t n = 0; n < sample_.size(); ++n) refused += load(sample_.substr(0, n)) != 0;
  EXPECT_GT(refused, 0);  // cuts inside a key, string or inline table cannot parse
}

TEST_F(ConfigFuzz, WrongTypesInEveryPlace) {
  const std::vector<std::string> values = {"\"0x1F\"",   "true",       "1.5",      "[1]",
                                           "{}",         "1979-05-27", "07:32:00", "\"\"",
                                           "\"serial\"", "-3",         "8"};
  const std::regex scalar(R"(0x[0-9A-F]+|"[^"]*"|\b(true|false)\b|\b[0-9]+\b)");
  // The values of the sample, not the settings shown in its comments.
  const std::string sample = std::regex_replace(sample_, std::regex("#[^\n]*"), "");
  int refused = 0, cases = 0;
  for (auto it = std::sregex_iterator(sample.begin(), sample.end(), scalar);
       it != std::sregex_iterator(); ++it) {
    for (const std::string &v : values) {
      std::string text = sample;
      text.replace(static_cast<size_t>(it->position()), static_cast<size_t>(it->length()), v);
      refused += load(text) != 0;
      ++cases;
    }
  }
  EXPECT_GT(refused, cases / 2);
}

TEST_F(ConfigFuzz, HugeValuesNeverWrapIntoRange) {
  const char *cases[] = {
      "[A.devices]\nx = { bus = \"i2c\", address = 9223372036854775807 }\n",
      "[A.devices]\nx = { bus = \"i2c\", address = -9223372036854775808 }\n",
      "[A.devices]\nx = { bus = \"i2c\", address = 4294967327 }\n",  // 0x1F + 2^32
      "[A.devices]\nx = { bus = \"i2c\", address = 99999999999999999999 }\n",
      "[A.devices]\nx = { bus = \"i2c\", address = 0x10, order = 4294967304 }\n",  // 8 + 2^32
      "[A.registers]\nr = 4294967297\n",
      "[A.registers]\nr = 1e400\n",
      "[A.devices]\nx = { bus = \"i2c\", address = 1e1 }\n",
  };
  for (const char *text : cases) EXPECT_NE(load(text), 0) << text;
  EXPECT_NE(load(std::string(2 << 20, '#')), 0) << "a file over the size limit";
}

TEST_F(ConfigFuzz, DuplicateKeysAndTables) {
  const char *cases[] = {
      "[A.devices]\nx = { bus = \"i2c\", address = 3 }\nx = { bus = \"i2c\", address = 4 }\n",
      "[A.devices]\nx = { bus = \"i2c\", address = 3, address = 4 }\n",
      "[A.devices]\n[A.devices]\n",
      "[teleop]\nudp_host = \"a\"\nudp_host = \"b\"\n",
      "[A.registers]\nr = 1\nR = 2\n",
      "[A]\n[a]\n",
      "[Gripper.devices]\nArm = { bus = \"i2c\", address = 0x28 }\n[GRIPPER.registers]\nx = 1\n",
  };
  for (const char *text : cases) EXPECT_NE(load(text), 0) << text;
}

TEST_F(ConfigFuzz, RandomBytesAndMutants) {
  std::mt19937 rng(20261208);
  const std::string alphabet = "[]{}=\"',.:#\n \t0123456789xabAZ_-+\\\x00\xb2\xff";
  ASSERT_EQ(load(sample_), 0);
  for (int i = 0; i < 400; ++i) {
    std::string text(rng() % 160, ' ');
    for (char &ch : text) ch = alphabet[rng() % alphabet.size()];
    load(text);
  }
  for (int i = 0; i < 400; ++i) {
    std::string text = sample_;
    for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; --flips)
      text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
    load(text);
  }
  // Nesting deeper than any parser stack should take.
  load("a = " + std::string(100000, '[') + "\n");
  load("a = " + std::string(100000, '{') + "\n");
  std::string deep = "[s";
  for (int i = 0; i < 2000; ++i) deep += ".s";
  load(deep + "]\nk = 1\n");
}

TEST_F(ConfigFuzz, DeepNestingOfEveryKindIsRefusedNamingTheLimit) {
  // 50 000 levels of each kind and of all kinds mixed, 100 KB and more each.
  std::string dotted = "a", header = "[a", tables = "a = ", arrays = "a = ", mixed = "m = ";
  for (int i = 0; i < 50000; ++i) {
    dotted += ".a";
    header += ".a";
    tables += "{a = ";
    arrays += "[";
    mixed += i % 2 ? "[" : "{x.y = ";
  }
  for (const std::string &text :
       {dotted + " = 1\n", header + "]\nk = 1\n", tables + "1" + std::string(50000, '}') + "\n",
        arrays + "\n", mixed + "\n"}) {
    EXPECT_EQ(load(text), -EINVAL);
    EXPECT_NE(report_.find(" nests deeper than the limit of 100 levels\n"), std::string::npos)
        << report_;
  }
}

TEST_F(ConfigFuzz, DeviceFilesAndAFileJustUnderTheSizeLimit) {
  // Endless devices stop at the size limit; an empty one is an empty configuration.
  for (const char *dev : {"/dev/zero", "/dev/urandom"}) {
    EXPECT_EQ(load_from(dev, dev), -EFBIG);
    EXPECT_NE(report_.find(": file larger than the limit of 1 MiB (1048576 bytes)\n"),
              std::string::npos)
        << report_;
  }
  EXPECT_EQ(load_from("/dev/null", "/dev/null"), 0);
  EXPECT_EQ(listing(), "|-");

  std::string big = "[t]\n";
  for (int i = 0; big.size() < (1 << 20) - 32; ++i)
    big += "k" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  EXPECT_EQ(load(big), 0);
  EXPECT_STREQ(vx_config_get("t.k0"), "0");
}

TEST_F(ConfigFuzz, RandomBytes) {
  std::mt19937 rng(20261209);
  for (int i = 0; i < 300; ++i) {
    std::string text(rng() % 4096, '\0');
    for (char &ch : text) ch = static_cast<char>(rng());
    load(text);
  }
}

}  // namespace
