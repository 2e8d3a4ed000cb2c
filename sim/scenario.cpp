// Scenario parsing and typed access.
#include "scenario.h"

#include <cerrno>
#include <sstream>

#include "shm.h"

namespace tsim {

namespace {

const char kBuiltin[] = {
#include "builtin_scenario.inc"
    0
};

// Arrays of tables are appended, tables merged, everything else replaced.
// Nodes are moved, not copied, so they keep their line numbers for messages.
void merge(toml::table &base, toml::table &over) {
  for (auto &&[k, v] : over) {
    auto *existing = base.get(k);
    if (existing && existing->is_table() && v.is_table()) {
      merge(*existing->as_table(), *v.as_table());
    } else if (existing && existing->is_array_of_tables() && v.is_array_of_tables()) {
      for (auto &e : *v.as_array()) existing->as_array()->push_back(std::move(*e.as_table()));
    } else if (v.is_table()) {
      base.insert_or_assign(k, std::move(*v.as_table()));
    } else if (v.is_array()) {
      base.insert_or_assign(k, std::move(*v.as_array()));
    } else {
      base.insert_or_assign(k, v);
    }
  }
}

toml::table parse_one(std::string_view text, const std::string &origin) {
  try {
    return toml::parse(text, origin);
  } catch (const toml::parse_error &e) {
    std::ostringstream os;
    os << origin << ":" << e.source().begin.line << ":" << e.source().begin.column << ": " << e.description();
    throw ScenarioError(os.str());
  }
}

}  // namespace

std::string_view builtin_scenario() { return {kBuiltin, sizeof kBuiltin - 1}; }

toml::table parse_scenario(std::string_view text, const std::string &origin) {
  if (text.empty()) return parse_one(builtin_scenario(), "builtin");
  toml::table t = parse_one(text, origin);
  if (auto ext = t["extends"].value<std::string>()) {
    if (*ext != "builtin") throw scenario::error(*t.get("extends"), "extends: only \"builtin\" is known");
    toml::table base = parse_one(builtin_scenario(), "builtin");
    t.erase("extends");
    merge(base, t);
    return base;
  }
  return t;
}

namespace scenario {

ScenarioError error(const toml::node &where, const std::string &what) {
  std::ostringstream os;
  const auto &src = where.source();
  if (src.path) os << *src.path << ":";
  os << src.begin.line << ":" << src.begin.column << ": " << what;
  return ScenarioError(os.str());
}

const toml::table &as_table(const toml::node &n, const char *what) {
  if (!n.is_table()) throw error(n, std::string(what) + ": expected a table");
  return *n.as_table();
}

std::int64_t int_value(const toml::node &n, const char *what, std::int64_t lo, std::int64_t hi) {
  auto v = n.value<std::int64_t>();
  if (!v || !n.is_integer()) throw error(n, std::string(what) + ": expected an integer");
  if (*v < lo || *v > hi)
    throw error(n, std::string(what) + ": " + std::to_string(*v) + " out of range [" + std::to_string(lo) +
                       ", " + std::to_string(hi) + "]");
  return *v;
}

std::string string_value(const toml::node &n, const char *what) {
  if (!n.is_string()) throw error(n, std::string(what) + ": expected a string");
  return std::string(*n.value<std::string>());
}

std::int64_t get_int(const toml::table &t, const char *key, std::int64_t def, std::int64_t lo, std::int64_t hi,
                     bool required) {
  const toml::node *n = t.get(key);
  if (!n) {
    if (required) throw error(t, std::string("missing key \"") + key + "\"");
    return def;
  }
  return int_value(*n, key, lo, hi);
}

std::string get_string(const toml::table &t, const char *key, const std::string &def, bool required) {
  const toml::node *n = t.get(key);
  if (!n) {
    if (required) throw error(t, std::string("missing key \"") + key + "\"");
    return def;
  }
  return string_value(*n, key);
}

bool get_bool(const toml::table &t, const char *key, bool def) {
  const toml::node *n = t.get(key);
  if (!n) return def;
  if (!n->is_boolean()) throw error(*n, std::string(key) + ": expected true or false");
  return *n->value<bool>();
}

int get_errno(const toml::table &t, const char *key, int def) {
  const toml::node *n = t.get(key);
  if (!n) return def;
  if (n->is_integer()) return static_cast<int>(int_value(*n, key, 1, 4095));
  static const std::pair<const char *, int> names[] = {
      {"EIO", EIO},         {"ENXIO", ENXIO},         {"EREMOTEIO", EREMOTEIO}, {"ETIMEDOUT", ETIMEDOUT},
      {"EAGAIN", EAGAIN},   {"EBUSY", EBUSY},         {"EINVAL", EINVAL},       {"ENODEV", ENODEV},
      {"EPROTO", EPROTO},   {"EOPNOTSUPP", EOPNOTSUPP}, {"EPERM", EPERM},       {"EACCES", EACCES},
      {"ENOENT", ENOENT},   {"EINTR", EINTR},         {"ENOMEM", ENOMEM},       {"EFAULT", EFAULT}};
  std::string s = string_value(*n, key);
  for (auto &[name, v] : names)
    if (s == name) return v;
  throw error(*n, std::string(key) + ": unknown errno name \"" + s + "\"");
}

std::vector<int> pin_list(const toml::table &t, const char *key) {
  std::vector<int> out;
  const toml::node *n = t.get(key);
  if (!n) return out;
  auto *arr = n->as_array();
  if (!arr) throw error(*n, std::string(key) + ": expected a list of pins");
  for (auto &e : *arr) {
    if (auto *range = e.as_array()) {
      if (range->size() != 2) throw error(e, std::string(key) + ": a range is [first, last]");
      int a = static_cast<int>(int_value(*range->get(0), key, 0, kMaxPins - 1));
      int b = static_cast<int>(int_value(*range->get(1), key, a, kMaxPins - 1));
      for (int p = a; p <= b; ++p) out.push_back(p);
    } else {
      out.push_back(static_cast<int>(int_value(e, key, 0, kMaxPins - 1)));
    }
  }
  return out;
}

}  // namespace scenario
}  // namespace tsim
