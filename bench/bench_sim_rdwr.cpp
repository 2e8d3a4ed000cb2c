// Cost of one emulated I2C_RDWR (1-byte write, 4-byte read) and of one SMBus word read through
// the simulator's preload, against a plain ioctl that the kernel refuses at once on /dev/null;
// then each as a multiple of the plain call, from the same run. EmulatedRdwrWithHandler is the
// same transfer in a program that has a signal handler of its own (as the bridge and teleop
// have); it runs last, as a handler once set may change what later calls cost.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr const char *kBoard = R"(
[[i2c.adapter]]
number = 2

[[i2c.slave]]
addr = 0x50
model = "regfile"
)";

// The emulated adapter, opened on the board above; -1 (the benchmark skipped) outside tarsa-sim.
int open_adapter(benchmark::State &state) {
  auto load =
      reinterpret_cast<int (*)(const char *)>(dlsym(RTLD_DEFAULT, "tarsa_sim_load_scenario"));
  if (!load) {
    state.SkipWithError("run under tarsa-sim");
    return -1;
  }
  if (load(kBoard) != 0) {
    state.SkipWithError("scenario refused");
    return -1;
  }
  int fd = open("/dev/i2c-2", O_RDWR);
  if (fd < 0) state.SkipWithError("cannot open /dev/i2c-2");
  return fd;
}

void EmulatedRdwr(benchmark::State &state) {
  int fd = open_adapter(state);
  if (fd < 0) return;
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

// A word read through the SMBus request, as the board's motor and IO boards are read.
void EmulatedSmbusWord(benchmark::State &state) {
  int fd = open_adapter(state);
  if (fd < 0) return;
  if (ioctl(fd, I2C_SLAVE, 0x50) != 0) {
    state.SkipWithError("I2C_SLAVE refused");
    close(fd);
    return;
  }
  i2c_smbus_data data{};
  i2c_smbus_ioctl_data d{I2C_SMBUS_READ, 0x10, I2C_SMBUS_WORD_DATA, &data};
  for (auto _ : state) {
    int r = ioctl(fd, I2C_SMBUS, &d);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(data);
  }
  close(fd);
}
BENCHMARK(EmulatedSmbusWord);

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

void on_signal(int) {}

void EmulatedRdwrWithHandler(benchmark::State &state) {
  struct sigaction act {
  }, old{};
  act.sa_handler = on_signal;
  sigemptyset(&act.sa_mask);
  sigaction(SIGUSR1, &act, &old);
  EmulatedRdwr(state);
  sigaction(SIGUSR1, &old, nullptr);
}
BENCHMARK(EmulatedRdwrWithHandler);

// The console's report, then each benchmark's median time per call as a multiple of
// PlainIoctl's (real and CPU time).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        times_[r.run_name.function_name].push_back(
            {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()});
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    auto plain = times_.find("PlainIoctl");
    if (plain == times_.end()) return;
    const Times base = median(plain->second);
    for (auto &[name, list] : times_) {
      if (name == plain->first) continue;
      const Times t = median(list);
      if (base.real > 0 && base.cpu > 0)
        GetOutputStream() << name << " / PlainIoctl: " << t.real / base.real << " (real), "
                          << t.cpu / base.cpu << " (CPU)\n";
    }
  }

 private:
  struct Times {
    double real, cpu;
  };
  static Times median(std::vector<Times> list) {
    auto mid = [&](double Times::*field) {
      std::vector<double> v;
      for (const Times &t : list) v.push_back(t.*field);
      std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
      return v[v.size() / 2];
    };
    return {mid(&Times::real), mid(&Times::cpu)};
  }
  std::map<std::string, std::vector<Times>> times_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
