// Fixture for a driver's tests on the simulated board: each test starts on a fresh board, with
// the library started anew and the driver's devices opened by name.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "simtest.h"
#include "tarsa/lyn.h"
#include "tarsa/vx_init.h"

namespace simtest {

class DeviceTest : public ::testing::Test {
 protected:
  // `init` starts the library (true when it did); `names` are the devices to open, on `bus`.
  DeviceTest(std::function<bool()> init, std::vector<std::string> names, int bus = LYN_BUS_ANY)
      : devices(names.size()), init_(std::move(init)), names_(std::move(names)), bus_(bus) {}

  void SetUp() override { start(""); }

  // A stopped library on the board of `scenario` (TOML text, "" the built-in board).
  virtual void reset(const std::string &scenario) {
    vx_exit();
    load(scenario);
  }

  // reset, then the library started and the devices opened into `devices`, in the order named.
  void start(const std::string &scenario) {
    ASSERT_TRUE(active()) << "run under tarsa-sim";
    reset(scenario);
    ASSERT_TRUE(init_()) << "the library did not start";
    for (std::size_t i = 0; i < names_.size(); ++i) {
      devices[i] = lyn_open(names_[i].c_str(), bus_, 0, nullptr);
      ASSERT_NE(devices[i], nullptr) << names_[i];
    }
  }

  // The board of the scenario `extra` on top of the built-in one. Opening a device probes its
  // address once, so an injected fault counts the driver's transfers from the second on.
  static std::string board_with(const std::string &extra) {
    return "extends = \"builtin\"\n" + extra;
  }

  // The built-in board on which `count` transfers to `addr` fail, from the `nth` on (the open's
  // probe is the first).
  static std::string failing(int addr, int nth = 2, int count = 1) {
    return board_with("[[fault]]\nkind = \"error\"\naddr = " + std::to_string(addr) + "\nnth = " +
                      std::to_string(nth) + "\ncount = " + std::to_string(count) + "\n");
  }

  std::vector<lyn_dev_t> devices;  // sized at construction, never resized: references stay valid

 private:
  std::function<bool()> init_;
  std::vector<std::string> names_;
  int bus_;
};

// Starts the library as most programs do.
inline bool start_library() {
  return vx_init(0, nullptr) >= 0;
}

}  // namespace simtest
