// The range finder driver's work on one full scan once its bytes have arrived (finding the reply
// in the input, taking it apart, verifying every check character, decoding 682 distances),
// against the time the line needs for the same bytes (10 bits a byte at 115200 baud, about
// 185 ms); and one whole scan through the simulated sensor, when run under tarsa-sim.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <array>
#include <cstdint>
#include <string>

#include "lrf/scip.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_lrf.h"

namespace {

namespace scip = tarsa::scip;

std::string checked(const std::string &line) {
  return line + scip::check(line) + "\n";
}

// A "GD" reply of the 682 measured steps, as the sensor sends it.
std::string full_reply(const std::string &echo) {
  std::string data;
  for (std::uint32_t i = 0; i < 682; ++i) data += scip::encode(300 + (i * 37) % 5000, 3);
  std::string out = echo + "\n" + checked("00") + checked("0A3Z");
  for (std::size_t at = 0; at < data.size(); at += scip::kBlock)
    out += checked(data.substr(at, scip::kBlock));
  return out + "\n";
}

void DecodeFullScan(benchmark::State &state) {
  const std::string echo = scip::distance_command(44, 725);
  const std::string input = full_reply(echo);
  std::array<std::int32_t, 682> out{};
  for (auto _ : state) {
    const auto span = scip::find_reply(input, echo);
    scip::Reply reply;
    const std::string_view frame =
        std::string_view(input).substr(span->begin, span->end - span->begin);
    if (scip::parse_reply(frame, reply) != scip::Fault::none ||
        scip::parse_distances(reply, out) != scip::Fault::none) {
      state.SkipWithError("reply refused");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
  state.counters["reply_bytes"] = static_cast<double>(input.size());
  state.counters["line_ms"] = static_cast<double>(input.size()) * 10 * 1000 / 115200;
}
BENCHMARK(DecodeFullScan);

// The board and the sensor, started once: the benchmark's function runs several times.
int start_sensor() {
  auto load =
      reinterpret_cast<int (*)(const char *)>(dlsym(RTLD_DEFAULT, "tarsa_sim_load_scenario"));
  if (!load || load("") != 0 || vx_init(0, nullptr) < 0) return -1;
  vx_set_debug_level(0);
  vx_lrf_Power_On();
  return vx_lrf_Init("/dev/ttyACM0");
}

void ScanThroughSimulator(benchmark::State &state) {
  static const int handle = start_sensor();
  if (handle < 0) {
    state.SkipWithError("run under tarsa-sim: the range finder does not start");
    return;
  }
  for (auto _ : state)
    if (vx_lrf_GetDistances(handle) != 0) {
      state.SkipWithError("scan refused");
      break;
    }
}
BENCHMARK(ScanThroughSimulator)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
