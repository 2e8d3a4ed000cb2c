// Scenario reading: size and nesting limits, TOML parsing, the built-in board underneath, and
// every table read into its record with unknown keys refused.
#include "scenario.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numbers>
#include <set>
#include <sstream>

#include "registry.h"
#include "shm.h"

namespace tsim {

namespace {

const char kBuiltin[] = {
#include "builtin_scenario.inc"
    0};

Where where_of(const toml::source_region &src) {
  Where w;
  if (src.path) w.file = *src.path;
  w.line = src.begin.line;
  w.column = src.begin.column;
  return w;
}
Where where_of(const toml::node &n) {
  return where_of(n.source());
}
Where where_of(const toml::key &k) {
  return where_of(k.source());
}

ScenarioError at(const toml::node &n, const std::string &what) {
  return error(where_of(n), what);
}

std::string quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

std::string range(std::int64_t lo, std::int64_t hi) {
  return " out of range [" + std::to_string(lo) + ", " + std::to_string(hi) + "]";
}

// ---- before the parser ------------------------------------------------------------------------

// Skips the string that starts at text[i] (a quote), keeping line and column; returns the index
// of its last character.
std::size_t skip_string(std::string_view text, std::size_t i, std::uint32_t &line,
                        std::uint32_t &col) {
  const char q = text[i];
  const bool multi = text.substr(i, 3) == std::string(3, q);
  if (multi) {
    i += 2;
    col += 2;
  }
  for (++i; i < text.size(); ++i) {
    const char c = text[i];
    ++col;
    if (c == '\n') {
      if (!multi) return i - 1;  // unterminated: the parser says so
      ++line;
      col = 0;
    } else if (c == '\\' && q == '"' && i + 1 < text.size() && text[i + 1] != '\n') {
      ++i;
      ++col;
    } else if (c == q && (!multi || text.substr(i, 3) == std::string(3, q))) {
      if (!multi) return i;
      i += 2;
      col += 2;
      // A closing delimiter may follow up to two quotes of the content.
      for (int k = 0; k < 2 && i + 1 < text.size() && text[i + 1] == q; ++k, ++i, ++col) {
      }
      return i;
    }
  }
  return text.size() - 1;
}

// Refuses text whose tables, arrays and dotted keys nest deeper than kNestingMax. The parser
// recurses once per level: a few kilobytes of "a.a.a..." or "[[[[..." would exhaust its stack.
class NestingCheck {
 public:
  NestingCheck(std::string_view text, const std::string &origin) : text_(text), origin_(origin) {}

  void run() {
    for (i_ = 0; i_ < text_.size(); ++i_) {
      const char c = text_[i_];
      ++col_;
      if (c == '\n') {
        ++line_;
        col_ = 0;
        if (open_.empty()) state_ = State::key_next, key_ = 0;
        continue;
      }
      if (c == '#') {
        while (i_ + 1 < text_.size() && text_[i_ + 1] != '\n') ++i_;
        continue;
      }
      if (c == ' ' || c == '\t' || c == '\r') continue;
      if (state_ == State::key_next && start(c)) continue;
      if (c == '"' || c == '\'') {
        i_ = skip_string(text_, i_, line_, col_);
        if (state_ == State::value) key_parts_ = 0;
        continue;
      }
      step(c);
    }
  }

 private:
  enum class State { key_next, key, header, value };
  struct Open {
    char kind;
    int weight;  // the container, and the parts of the key it is the value of
  };

  void check() const {
    if (header_ + nested_ + key_ > kNestingMax)
      throw error(Where{origin_, line_, col_},
                  "nesting deeper than " + std::to_string(kNestingMax) + " levels");
  }

  // Where a key may start: a table header (taken whole here), a key, or the end of an inline
  // table. True when `c` is taken.
  bool start(char c) {
    if (c == '[' && open_.empty()) {
      state_ = State::header;
      header_ = 1;
      if (i_ + 1 < text_.size() && text_[i_ + 1] == '[') ++i_, ++col_;
      return true;
    }
    if (c == '}') {
      state_ = State::value;
    } else {
      state_ = State::key;
      key_ = 1;
      check();
    }
    return false;
  }

