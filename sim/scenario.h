// Scenario files, read once into typed records: every default is written here, and a refusal
// names the file, line and column of what it refuses and the rule it broke.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "shm.h"
#include "world.h"

namespace tsim {

struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where something was written in a scenario; messages start with "file:line:column: ".
struct Where {
  std::string file;
  std::uint32_t line = 0, column = 0;
};
ScenarioError error(const Where &at, const std::string &what);

// Largest scenario and dump files, and the deepest nesting of tables, arrays and dotted keys.
constexpr std::size_t kScenarioFileMax = kScenarioMax - 1;  // fits the run's shared state
constexpr std::size_t kDumpFileMax = 64 * 1024;
constexpr int kNestingMax = 32;

// Node classes the simulator can put at a path.
// `attr`: a read-only sysfs file of fixed text that describes another node.
enum class NodeKind { none, i2c, gpio, serial, pwm, video, attr };

// One key that a device model accepts in its scenario entry. Integer and number values, and the
// values of a register table, must lie in [lo, hi].
struct Key {
  enum class Type { integer, number, boolean, string, registers };
  const char *name;
  Type type;
  std::int64_t lo = INT64_MIN, hi = INT64_MAX;
};

// A model's keys as its scenario entry gave them, checked against what the model declared.
// Reading a key the model did not declare (or as another type) is a programming error and
// throws std::logic_error.
class Params {
 public:
  // One entry of a `registers` table: `"0x10" = 0x42`.
  struct Register {
    std::uint32_t number;
    std::int64_t value;
    Where where;
  };

  std::int64_t integer(std::string_view key, std::int64_t def) const;
  double number(std::string_view key, double def) const;
  bool boolean(std::string_view key, bool def) const;
  std::string string(std::string_view key, const std::string &def) const;
  std::vector<Register> registers(std::string_view key) const;
  // Whether the entry gives the key.
  bool has(std::string_view key) const { return values_.count(key) != 0; }
  // Where the key's value was written, or the entry when the key was not given.
  Where where(std::string_view key) const;

 private:
  friend class EntryReader;
  struct Value {
    std::int64_t integer = 0;
    double number = 0;
    bool boolean = false;
    std::string text;
    std::vector<Register> registers;
    Where where;
  };
  const Value *find(std::string_view key, Key::Type type) const;

  std::span<const Key> keys_;
  std::map<std::string, Value, std::less<>> values_;
  Where entry_;
};

// A device model placed on the board: an I2C slave, or the model of a serial or video node.
struct ModelEntry {
  std::string model;  // its name in the model registry
  std::string id;     // names this instance: "2:31" (adapter 2, address 0x1F) or the node path
  Params params;
  Where where;
};

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
};

// A serial or video node and the model behind it.
struct DeviceRecord {
  std::string node;
  ModelEntry entry;
};

// When `expect` has arrived on `node`, send `reply` after `delay_ms`.
struct ScriptRule {
  std::string node = "/dev/ttyO0";
  std::string expect, reply;
  unsigned delay_ms = 0;
  bool once = false;
};

struct SerialRecord {
  std::vector<DeviceRecord> devices;
  std::vector<ScriptRule> scripts;
};

struct PwmRecord {
  static constexpr int kMaxChannels = 16;
  std::string chip = "/sys/class/pwm/pwmchip0";
  int npwm = 2;
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
  Pose start;  // heading in radians
  std::vector<Wall> walls = default_room();
  std::vector<Landmark> landmarks;
  int ambient = 3000;
};

struct Scenario {
  std::uint64_t seed = 1;
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
