// Scenario files, read once into typed records: every default is written here, and a refusal
// names the file, line and column of what it refuses and the rule it broke.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "floor_plan.h"
#include "model_entry.h"
#include "serial_model.h"
#include "shm.h"

namespace tsim {

// Largest scenario and dump files, and the deepest nesting of tables, arrays and dotted keys.
constexpr std::size_t kScenarioFileMax = kScenarioMax - 1;  // fits the run's shared state
constexpr std::size_t kDumpFileMax = 64 * 1024;
constexpr int kNestingMax = 32;

struct AdapterRecord {
  int number = 0;
  std::string node;  // default /dev/i2c-<number>
  std::vector<int> busy;
  Where where;
};

struct SlaveRecord {
  int adapter = 2;
  int addr = 0;
  ModelEntry entry;
};

struct GpioRecord {
  std::string node = "/dev/user-gpio";
  std::vector<int> pins, high, held;
  Where where;
  bool has(int pin) const;  // whether the board has that pin
};

// A serial or video node and the model behind it.
struct DeviceRecord {
  std::string node;
  ModelEntry entry;
};

struct SerialRecord {
  std::vector<DeviceRecord> devices;
  std::vector<ScriptRule> scripts;
};

// The sysfs PWM chip: its model (model = "pwm") and that model's keys.
struct PwmRecord {
  ModelEntry entry;
};

struct VideoRecord {
  std::vector<DeviceRecord> devices;
};

// Permissions of one node, where the scenario changes them.
struct NodeModeRecord {
  std::string path;
  std::optional<unsigned> mode, uid, gid;
  Where where;
};

// An injected I2C fault at one address.
struct Fault {
  enum class Kind { nack, error } kind = Kind::nack;
  int addr = -1;
  std::uint64_t after = 0;    // nack: transfers that still succeed
  std::uint64_t from_us = 0;  // nack: from this time on, when `timed`
  bool timed = false;
  std::uint64_t nth = 1;    // error: first failing transfer (1-based)
  std::uint64_t count = 1;  // error: how many transfers fail from there
  int err = 5;              // error: errno value (EIO)
};

struct FaultRecord {
  bool missing = false;  // a node that is not there (`node`); else an I2C fault
  std::string node;
  int adapter = 2;
  Fault i2c;
  Where where;
};

struct WorldRecord {
  Pose start;         // heading in radians
  Where start_where;  // where the scenario gives it: [world]'s x, else its y, else the table
  std::vector<Wall> walls = default_room();
  std::vector<Box> boxes;  // the obstacles, whose sides are among `walls` too
  std::vector<Landmark> landmarks;
  int ambient = 3000;
};

struct Scenario {
  std::uint64_t seed = 1;
  double speed = 1;                     // [sim] speed: the run's clock against the wall clock
  std::vector<AdapterRecord> adapters;  // one per number: a later entry replaces an earlier one
  std::vector<SlaveRecord> slaves;      // one per adapter and address, likewise
  std::optional<GpioRecord> gpio;
  std::optional<SerialRecord> serial;  // one device per node, likewise
  std::optional<PwmRecord> pwm;
  std::optional<VideoRecord> video;  // one device per node, likewise
  std::vector<NodeModeRecord> modes;
  std::vector<FaultRecord> faults;
  WorldRecord world;
};

// The built-in board (standard Tarsa4), as TOML text.
std::string_view builtin_scenario();

// Reads scenario `text` (named `origin` in messages); "" gives the built-in board. A scenario
// with `extends = "builtin"` is laid over the built-in one. Throws ScenarioError.
Scenario parse_scenario(std::string_view text, const std::string &origin);

// Reads the scenario file at `path` into `text`, refusing one larger than kScenarioFileMax.
// Throws ScenarioError.
void read_scenario_file(const std::string &path, std::string *text);

}  // namespace tsim