  void step(char c) {
    switch (state_) {
      case State::header:
        if (c == '.') ++header_, check();
        if (c == ']') state_ = State::value;
        break;
      case State::key:
        if (c == '.') ++key_, check();
        if (c == '=') key_parts_ = key_, key_ = 0, state_ = State::value;
        break;
      case State::value:
        value(c);
        break;
      case State::key_next:
        break;
    }
  }

  void value(char c) {
    if (c == '[' || c == '{') {
      open_.push_back({c == '[' ? ']' : '}', 1 + key_parts_});
      nested_ += open_.back().weight;
      check();
      if (c == '{') state_ = State::key_next;
    } else if ((c == ']' || c == '}') && !open_.empty()) {
      nested_ -= open_.back().weight;
      open_.pop_back();
    } else if (c == ',' && !open_.empty() && open_.back().kind == '}') {
      state_ = State::key_next;
    }
    key_parts_ = 0;
  }

  std::string_view text_;
  const std::string &origin_;
  std::size_t i_ = 0;
  std::vector<Open> open_;
  State state_ = State::key_next;
  int header_ = 0, key_ = 0, key_parts_ = 0, nested_ = 0;
  std::uint32_t line_ = 1, col_ = 0;
};

void check_nesting(std::string_view text, const std::string &origin) {
  NestingCheck(text, origin).run();
}

toml::table parse_one(std::string_view text, const std::string &origin) {
  if (text.size() > kScenarioFileMax)
    throw error(Where{origin, 1, 1},
                "scenario larger than " + std::to_string(kScenarioFileMax) + " bytes");
  check_nesting(text, origin);
  try {
    return toml::parse(text, origin);
  } catch (const toml::parse_error &e) {
    // The parser quotes what it saw, control characters included: the message stays one line.
    std::string what;
    for (unsigned char c : e.description()) {
      if (c >= 0x20 && c != 0x7f) {
        what += static_cast<char>(c);
      } else {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02x", c);
        what += esc;
      }
    }
    throw error(where_of(e.source()), what);
  }
}

// Arrays of tables are appended, tables merged, everything else replaced. Nodes are moved, not
// copied: only the originals know where they were written.
void merge(toml::table &base, toml::table &over) {
  for (auto &&[k, v] : over) {
    auto *existing = base.get(k);
    if (existing && existing->is_table() && v.is_table()) {
      merge(*existing->as_table(), *v.as_table());
    } else if (existing && existing->is_array_of_tables() && v.is_array_of_tables()) {
      for (auto &e : *v.as_array()) existing->as_array()->push_back(std::move(*e.as_table()));
    } else {
      base.insert_or_assign(k, std::move(v));
    }
  }
}

// ---- values -------------------------------------------------------------------------------------

std::int64_t int_value(const toml::node &n, std::string_view what, std::int64_t lo,
                       std::int64_t hi) {
  const auto *v = n.as_integer();
  if (!v) throw at(n, std::string(what) + ": expected an integer");
  const std::int64_t x = v->get();
  if (x < lo || x > hi) throw at(n, std::string(what) + ": " + std::to_string(x) + range(lo, hi));
  return x;
}

double number_value(const toml::node &n, std::string_view what, std::int64_t lo, std::int64_t hi) {
  double x = 0;
  if (const auto *i = n.as_integer())
    x = static_cast<double>(i->get());
  else if (const auto *f = n.as_floating_point())
    x = f->get();
  else
    throw at(n, std::string(what) + ": expected a number");
  if (!std::isfinite(x) || x < static_cast<double>(lo) || x > static_cast<double>(hi)) {
    std::ostringstream os;
    os << what << ": " << x << range(lo, hi);
    throw at(n, os.str());
  }
  return x;
}

std::string string_value(const toml::node &n, std::string_view what) {
  const auto *s = n.as_string();
  if (!s) throw at(n, std::string(what) + ": expected a string");
  return s->get();
}

bool bool_value(const toml::node &n, std::string_view what) {
  const auto *b = n.as_boolean();
  if (!b) throw at(n, std::string(what) + ": expected true or false");
  return b->get();
}

const toml::array &array_value(const toml::node &n, std::string_view what, const char *of) {
  const auto *a = n.as_array();
  if (!a) throw at(n, std::string(what) + ": expected a list of " + of);
  return *a;
}

// errno given by name ("EIO") or number.
int errno_value(const toml::node &n, std::string_view what) {
  if (n.is_integer()) return static_cast<int>(int_value(n, what, 1, 4095));
  static constexpr std::pair<const char *, int> kNames[] = {{"EIO", EIO},
                                                            {"ENXIO", ENXIO},
                                                            {"EREMOTEIO", EREMOTEIO},
                                                            {"ETIMEDOUT", ETIMEDOUT},
                                                            {"EAGAIN", EAGAIN},
                                                            {"EBUSY", EBUSY},
                                                            {"EINVAL", EINVAL},
                                                            {"ENODEV", ENODEV},
                                                            {"EPROTO", EPROTO},
                                                            {"EOPNOTSUPP", EOPNOTSUPP},
                                                            {"EPERM", EPERM},
                                                            {"EACCES", EACCES},
                                                            {"ENOENT", ENOENT},
                                                            {"EINTR", EINTR},
                                                            {"ENOMEM", ENOMEM},
                                                            {"EFAULT", EFAULT}};
  const std::string s = string_value(n, what);
  for (const auto &[name, v] : kNames)
    if (s == name) return v;
  throw at(n, std::string(what) + ": unknown errno name " + quoted(s));
}

// A list of pins: numbers, or [first, last] pairs for ranges.
std::vector<int> pin_list(const toml::node &n, std::string_view what) {
  std::vector<int> out;
  for (const auto &e : array_value(n, what, "pins")) {
    if (const auto *r = e.as_array()) {
      if (r->size() != 2) throw at(e, std::string(what) + ": a range is [first, last]");
      const auto a = int_value(*r->get(0), what, 0, kMaxPins - 1);
      const auto b = int_value(*r->get(1), what, a, kMaxPins - 1);
      for (auto p = a; p <= b; ++p) out.push_back(static_cast<int>(p));
    } else {
      out.push_back(static_cast<int>(int_value(e, what, 0, kMaxPins - 1)));
    }
  }
  return out;
}

// A table of the scenario being read: each key is taken by its reader, and done() refuses the
// keys nobody took.
class Table {
 public:
  Table(const toml::node &n, std::string what) : what_(std::move(what)) {
    if (!n.is_table()) throw at(n, what_ + ": expected a table");
    t_ = n.as_table();
  }
  Where where() const { return where_of(*t_); }
  const std::string &what() const { return what_; }

