// configdump run under the simulator: the built-in configuration listed in file order with the
// verdict, a configuration without sections, and a refused one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "simtest.h"

namespace {

class Configdump : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("TARSA_CONFIG"); }
  void TearDown() override {
    if (!file_.empty()) unlink(file_.c_str());
  }
  simtest::Result run_with(const std::string &config) {
    file_ = ::testing::TempDir() + "configdump-" + std::to_string(getpid()) + ".toml";
    std::ofstream(file_) << config;
    simtest::RunOptions opts;
    opts.env = {"TARSA_CONFIG=" + file_};
    return simtest::run({simtest::bin("configdump")}, opts);
  }
  std::string file_;
};

TEST_F(Configdump, BuiltInConfiguration) {
  if (access("/etc/tarsa/tarsa.toml", F_OK) == 0)
    GTEST_SKIP() << "a system configuration is installed";
  const simtest::Result r = simtest::run({simtest::bin("configdump")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Section: Tarsa4\nDevice: dsPic\nRegister: revision\n"
            "Section: Gripper\nDevice: Arm\nDevice: Hand\n"
            "Register: version\nRegister: position\nRegister: speed\nRegister: current\n"
            "Section: Pellix\nDevice: Board\nDevice: AltBoard\n"
            "Section: PellixLE\nDevice: Board\nDevice: AltBoard\n"
            "Section: Dravon\nDevice: PriMotor1\nDevice: PriMotor2\nDevice: PriMotor3\nDevice: "
            "PriMotor4\n"
            "Section: DravonLE\nDevice: PriMotor1\nDevice: PriMotor2\nDevice: PriMotor3\nDevice: "
            "PriMotor4\n"
            "dev=ok\n");
}

TEST_F(Configdump, NoSectionsGiveOnlyTheVerdict) {
  const simtest::Result r = run_with("[teleop]\nudp_host = \"127.0.0.1\"\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "dev=KO\n");
}

TEST_F(Configdump, SectionWithoutEntriesAndAnotherController) {
  const simtest::Result r =
      run_with("[Empty]\n[tarsa4.devices]\nDSPIC = { bus = \"i2c\", address = 0x1F }\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Section: Empty\nSection: tarsa4\nDevice: DSPIC\ndev=ok\n");
}

TEST_F(Configdump, RefusedConfigurationEndsWithStatus1) {
  const simtest::Result r =
      run_with("[Tarsa4.devices]\ndsPic = { bus = \"i2c\", address = 0x80 }\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(file_ + ":2:34: address 128 of device 'Tarsa4:dsPic' outside 0x03-0x77\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("\nvx_config_init ERROR!\n\n"), std::string::npos) << r.err;
}

}  // namespace
