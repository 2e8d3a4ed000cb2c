// Cost of one emulated I2C_RDWR (1-byte write, 4-byte read) through the simulator's preload,
// against a plain ioctl that the kernel refuses at once on /dev/null.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>

namespace {

constexpr const char *kBoard = R"(
[[i2c.adapter]]
number = 2

[[i2c.slave]]
addr = 0x50
model = "regfile"
)";

void EmulatedRdwr(benchmark::State &state) {
  auto load =
      reinterpret_cast<int (*)(const char *)>(dlsym(RTLD_DEFAULT, "tarsa_sim_load_scenario"));
  if (!load) {
    state.SkipWithError("run under tarsa-sim");
    return;
  }
  if (load(kBoard) != 0) {
    state.SkipWithError("scenario refused");
    return;
  }
  int fd = open("/dev/i2c-2", O_RDWR);
  if (fd < 0) {
    state.SkipWithError("cannot open /dev/i2c-2");
    return;
  }
  std::uint8_t reg = 0x10, out[4] = {};
  i2c_msg msgs[2] = {{0x50, 0, 1, &reg}, {0x50, I2C_M_RD, 4, out}};
  i2c_rdwr_ioctl_data d{msgs, 2};
  for (auto _ : state) {
    int r = ioctl(fd, I2C_RDWR, &d);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(out);
  }
  close(fd);
}
BENCHMARK(EmulatedRdwr);

void PlainIoctl(benchmark::State &state) {
  int fd = open("/dev/null", O_RDWR);
  std::uint8_t reg = 0x10, out[4] = {};
  i2c_msg msgs[2] = {{0x50, 0, 1, &reg}, {0x50, I2C_M_RD, 4, out}};
  i2c_rdwr_ioctl_data d{msgs, 2};
  for (auto _ : state) {
    int r = ioctl(fd, I2C_RDWR, &d);  // ENOTTY from the kernel
    benchmark::DoNotOptimize(r);
  }
  close(fd);
}
BENCHMARK(PlainIoctl);

}  // namespace

BENCHMARK_MAIN();