  const toml::node *take(std::string_view key) {
    taken_.emplace(key);
    return t_->get(key);
  }
  // The value of `key` without taking it.
  const toml::node *peek(std::string_view key) const { return t_->get(key); }
  const toml::node &need(std::string_view key) {
    const toml::node *n = take(key);
    if (!n) throw error(where(), "missing key " + quoted(key));
    return *n;
  }
  std::int64_t integer(std::string_view key, std::int64_t def, std::int64_t lo, std::int64_t hi) {
    const toml::node *n = take(key);
    return n ? int_value(*n, key, lo, hi) : def;
  }
  double number(std::string_view key, double def, std::int64_t lo, std::int64_t hi) {
    const toml::node *n = take(key);
    return n ? number_value(*n, key, lo, hi) : def;
  }
  std::string string(std::string_view key, const std::string &def) {
    const toml::node *n = take(key);
    return n ? string_value(*n, key) : def;
  }
  bool boolean(std::string_view key, bool def) {
    const toml::node *n = take(key);
    return n ? bool_value(*n, key) : def;
  }
  void done() const {
    for (auto it = t_->begin(); it != t_->end(); ++it)
      if (!taken_.count(it->first.str()))
        throw error(where_of(it->first), what_ + ": unknown key " + quoted(it->first.str()));
  }

