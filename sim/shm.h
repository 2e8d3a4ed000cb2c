// State shared by every process of one simulator run: a file mapped MAP_SHARED, one robust mutex.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "clock.h"
#include "jump.h"

namespace tsim {

constexpr int kMaxPins = 256;
constexpr std::size_t kSlabSize = 256 * 1024;
constexpr std::size_t kMaxSlabs = 128;
constexpr std::size_t kScenarioMax = 256 * 1024;

struct GpioPinState {
  std::uint8_t present;
  std::uint8_t claimed;
  std::uint8_t output;
  std::uint8_t out_level;
  std::uint8_t in_level;
  std::uint8_t foreign;  // held by another holder named in the scenario
  std::int32_t owner_pid;
  std::uint64_t owner;  // open file that claimed it
  char label[32];
};

struct SlabEntry {
  char key[56];
  std::uint32_t offset;
  std::uint32_t size;
};

struct SharedState {
  std::uint64_t magic;
  pthread_mutex_t mutex;
  std::atomic<std::uint64_t> generation;  // bumped whenever the scenario is replaced
  std::uint64_t seq;                      // last trace record number
  std::uint64_t start_ns;                 // CLOCK_MONOTONIC at the start of the run
  ClockState clock;                       // the run's clock, which starts at start_ns
  JumpTable jumps;                        // its waits, when it jumps (--speed max)
  std::uint64_t next_owner;
  std::uint64_t built_generation;  // generation whose shared parts are initialised
  GpioPinState pins[kMaxPins];
  std::uint32_t slab_count;
  std::uint32_t slab_used;
  SlabEntry slabs[kMaxSlabs];
  alignas(16) std::uint8_t slab[kSlabSize];
  char base_dir[1024];  // directory of the scenario file: relative paths in it start there
  std::uint32_t scenario_len;
  char scenario[kScenarioMax];
};

constexpr std::uint64_t kShmMagic = 0x7473696d53484d31ULL;  // "tsimSHM1"

// Creates (truncates) the state file at `path` and initialises it. Returns the mapping or null.
SharedState *shm_create_file(const std::string &path);
// Maps an existing state file. Null on failure.
SharedState *shm_attach_file(const std::string &path);
// A mapping shared only with this process's children (no launcher around).
SharedState *shm_anonymous();
// Replaces the scenario text and empties the per-scenario areas; caller holds the lock.
bool shm_set_scenario(SharedState &s, std::string_view text);

// The wall clock's CLOCK_MONOTONIC; the run's own time is Board::now_us().
std::uint64_t monotonic_ns();
// The run's CLOCK_MONOTONIC, as the program reads it.
std::uint64_t sim_monotonic_ns(const SharedState &s);

// Takes the shared mutex, recovering it when its holder died.
void shm_lock(SharedState &s);
void shm_unlock(SharedState &s);

}  // namespace tsim

namespace tsim {
// Reads a whole file without going through the interposed entry points. False with errno set on
// failure: EFBIG for a file of more than `max` bytes (/dev/zero, say).
bool read_file_raw(const std::string &path, std::string *out, std::size_t max);
}  // namespace tsim
