// The simulated board as models see it: GPIO controller, clock, seed and the scenario.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "i2c_slave.h"

namespace tsim {

struct SharedState;

// GPIO controller. Claims, directions and levels live in memory shared by every process of one
// simulator run; output callbacks belong to the process that registered them.
class GpioController {
 public:
  explicit GpioController(SharedState &shm);

  // Level of a present pin (output value, or input level), -1 for a pin that is not present.
  int level(int pin);
  // The level an input pin reads (what the outside world drives on it).
  void set_input(int pin, int level);
  // Called with the new level every time the program writes an output level on `pin`
  // (direction-out and set requests), on the calling thread, under the simulator lock.
  void on_output(int pin, std::function<void(int level)> fn);

  // Requests of the device node; each returns 0 or an errno value.
  int request(int pin, const char *label, std::uint64_t owner);
  int free(int pin);
  int dir_in(int pin);
  int dir_out(int pin, int value);
  int get(int pin, int *value);
  int set(int pin, int value);
  // Releases every claim made through the open file `owner` (its last close).
  void release_owner(std::uint64_t owner);

  bool present(int pin);

 private:
  void notify(int pin, int value);
  SharedState &shm_;
  std::map<int, std::vector<std::function<void(int)>>> callbacks_;
};

class I2cAdapter;
struct Fault;

// Node classes the simulator can put at a path.
enum class NodeKind { none, i2c, gpio, serial, pwm, video };

struct NodeInfo {
  NodeKind kind = NodeKind::none;
  std::string path;
  unsigned mode = 0660;  // permission bits
  unsigned uid = 0, gid = 0;
  int adapter = -1;      // i2c: adapter number
};

class Board {
 public:
  // Builds the board from a parsed scenario (already merged with the built-in one when it
  // says `extends = "builtin"`). Throws std::runtime_error with a readable message. Taken by
  // value and moved in: copies of TOML nodes lose the line numbers that messages quote.
  Board(toml::table scenario, SharedState &shm, bool fresh);
  ~Board();
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  GpioController &gpio() { return *gpio_; }
  // Microseconds on the monotonic clock since the simulator started.
  std::uint64_t now_us() const;
  // Seed for any noise a model adds, from the scenario's `seed` (default 1).
  std::uint64_t seed() const { return seed_; }
  // The whole scenario, so a model can read its own tables (e.g. [world]).
  const toml::table &scenario() const { return scenario_; }

  // A block of `size` bytes shared by every process of the run, found by `key`. `*created` is
  // set when the block was made by this call (zero-filled; the caller initialises it). Stays
  // valid until the scenario is replaced. Throws when the shared area is full.
  std::span<std::uint8_t> shared_bytes(const std::string &key, std::size_t size, bool *created);

  // Node lookup by path as the program names it; kind none when the board has no such node.
  const NodeInfo *node(const std::string &path) const;
  const std::map<std::string, NodeInfo> &nodes() const { return nodes_; }
  I2cAdapter *adapter(int number);

  // A path named in the scenario: relative ones are taken from the scenario file's directory.
  std::string scenario_path(const std::string &p) const;

  SharedState &shm() { return shm_; }
  const toml::table *table(const char *key) const;

 private:
  void build();
  toml::table scenario_;
  SharedState &shm_;
  bool fresh_;
  std::uint64_t seed_ = 1;
  std::unique_ptr<GpioController> gpio_;
  std::map<int, std::unique_ptr<I2cAdapter>> adapters_;
  std::map<std::string, NodeInfo> nodes_;
};

}  // namespace tsim