 private:
  const toml::table *t_;
  std::string what_;
  std::set<std::string, std::less<>> taken_;
};

// Calls `read` for each table of the list `n` ([[what]]), then refuses what it left.
template <class F>
void each_table(const toml::node *n, const std::string &what, F &&read) {
  if (!n) return;
  for (const auto &e : array_value(*n, what, "tables")) {
    Table t(e, what);
    read(t);
    t.done();
  }
}

// Reads the section `key` of `parent` into `out` with `read`, when the scenario has it.
template <class T, class F>
void section(Table &parent, const char *key, std::optional<T> &out, F &&read) {
  const toml::node *n = parent.take(key);
  if (!n) return;
  Table t(*n, key);
  out.emplace();
  read(t, *out);
  t.done();
}

// Adds `item`, or replaces the earlier entry of the same place.
template <class T, class Same>
void add_or_replace(std::vector<T> &list, T item, Same same) {
  auto it = std::find_if(list.begin(), list.end(), [&](const T &x) { return same(x, item); });
  if (it == list.end())
    list.push_back(std::move(item));
  else
    *it = std::move(item);
}

// ---- node paths ---------------------------------------------------------------------------------

// The kind of node a device path names by the kernel's naming, or none for a name of no kind.
NodeKind kind_of_name(std::string_view path) {
  const std::string_view name = path.substr(path.rfind('/') + 1);
  auto numbered = [&](std::string_view prefix) {
    return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
  };
  if (numbered("i2c-")) return NodeKind::i2c;
  if (numbered("video") || path.substr(0, 9) == "/dev/v4l/") return NodeKind::video;
  if (name.substr(0, 3) == "tty" || path.substr(0, 12) == "/dev/serial/") return NodeKind::serial;
  if (name == "user-gpio" || numbered("gpiochip")) return NodeKind::gpio;
  return NodeKind::none;
}

const char *kind_name(NodeKind kind) {
  switch (kind) {
    case NodeKind::i2c:
      return "an I2C adapter node";
    case NodeKind::gpio:
      return "a GPIO node";
    case NodeKind::serial:
      return "a serial node";
    case NodeKind::video:
      return "a video node";
    default:
      return "a node";
  }
}

// The device path `n` for a node of `kind`: absolute under /dev, and not named as another kind.
std::string node_path(const toml::node &n, std::string_view what, NodeKind kind) {
  const std::string p = string_value(n, what);
  bool ok = p.size() > 5 && p.substr(0, 5) == "/dev/" && p.back() != '/';
  for (std::size_t at = 4; ok && at != std::string::npos; at = p.find('/', at + 1)) {
    const std::string_view part = std::string_view(p).substr(at + 1, p.find('/', at + 1) - at - 1);
    ok = !part.empty() && part != "." && part != "..";
  }
  if (!ok) throw at(n, std::string(what) + ": " + quoted(p) + " is not a device path (/dev/...)");
  const NodeKind named = kind_of_name(p);
  if (named != NodeKind::none && named != kind)
    throw at(n,
             std::string(what) + ": " + p + " is " + kind_name(named) + ", not " + kind_name(kind));
  return p;
}

// ---- model entries ------------------------------------------------------------------------------

// The model a node gets when its scenario entry names none, per node kind.
constexpr std::pair<NodeKind, const char *> kDefaultModel[] = {
    {NodeKind::serial, kSerialScriptModel},  // scripted replies only
    {NodeKind::pwm, "pwm"},                  // the board's PWM chip
    {NodeKind::video, "stub"},               // the node exists; its requests fail with ENOTTY
};

const char *default_model(NodeKind kind) {
  for (const auto &[k, name] : kDefaultModel)
    if (k == kind) return name;
  return "";
}

std::vector<Params::Register> register_table(const toml::node &n, const Key &k) {
  const auto *t = n.as_table();
  if (!t) throw at(n, std::string(k.name) + ": expected a table of register = value");
  std::vector<Params::Register> out;
  for (auto it = t->begin(); it != t->end(); ++it) {
    const std::string name(it->first.str());
    char *end = nullptr;
    errno = 0;
    const unsigned long reg = std::strtoul(name.c_str(), &end, 0);
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0])) || *end != '\0' ||
        errno != 0 || reg > 0xFFFF)
      throw error(where_of(it->first),
                  std::string(k.name) + ": " + quoted(name) + " is not a register number");
    out.push_back({static_cast<std::uint32_t>(reg), int_value(it->second, k.name, k.lo, k.hi),
                   where_of(it->first)});
  }
  return out;
}

}  // namespace

