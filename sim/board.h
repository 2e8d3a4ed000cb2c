// The simulated board as models see it: GPIO controller, clock, seed, the scenario's records and
// the node table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "registry.h"
#include "scenario.h"

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

struct NodeInfo {
  NodeKind kind = NodeKind::none;
  std::string path;
  unsigned mode = 0660;  // permission bits
  unsigned uid = 0, gid = 0;
  bool dir = false;  // a directory (sysfs), else a character device or attribute file
  std::string text;  // attr: the file's contents
  int adapter = -1;  // i2c: adapter number
  // Whether the node is there at `now_us`, asked on every lookup: a device that shows up once
  // powered, a PWM channel while exported, a node a fault removes. Null: always.
  std::function<bool(std::uint64_t now_us)> present;
};

// The models behind a serial node: its device model, and scripted replies on any port.
struct SerialDevice {
  std::vector<std::unique_ptr<SerialModel>> models;  // the node's model first
  SerialScript *script = nullptr;                    // one of them
};

class Board {
 public:
  // Builds the board from a scenario's records (already laid over the built-in board when it
  // says `extends = "builtin"`). `fresh`: this is the first board of the scenario in the run, so
  // its shared parts (GPIO pins) start from it. Throws ScenarioError or std::runtime_error with
  // a readable message.
  Board(Scenario scenario, SharedState &shm, bool fresh);
  ~Board();
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  GpioController &gpio() { return *gpio_; }
  // Microseconds on the monotonic clock since the simulator started.
  std::uint64_t now_us() const;
  // Seed for any noise a model adds, from the scenario's `seed` (default 1).
  std::uint64_t seed() const { return scenario_.seed; }
  const Scenario &scenario() const { return scenario_; }

  // A block of `size` bytes shared by every process of the run, found by `key`. `*created` is
  // set when the block was made by this call (zero-filled; the caller initialises it). Stays
  // valid until the scenario is replaced. Throws when the shared area is full.
  std::span<std::uint8_t> shared_bytes(const std::string &key, std::size_t size, bool *created);

  // The node at `path` as the program names it; null when the board has none there now.
  const NodeInfo *node(const std::string &path) const;
  I2cAdapter *adapter(int number);
  SerialDevice *serial(const std::string &path);
  // The video node at `path`, and the model behind it.
  VideoNode *video_node(const std::string &path);
  VideoModel *video(const std::string &path);
  SysfsModel *pwm() { return pwm_.get(); }

  // A path named in the scenario: relative ones are taken from the scenario file's directory.
  std::string scenario_path(const std::string &p) const;

  SharedState &shm() { return shm_; }

 private:
  // One step per node kind.
  void add_i2c();
  void add_gpio();
  void add_serial();
  void add_pwm();
  void add_video();
  void apply_modes();
  void add_faults();
  NodeInfo &add_node(NodeKind kind, const std::string &path, unsigned mode, unsigned gid);

  Scenario scenario_;
  SharedState &shm_;
  bool fresh_;
  std::unique_ptr<GpioController> gpio_;
  std::map<std::string, NodeInfo> nodes_;
  std::map<int, std::unique_ptr<I2cAdapter>> adapters_;
  std::map<std::string, SerialDevice> serial_;
  std::map<std::string, std::unique_ptr<VideoNode>> video_;
  std::unique_ptr<SysfsModel> pwm_;
};

}  // namespace tsim
