// A device model's entry in a scenario: its name, its instance, and the keys it declared with
// their values as the scenario gave them; and where in the scenario something was written.
#pragma once

#include <climits>
#include <concepts>
#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
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
// values of a register table, must lie in [lo, hi]. `def` is the value when the entry leaves the
// key out (Params reads it from here), `doc` what the key means, in one line; both show in
// `tarsa-sim --list-keys`. Keys of numbers and integers are written positionally, others with
// designators:
//   Key{"rate_hz", Key::Type::integer, 1, 50, 10, "records a second"}
//   Key{.name = "silent", .type = Key::Type::boolean, .def = false, .doc = "never answers"}
struct Key {
  enum class Type { integer, number, boolean, string, registers };
  // A default of any type; `none` for a key declared without one (its reader gives it).
  struct Default {
    enum class Kind { none, integer, number, boolean, string };
    Kind kind = Kind::none;
    std::int64_t integer = 0;
    double number = 0;  // an integer default too, for a number key
    bool boolean = false;
    const char *text = "";

    constexpr Default() = default;
    template <std::integral T>
    requires(!std::same_as<T, bool>) constexpr Default(T v)
        : kind(Kind::integer),
          integer(static_cast<std::int64_t>(v)),
          number(static_cast<double>(v)) {}
    constexpr Default(double v) : kind(Kind::number), number(v) {}
    constexpr Default(bool v) : kind(Kind::boolean), boolean(v) {}
    constexpr Default(const char *v) : kind(Kind::string), text(v) {}
  };

  const char *name;
  Type type;
  std::int64_t lo = INT64_MIN, hi = INT64_MAX;
  Default def{};
  const char *doc = "";
};

// The name of a key's type, as the reference lists it: "integer", "number", ...
const char *type_name(Key::Type type);

// Whether `k`'s default fits its type and range (a key without a default passes): checked for
// every model when it registers.
constexpr bool default_fits(const Key &k) {
  using K = Key::Default::Kind;
  switch (k.def.kind) {
    case K::none:
      return true;
    case K::integer:
      if (k.type != Key::Type::integer && k.type != Key::Type::number) return false;
      return k.def.integer >= k.lo && k.def.integer <= k.hi;
    case K::number:
      return k.type == Key::Type::number && k.def.number >= static_cast<double>(k.lo) &&
             k.def.number <= static_cast<double>(k.hi);
    case K::boolean:
      return k.type == Key::Type::boolean;
    case K::string:
      return k.type == Key::Type::string;
  }
  return false;
}

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

  // The key's value, or the default its declaration gives (a key declared without one is a
  // programming error here).
  std::int64_t integer(std::string_view key) const;
  double number(std::string_view key) const;
  bool boolean(std::string_view key) const;
  std::string string(std::string_view key) const;
  // For a key declared without a default: the value, or `def`. A key whose declaration gives a
  // default is read without one (the default lives in one place).
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
  // The declared key (std::logic_error when there is none of that name and type) and its value.
  std::pair<const Key *, const Value *> find(std::string_view key, Key::Type type) const;
  const Value *find(std::string_view key, Key::Type type, bool with_default) const;

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