class EntryReader {
 public:
  // Takes the keys the model declares from `t` into `p`.
  static void fill(Params &p, Table &t, std::span<const Key> keys) {
    p.keys_ = keys;
    p.entry_ = t.where();
    for (const Key &k : keys) {
      const toml::node *n = t.take(k.name);
      if (!n) continue;
      Params::Value v;
      v.where = where_of(*n);
      switch (k.type) {
        case Key::Type::integer:
          v.integer = int_value(*n, k.name, k.lo, k.hi);
          break;
        case Key::Type::number:
          v.number = number_value(*n, k.name, k.lo, k.hi);
          break;
        case Key::Type::boolean:
          v.boolean = bool_value(*n, k.name);
          break;
        case Key::Type::string:
          v.text = string_value(*n, k.name);
          break;
        case Key::Type::registers:
          v.registers = register_table(*n, k);
          break;
      }
      p.values_.emplace(k.name, std::move(v));
    }
  }
  static void empty(Params &p, std::span<const Key> keys, const Where &where) {
    p.keys_ = keys;
    p.entry_ = where;
  }
};

namespace {

const ModelInfo &model_info(const std::string &name, NodeKind kind, const Where &where,
                            const std::string &what) {
  const ModelInfo *info = find_model(name);
  if (!info) throw error(where, what + ": unknown model " + quoted(name));
  if (info->kind != kind)
    throw error(where, what + ": model " + quoted(name) + " does not go there");
  return *info;
}

// An entry that names its model (`model = "..."`, or the node kind's default) and its keys.
ModelEntry read_entry(Table &t, NodeKind kind, std::string id) {
  ModelEntry e;
  const toml::node *m = t.take("model");
  if (kind == NodeKind::i2c && !m) t.need("model");
  e.model = m ? string_value(*m, "model") : default_model(kind);
  const ModelInfo &info = model_info(e.model, kind, m ? where_of(*m) : t.where(), t.what());
  e.id = std::move(id);
  e.where = t.where();
  EntryReader::fill(e.params, t, info.keys);
  return e;
}

// A node given only by its path in a `nodes` list: the node kind's default model.
DeviceRecord plain_device(const toml::node &path, NodeKind kind, const std::string &what) {
  DeviceRecord d;
  d.node = node_path(path, what, kind);
  d.entry.model = default_model(kind);
  d.entry.id = d.node;
  d.entry.where = where_of(path);
  EntryReader::empty(d.entry.params, model_info(d.entry.model, kind, d.entry.where, what).keys,
                     d.entry.where);
  return d;
}

// The devices of a serial or video section: `nodes = [...]`, then [[<section>.device]] entries.
std::vector<DeviceRecord> read_devices(Table &t, NodeKind kind, const std::string &section) {
  std::vector<DeviceRecord> out;
  auto same = [](const DeviceRecord &a, const DeviceRecord &b) { return a.node == b.node; };
  if (const toml::node *n = t.take("nodes"))
    for (const auto &p : array_value(*n, "nodes", "node paths"))
      add_or_replace(out, plain_device(p, kind, section + ".nodes"), same);
  each_table(t.take("device"), section + ".device", [&](Table &d) {
    DeviceRecord dev;
    dev.node = node_path(d.need("node"), "node", kind);
    dev.entry = read_entry(d, kind, dev.node);
    add_or_replace(out, std::move(dev), same);
  });
  return out;
}

// ---- sections -----------------------------------------------------------------------------------

void read_i2c(Table &t, Scenario &s) {
  each_table(t.take("adapter"), "i2c.adapter", [&](Table &a) {
    AdapterRecord ad;
    ad.where = a.where();
    ad.number = static_cast<int>(int_value(a.need("number"), "number", 0, 255));
    ad.node = "/dev/i2c-" + std::to_string(ad.number);
    if (const toml::node *n = a.take("node")) ad.node = node_path(*n, "node", NodeKind::i2c);
    if (const toml::node *b = a.take("busy"))
      for (const auto &e : array_value(*b, "busy", "addresses"))
        ad.busy.push_back(static_cast<int>(int_value(e, "busy", 0, 0x7f)));
    add_or_replace(s.adapters, std::move(ad),
                   [](auto &x, auto &y) { return x.number == y.number; });
  });
  each_table(t.take("slave"), "i2c.slave", [&](Table &e) {
    SlaveRecord sl;
    sl.adapter = static_cast<int>(e.integer("adapter", sl.adapter, 0, 255));
    sl.addr = static_cast<int>(int_value(e.need("addr"), "addr", 0, 0x7f));
    sl.entry =
        read_entry(e, NodeKind::i2c, std::to_string(sl.adapter) + ":" + std::to_string(sl.addr));
    add_or_replace(s.slaves, std::move(sl),
                   [](auto &x, auto &y) { return x.adapter == y.adapter && x.addr == y.addr; });
  });
}

void read_gpio(Table &t, GpioRecord &g) {
  g.where = t.where();
  if (const toml::node *n = t.take("node")) g.node = node_path(*n, "node", NodeKind::gpio);
  const std::pair<const char *, std::vector<int> *> lists[] = {
      {"pins", &g.pins}, {"high", &g.high}, {"held", &g.held}};
  for (auto [key, list] : lists)
    if (const toml::node *n = t.take(key)) *list = pin_list(*n, key);
  // Levels and holders only for pins the board has.
  for (const char *key : {"high", "held"}) {
    const toml::node *n = t.take(key);
    if (!n) continue;
    for (int pin : pin_list(*n, key))
      if (!g.has(pin))
        throw at(*n, std::string(key) + ": the board has no GPIO " + std::to_string(pin));
  }
}

// A path names one node: one given to two kinds of node is refused where it comes again.
void check_paths(const Scenario &s) {
  std::map<std::string, NodeKind> seen;
  auto add = [&](const std::string &path, NodeKind kind, const Where &where) {
    auto [it, fresh] = seen.emplace(path, kind);
    if (!fresh && it->second != kind)
      throw error(where, "node: " + path + " is already " + kind_name(it->second));
  };
  for (const AdapterRecord &a : s.adapters) add(a.node, NodeKind::i2c, a.where);
  if (s.gpio) add(s.gpio->node, NodeKind::gpio, s.gpio->where);
  if (s.serial)
    for (const DeviceRecord &d : s.serial->devices) add(d.node, NodeKind::serial, d.entry.where);
  if (s.video)
    for (const DeviceRecord &d : s.video->devices) add(d.node, NodeKind::video, d.entry.where);
}

void read_serial(Table &t, SerialRecord &sp) {
  sp.devices = read_devices(t, NodeKind::serial, "serial");
  each_table(t.take("script"), "serial.script", [&](Table &r) {
    ScriptRule rule;
    rule.node = r.string("node", rule.node);
    rule.expect = string_value(r.need("expect"), "expect");
    if (rule.expect.empty()) throw error(r.where(), "serial.script: empty expect");
    rule.reply = r.string("reply", rule.reply);
    rule.delay_ms = static_cast<unsigned>(r.integer("delay_ms", rule.delay_ms, 0, 600000));
    rule.once = r.boolean("once", rule.once);
    if (std::none_of(sp.devices.begin(), sp.devices.end(),
                     [&](auto &d) { return d.node == rule.node; }))
      throw error(r.where(), "serial.script: no serial node " + rule.node);
    sp.scripts.push_back(std::move(rule));
  });
}

void read_pwm(Table &t, PwmRecord &p) {
  p.entry = read_entry(t, NodeKind::pwm, "pwm");
}

NodeModeRecord read_mode(Table &t) {
  NodeModeRecord m;
  m.where = t.where();
  m.path = string_value(t.need("path"), "path");
  if (const toml::node *n = t.take("mode"))
    m.mode = static_cast<unsigned>(int_value(*n, "mode", 0, 07777));
  if (const toml::node *n = t.take("uid"))
    m.uid = static_cast<unsigned>(int_value(*n, "uid", 0, UINT32_MAX));
  if (const toml::node *n = t.take("gid"))
    m.gid = static_cast<unsigned>(int_value(*n, "gid", 0, UINT32_MAX));
  return m;
}

FaultRecord read_fault(Table &t) {
  FaultRecord f;
  f.where = t.where();
  const std::string kind = string_value(t.need("kind"), "kind");
  if (kind == "missing") {
    f.missing = true;
    const toml::node &node = t.need("node");
    f.node = string_value(node, "node");
    f.where = where_of(node);
    return f;
  }
  if (kind != "nack" && kind != "error")
    throw error(t.where(), "fault: unknown kind " + quoted(kind) + " (nack, error, missing)");
  f.adapter = static_cast<int>(t.integer("adapter", f.adapter, 0, 255));
  f.i2c.addr = static_cast<int>(int_value(t.need("addr"), "addr", 0, 0x7f));
  if (kind == "nack") {
    f.i2c.kind = Fault::Kind::nack;
    f.i2c.after = static_cast<std::uint64_t>(t.integer("after", 0, 0, INT64_MAX));
    if (const toml::node *n = t.take("from_ms")) {
      f.i2c.timed = true;
      f.i2c.from_us =
          static_cast<std::uint64_t>(int_value(*n, "from_ms", 0, INT64_MAX / 1000)) * 1000;
    }
  } else {
    f.i2c.kind = Fault::Kind::error;
    f.i2c.nth = static_cast<std::uint64_t>(t.integer("nth", 1, 1, INT64_MAX));
    f.i2c.count = static_cast<std::uint64_t>(t.integer("count", 1, 1, INT64_MAX));
    if (const toml::node *n = t.take("errno")) f.i2c.err = errno_value(*n, "errno");
  }
  return f;
}

void read_world(Table &t, WorldRecord &w) {
  constexpr std::int64_t kFar = 1'000'000'000;  // mm: a bound that keeps the geometry finite
  if (const toml::node *n = t.peek("x") ? t.peek("x") : t.peek("y"))
    w.start_where = where_of(*n);
  else
    w.start_where = t.where();
  w.start.x = t.number("x", w.start.x, -kFar, kFar);
  w.start.y = t.number("y", w.start.y, -kFar, kFar);
  w.start.heading = t.number("heading", 0, -kFar, kFar) * std::numbers::pi / 180.0;
  w.ambient = static_cast<int>(t.integer("ambient", w.ambient, 0, 4095));
  if (const toml::node *n = t.take("walls")) {
    w.walls.clear();
    for (const auto &e : array_value(*n, "walls", "walls")) {
      const auto *a = e.as_array();
      if (!a || a->size() != 4) throw at(e, "walls: a wall is [x1, y1, x2, y2]");
      double c[4];
      for (std::size_t i = 0; i < 4; ++i) c[i] = number_value(*a->get(i), "walls", -kFar, kFar);
      w.walls.push_back({c[0], c[1], c[2], c[3]});
    }
  }
  // Obstacles come after the walls, whichever the file gives first.
  each_table(t.take("box"), "world.box", [&](Table &b) {
    const double x = number_value(b.need("x"), "x", -kFar, kFar);
    const double y = number_value(b.need("y"), "y", -kFar, kFar);
    const double width = number_value(b.need("width"), "width", 1, kFar);
    const double depth = number_value(b.need("depth"), "depth", 1, kFar);
    for (const Wall &side : box_walls(x, y, width, depth)) w.walls.push_back(side);
    w.boxes.push_back({x, y, width, depth, b.where()});
  });
  each_table(t.take("landmarks"), "world.landmarks", [&](Table &l) {
    Landmark m;
    m.where = l.where();
    m.id = static_cast<int>(l.integer("id", m.id, 0, INT32_MAX));
    m.x = l.number("x", m.x, -kFar, kFar);
    m.y = l.number("y", m.y, -kFar, kFar);
    if (const toml::node *z = l.take("z")) {
      m.z = number_value(*z, "z", -kFar, kFar);
      m.where = where_of(*z);
    }
    w.landmarks.push_back(m);
  });
}

Scenario read(const toml::table &top) {
  Scenario s;
  Table root(top, "scenario");
  s.seed = static_cast<std::uint64_t>(
      root.integer("seed", static_cast<std::int64_t>(s.seed), 0, INT64_MAX));
  if (const toml::node *n = root.take("sim")) {
    Table t(*n, "sim");
    if (const toml::node *v = t.take("speed")) {
      if (const auto *str = v->as_string()) {
        if (const char *why = parse_speed(str->get().c_str(), &s.speed); *why)
          throw at(*v, std::string("speed: ") + why);
      } else if (s.speed = number_value(*v, "speed", INT64_MIN, INT64_MAX);
                 s.speed < kSpeedMin || s.speed > kSpeedMax) {
        std::ostringstream os;
        os << "speed: " << s.speed << " out of range [0.1, 100]";
        throw at(*v, os.str());
      }
    }
    t.done();
  }
  if (const toml::node *n = root.take("i2c")) {
    Table t(*n, "i2c");
    read_i2c(t, s);
    t.done();
  }
  section(root, "gpio", s.gpio, read_gpio);
  section(root, "serial", s.serial, read_serial);
  section(root, "pwm", s.pwm, read_pwm);
  section(root, "video", s.video,
          [](Table &t, VideoRecord &v) { v.devices = read_devices(t, NodeKind::video, "video"); });
  each_table(root.take("node"), "node", [&](Table &t) { s.modes.push_back(read_mode(t)); });
  each_table(root.take("fault"), "fault", [&](Table &t) { s.faults.push_back(read_fault(t)); });
  std::optional<WorldRecord> world;
  section(root, "world", world, read_world);
  if (world) s.world = std::move(*world);
  root.done();
  check_paths(s);
  return s;
}

}  // namespace

bool GpioRecord::has(int pin) const {
  return std::find(pins.begin(), pins.end(), pin) != pins.end();
}

std::string_view builtin_scenario() {
  return {kBuiltin, sizeof kBuiltin - 1};
}

Scenario parse_scenario(std::string_view text, const std::string &origin) {
  if (text.empty()) return read(parse_one(builtin_scenario(), "builtin"));
  toml::table t = parse_one(text, origin);
  if (const toml::node *ext = t.get("extends")) {
    if (!ext->is_string() || ext->as_string()->get() != "builtin")
      throw at(*ext, "extends: only \"builtin\" is known");
    toml::table base = parse_one(builtin_scenario(), "builtin");
    t.erase("extends");
    merge(base, t);
    return read(base);
  }
  return read(t);
}

void read_scenario_file(const std::string &path, std::string *text) {
  if (read_file_raw(path, text, kScenarioFileMax)) return;
  if (errno == EFBIG)
    throw error(Where{path, 1, 1},
                "scenario larger than " + std::to_string(kScenarioFileMax) + " bytes");
  throw ScenarioError("cannot read scenario " + path + ": " + std::strerror(errno));
}

}  // namespace tsim
