// A device model's entry in a scenario: its name, its instance, and the keys it declared with
// their values as the scenario gave them; and where in the scenario something was written.
#pragma once

#include <climits>
#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace tsim
