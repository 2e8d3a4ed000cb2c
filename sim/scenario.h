// Scenario text: parsing, merging with the built-in board, and typed access with clear errors.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

namespace tsim {

struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The built-in board (standard Tarsa4), as TOML text.
std::string_view builtin_scenario();

// Parses `text` (named `origin` in messages); "" gives the built-in board. A scenario with
// `extends = "builtin"` is laid over the built-in one. Throws ScenarioError.
toml::table parse_scenario(std::string_view text, const std::string &origin);

namespace scenario {

ScenarioError error(const toml::node &where, const std::string &what);
const toml::table &as_table(const toml::node &n, const char *what);
std::int64_t int_value(const toml::node &n, const char *what, std::int64_t lo, std::int64_t hi);
std::string string_value(const toml::node &n, const char *what);
std::int64_t get_int(const toml::table &t, const char *key, std::int64_t def, std::int64_t lo,
                     std::int64_t hi, bool required = false);
std::string get_string(const toml::table &t, const char *key, const std::string &def, bool required = false);
bool get_bool(const toml::table &t, const char *key, bool def);
// errno given by name ("EIO") or number.
int get_errno(const toml::table &t, const char *key, int def);
// A list of pins: numbers, or [first, last] pairs for ranges.
std::vector<int> pin_list(const toml::table &t, const char *key);

}  // namespace scenario
}  // namespace tsim
