// Configuration reader: device classes, devices, registers and settings from a TOML file.
#include "tarsa/vx_config.h"

#include <fcntl.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/unique_fd.h"
#include "core/vx_codes.h"
#include "core/vx_config_internal.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_symbol.h"

namespace {

namespace err = tarsa::err;

constexpr const char *kSystemFile = "/etc/tarsa/tarsa.toml";
constexpr const char *kBuiltinLabel = "<built-in>";
constexpr size_t kMaxFileSize = 1 << 20;
// Deepest nesting accepted, counting every table header part, dotted key part, inline table and
// array on the way to a value. Real files nest less than ten deep; the bound keeps the parser's
// recursion, and ours, far from the end of the stack.
constexpr int kMaxNesting = 100;
constexpr int64_t kFirstAddress = 0x03;
constexpr int64_t kLastAddress = 0x77;

// The standard Tarsa4 board; tarsa.toml.sample at the top of the source tree holds the same.
constexpr const char kBuiltin[] = R"(# Standard Tarsa4 board.
[Tarsa4.devices]
dsPic = { bus = "i2c", address = 0x1F }

[Tarsa4.registers]
revision = 0x00

[Gripper.devices]
Arm = { bus = "i2c", address = 0x28, order = 8 }
Hand = { bus = "i2c", address = 0x29, order = 8 }

[Gripper.registers]
version = 0x30
position = 0x31
speed = 0x33
current = 0x34

[Pellix.devices]
Board = { bus = "i2c", address = 0x20, order = 8 }
AltBoard = { bus = "i2c", address = 0x21, order = 8 }

[PellixLE.devices]
Board = { bus = "i2c", address = 0x22 }
AltBoard = { bus = "i2c", address = 0x23 }

[Dravon.devices]
PriMotor1 = { bus = "i2c", address = 0x58, order = 8 }
PriMotor2 = { bus = "i2c", address = 0x59, order = 8 }
PriMotor3 = { bus = "i2c", address = 0x5A, order = 8 }
PriMotor4 = { bus = "i2c", address = 0x5B, order = 8 }

[DravonLE.devices]
PriMotor1 = { bus = "i2c", address = 0x5C }
PriMotor2 = { bus = "i2c", address = 0x5D }
PriMotor3 = { bus = "i2c", address = 0x5E }
PriMotor4 = { bus = "i2c", address = 0x5F }

[teleop]
udp_host = "127.0.0.1"
tcp_host = "127.0.0.2"
accept_any = false
)";

struct Device {
  std::string name, section, path;
  vx_device_info_t info{};
};

struct Section {
  std::string name;
  std::vector<std::string> devices, registers;
};

// One loaded configuration. Symbols point at the records here, which never move once made.
struct Config {
  vx_symbol_table_t table;
  std::vector<std::unique_ptr<Section>> sections;
  std::vector<std::unique_ptr<Device>> devices;
  std::deque<int> registers;  // a deque, so that symbol values stay put as it grows
  std::map<std::string, std::string, std::less<>> settings;
  std::vector<std::pair<std::string, int>> setting_order;  // names and value types, file order

  Config() { vx_create_symbol_table(&table); }
  ~Config() { vx_destroy_symbol_table(&table); }
  Config(const Config &) = delete;
  Config &operator=(const Config &) = delete;
};

std::unique_ptr<Config> gConfig;

// A refusal with the place in the file it concerns.
struct Refusal {
  toml::source_position where;
  std::string reason;
};

std::string too_deep(std::string_view what) {
  return std::string(what) + " nests deeper than the limit of " + std::to_string(kMaxNesting) +
         " levels";
}

// Refuses text that nests deeper than kMaxNesting, before the parser sees it: the parser recurses
// on every level and bounds only some kinds. Reads just enough TOML to count (keys, strings,
// comments, brackets and braces) and leaves every other fault to the parser, which stops at the
// first one; where the text is no TOML it reads on from there. Nothing here recurses. Columns
// count characters, as the parser's do.
class NestingCheck {
 public:
  explicit NestingCheck(std::string_view text) : t_(text) {}

  void run() {
    for (;;) {
      skip_space(true);
      if (at_end()) return;
      if (cur() == '[') {
        header();
        continue;
      }
      const int parts = key(table_depth_, "key");
      skip_space(false);
      if (parts == 0 || at_end() || cur() != '=') {
        skip_line();
        continue;
      }
      advance();
      value(table_depth_ + parts);
    }
  }

 private:
  // An inline table or array being read, and the level of the values inside it.
  struct Frame {
    char close;
    int level;
  };

  bool at_end() const { return pos_ >= t_.size(); }
  char cur() const { return t_[pos_]; }
  bool ahead(size_t n, char c) const { return pos_ + n < t_.size() && t_[pos_ + n] == c; }

  void advance() {
    const auto byte = static_cast<unsigned char>(t_[pos_++]);
    if (byte == '\n') {
      ++where_.line;
      where_.column = 1;
    } else if ((byte & 0xC0) != 0x80) {  // UTF-8 continuation bytes add no character
      ++where_.column;
    }
  }

  [[noreturn]] void refuse(const toml::source_position &at, std::string_view what) const {
    throw Refusal{at, too_deep(what)};
  }

  void skip_line() {
    while (!at_end() && cur() != '\n') advance();
  }

  // Blanks; with `lines`, also line ends and comments.
  void skip_space(bool lines) {
    while (!at_end()) {
      const char c = cur();
      if (c == ' ' || c == '\t') {
        advance();
      } else if (lines && (c == '\r' || c == '\n')) {
        advance();
      } else if (lines && c == '#') {
        skip_line();
      } else {
        return;
      }
    }
  }

  // A basic or literal string, single-line or multi-line; `cur()` is its opening quote.
  void skip_string() {
    const char q = cur();
    const bool escapes = q == '"';
    if (ahead(1, q) && ahead(2, q)) {
      for (int i = 0; i < 3; ++i) advance();
      while (!at_end()) {
        if (escapes && cur() == '\\') {
          advance();
          if (!at_end()) advance();
        } else if (cur() == q && ahead(1, q) && ahead(2, q)) {
          // Up to two more quotes belong to the content: """a""""" ends with a"".
          for (int i = 0; i < 5 && !at_end() && cur() == q; ++i) advance();
          return;
        } else {
          advance();
        }
      }
      return;
    }
    advance();
    while (!at_end() && cur() != '\n') {
      const char c = cur();
      advance();
      if (c == q) return;
      if (escapes && c == '\\' && !at_end() && cur() != '\n') advance();
    }
  }

  // A key of dotted parts whose first part sits at `depth` + 1. Returns the number of parts
  // read, 0 when there is no key here.
  int key(int depth, std::string_view what) {
    int parts = 0;
    for (;;) {
      skip_space(false);
      if (at_end()) return parts;
      const toml::source_position start = where_;
      if (cur() == '"' || cur() == '\'') {
        skip_string();
      } else {
        const size_t from = pos_;
        while (!at_end() && bare_key_char(cur())) advance();
        if (pos_ == from) return parts;
      }
      if (depth + ++parts > kMaxNesting) refuse(start, what);
      skip_space(false);
      if (at_end() || cur() != '.') return parts;
      advance();
    }
  }

  static bool bare_key_char(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return std::isalnum(byte) || c == '_' || c == '-' || byte >= 0x80;
  }

  // [a.b] or [[a.b]]: keys below it start at its depth.
  void header() {
    advance();
    if (!at_end() && cur() == '[') advance();
    table_depth_ = key(0, "table header");
    skip_line();
  }

  // A number, date, boolean or other value without brackets: up to where a value can end.
  void scalar() {
    if (cur() == '"' || cur() == '\'') {
      skip_string();
      return;
    }
    while (!at_end()) {
      const char c = cur();
      if (c == ',' || c == ']' || c == '}' || c == '#' || c == '\n') return;
      advance();
    }
  }

  // The value of a key at `level`, with the inline tables and arrays inside it.
  void value(int level) {
    std::vector<Frame> open;
    for (bool more = true; more;) {
      skip_space(!open.empty());
      if (at_end()) return;
      const char c = cur();
      if (c == '{' || c == '[') {
        if (level >= kMaxNesting) refuse(where_, c == '{' ? "inline table" : "array");
        advance();
        open.push_back({c == '{' ? '}' : ']', level + 1});
        more = next_item(open, level, false);
      } else {
        scalar();
        more = next_item(open, level, true);
      }
    }
  }

  // Moves to the next value inside the innermost open frame, past commas, closers and the key of
  // an inline table's entry, and sets `level` to its level. False once the outermost value is
  // complete, or where the text is no TOML (the parser will say so).
  bool next_item(std::vector<Frame> &open, int &level, bool after_value) {
    while (!open.empty()) {
      skip_space(true);
      if (at_end()) return false;
      const Frame &f = open.back();
      if (cur() == f.close) {
        advance();
        open.pop_back();
        after_value = true;
        continue;
      }
      if (after_value) {
        if (cur() != ',') return false;
        advance();
        after_value = false;
        continue;
      }
      if (f.close == ']') {
        level = f.level;
        return true;
      }
      const int parts = key(f.level, "key");
      skip_space(false);
      if (parts == 0 || at_end() || cur() != '=') return false;
      advance();
      level = f.level + parts;
      return true;
    }
    return false;
  }

  std::string_view t_;
  size_t pos_ = 0;
  toml::source_position where_{1, 1};
  int table_depth_ = 0;  // parts of the last table header
};

// Key-value pairs of a table in file order (toml++ keeps them sorted by key).
std::vector<std::pair<const toml::key *, const toml::node *>> in_file_order(const toml::table &t) {
  std::vector<std::pair<const toml::key *, const toml::node *>> items;
  for (const auto &[k, v] : t) items.emplace_back(&k, &v);
  std::stable_sort(items.begin(), items.end(), [](const auto &a, const auto &b) {
    const auto &pa = a.first->source().begin;
    const auto &pb = b.first->source().begin;
    return pa.line != pb.line ? pa.line < pb.line : pa.column < pb.column;
  });
  return items;
}

std::string quoted(std::string_view s) {
  return "'" + std::string(s) + "'";
}

class Loader {
 public:
  explicit Loader(Config &config) : c_(config) {}

  void load(const toml::table &root) {
    for (const auto &[key, node] : in_file_order(root)) {
      const toml::table *t = node->as_table();
      if (t && (t->empty() || t->contains("devices") || t->contains("registers")))
        load_section(*key, *t);
      else
        load_setting(key->str(), *key, *node);
    }
  }

 private:
  [[noreturn]] static void refuse(const toml::key &k, std::string reason) {
    throw Refusal{k.source().begin, std::move(reason)};
  }
  [[noreturn]] static void refuse(const toml::node &n, std::string reason) {
    throw Refusal{n.source().begin, std::move(reason)};
  }

  static void check_name(const toml::key &k, std::string_view what) {
    if (k.str().empty()) refuse(k, std::string(what) + " name is empty");
    if (k.str().find(':') != std::string_view::npos)
      refuse(k, std::string(what) + " name " + quoted(k.str()) + " contains ':'");
  }

  // Adds a symbol; a name already present (in any case) refuses the file.
  void add_symbol(const toml::key &k, const std::string &name, int type, void *value,
                  std::string_view what) {
    if (name.size() >= VX_SYMBOL_NAME_SIZE)
      refuse(k, std::string(what) + " name " + quoted(name) + " is longer than " +
                    std::to_string(VX_SYMBOL_NAME_SIZE - 1) + " bytes");
    auto *sym = static_cast<vx_symbol_t *>(std::calloc(1, sizeof(vx_symbol_t)));
    if (!sym) throw std::bad_alloc();
    std::memcpy(sym->name, name.c_str(), name.size() + 1);
    sym->type = type;
    sym->owns_value = 0;
    sym->value = value;
    if (!vx_add_symbol(&c_.table, sym)) {
      std::free(sym);
      refuse(k, "duplicate " + std::string(what) + " " + quoted(name));
    }
  }

  void load_section(const toml::key &key, const toml::table &t) {
    check_name(key, "section");
    auto section = std::make_unique<Section>();
    section->name = key.str();
    Section *s = section.get();
    c_.sections.push_back(std::move(section));
    add_symbol(key, s->name, VX_SYMBOL_SECTION, s, "section");
    for (const auto &[k, node] : in_file_order(t)) {
      const toml::table *sub = node->as_table();
      if (k->str() != "devices" && k->str() != "registers")
        refuse(*k, "unknown key " + quoted(k->str()) + " in section " + quoted(s->name) +
                       " (expected 'devices' or 'registers')");
      if (!sub)
        refuse(*node, quoted(k->str()) + " of section " + quoted(s->name) + " must be a table");
      for (const auto &[name, value] : in_file_order(*sub)) {
        if (k->str() == "devices")
          load_device(*s, *name, *value);
        else
          load_register(*s, *name, *value);
      }
    }
  }

  void load_device(Section &s, const toml::key &key, const toml::node &node) {
    check_name(key, "device");
    const toml::table *t = node.as_table();
    std::string full = s.name + ":" + std::string(key.str());
    if (!t) refuse(node, "device " + quoted(full) + " must be a table");

    auto dev = std::make_unique<Device>();
    dev->name = full;
    dev->section = s.name;
    int bus = -1;
    const toml::node *address = nullptr;
    const toml::node *path = nullptr;
    for (const auto &[k, v] : in_file_order(*t)) {
      std::string_view field = k->str();
      if (field == "bus") {
        const auto *text = v->as_string();
        if (!text) refuse(*v, "bus of device " + quoted(full) + " must be a string");
        if (text->get() == "i2c")
          bus = 0;
        else if (text->get() == "serial")
          bus = 1;
        else
          refuse(*v, "unknown bus " + quoted(text->get()) + " (expected 'i2c' or 'serial')");
      } else if (field == "address") {
        address = v;
      } else if (field == "order") {
        const auto *order = v->as_integer();
        if (!order) refuse(*v, "order of device " + quoted(full) + " must be an integer");
        if (order->get() != 0 && order->get() != 8)
          refuse(*v, "order " + std::to_string(order->get()) + " of device " + quoted(full) +
                         " is neither 0 nor 8");
        dev->info.order = static_cast<int>(order->get());
      } else if (field == "path") {
        const auto *text = v->as_string();
        if (!text) refuse(*v, "path of device " + quoted(full) + " must be a string");
        if (text->get().empty()) refuse(*v, "path of device " + quoted(full) + " is empty");
        dev->path = text->get();
        path = v;
      } else {
        refuse(*k, "unknown key " + quoted(field) + " in device " + quoted(full));
      }
    }
    if (bus < 0) refuse(node, "device " + quoted(full) + " has no bus");
    if (bus == 0) {
      if (!address) refuse(node, "device " + quoted(full) + " on bus 'i2c' has no address");
      if (path) refuse(*path, "device " + quoted(full) + " on bus 'i2c' takes no path");
      const auto *a = address->as_integer();
      if (!a) refuse(*address, "address of device " + quoted(full) + " must be an integer");
      if (a->get() < kFirstAddress || a->get() > kLastAddress)
        refuse(*address, "address " + std::to_string(a->get()) + " of device " + quoted(full) +
                             " outside 0x03-0x77");
      dev->info.address = static_cast<int>(a->get());
    } else {
      if (!path) refuse(node, "device " + quoted(full) + " on bus 'serial' has no path");
      if (address) refuse(*address, "device " + quoted(full) + " on bus 'serial' takes no address");
    }
    dev->info.bus = bus;
    Device *d = dev.get();
    c_.devices.push_back(std::move(dev));
    d->info.name = d->name.c_str();
    d->info.section = d->section.c_str();
    d->info.path = bus == 1 ? d->path.c_str() : nullptr;
    add_symbol(key, d->name, VX_SYMBOL_DEVICE, &d->info, "device");
    s.devices.emplace_back(key.str());
  }

  void load_register(Section &s, const toml::key &key, const toml::node &node) {
    check_name(key, "register");
    std::string full = s.name + ":" + std::string(key.str());
    const auto *number = node.as_integer();
    if (!number) refuse(node, "register " + quoted(full) + " must be an integer");
    if (number->get() < 0 || number->get() > 0xFF)
      refuse(node, "register " + quoted(full) + " number " + std::to_string(number->get()) +
                       " outside 0-255");
    c_.registers.push_back(static_cast<int>(number->get()));
    add_symbol(key, full, VX_SYMBOL_REGISTER, &c_.registers.back(), "name");
    s.registers.emplace_back(key.str());
  }

  // `depth` stays within kMaxNesting, as NestingCheck has made sure; checked again all the same,
  // since it bounds this recursion.
  void load_setting(std::string_view name, const toml::key &key, const toml::node &node,
                    int depth = 1) {
    std::string text;
    int type = VX_SETTING_OTHER;
    if (depth > kMaxNesting) refuse(key, too_deep("key"));
    if (const toml::table *t = node.as_table()) {
      for (const auto &[k, v] : in_file_order(*t))
        load_setting(std::string(name) + "." + std::string(k->str()), *k, *v, depth + 1);
      return;
    }
    if (node.is_array())
      refuse(key, "setting " + quoted(name) + " is an array; settings are single values");
    if (const auto *s = node.as_string()) {
      text = s->get();
      type = VX_SETTING_STRING;
    } else if (const auto *i = node.as_integer()) {
      text = std::to_string(i->get());
      type = VX_SETTING_INTEGER;
    } else if (const auto *b = node.as_boolean()) {
      text = b->get() ? "true" : "false";
      type = VX_SETTING_BOOLEAN;
    } else {
      std::ostringstream out;
      node.visit([&out](const auto &v) { out << v; });
      text = out.str();
      if (node.is_floating_point()) type = VX_SETTING_FLOAT;
    }
    if (c_.settings.emplace(std::string(name), std::move(text)).second)
      c_.setting_order.emplace_back(std::string(name), type);
  }

  Config &c_;
};

// One line on standard error; control bytes quoted from the file are escaped to keep it one line.
void report(std::string_view file, const toml::source_position &where, std::string_view reason) {
  std::string text;
  for (char ch : reason) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '\n') {
      text += "\\n";
    } else if (byte < 0x20 || byte == 0x7F) {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02x", byte);
      text += esc;
    } else {
      text += ch;
    }
  }
  std::fprintf(stderr, "%.*s:%u:%u: %s\n", static_cast<int>(file.size()), file.data(),
               static_cast<unsigned>(where.line), static_cast<unsigned>(where.column),
               text.c_str());
}

// Line and column just past the end of `text`, counted as the parser counts them.
toml::source_position end_of(std::string_view text) {
  const size_t last = text.rfind('\n');
  const std::string_view line = last == std::string_view::npos ? text : text.substr(last + 1);
  toml::source_position at{1, 1};
  at.line += static_cast<toml::source_index>(std::count(text.begin(), text.end(), '\n'));
  for (char ch : line) at.column += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
  return at;
}

// Reads a whole file with plain system calls. 0, or a negated errno. Past kMaxFileSize, -EFBIG
// with `text` holding the first kMaxFileSize bytes. A terminal named here does not become the
// process's controlling terminal.
int read_file(const char *path, std::string &text) {
  const tarsa::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) return -errno;
  text.clear();
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) return 0;
    if (text.size() + static_cast<size_t>(n) > kMaxFileSize) {
      text.append(chunk, kMaxFileSize - text.size());
      return -EFBIG;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
}

// Parses and checks `text`; the result is complete, or nothing and a report.
std::unique_ptr<Config> parse(const std::string &text, const std::string &label) {
  try {
    NestingCheck(text).run();
    toml::table root = toml::parse(text, label);
    auto config = std::make_unique<Config>();
    Loader(*config).load(root);
    return config;
  } catch (const toml::parse_error &e) {
    report(label, e.source().begin, e.description());
  } catch (const Refusal &r) {
    report(label, r.where, r.reason);
  } catch (const std::bad_alloc &) {
    report(label, {}, "out of memory");
  } catch (const std::exception &e) {
    report(label, {}, e.what());
  }
  return nullptr;
}

const Section *find_section(const char *name) {
  if (!gConfig || !name) return nullptr;
  const vx_symbol_t *sym = vx_lookup_symbol(&gConfig->table, name);
  if (!sym || sym->type != VX_SYMBOL_SECTION) return nullptr;
  return static_cast<const Section *>(sym->value);
}

int enumerate(const std::vector<std::string> &names, vx_config_callback_t cb, void *context) {
  for (const std::string &name : names) {
    int rc = cb ? cb(name.c_str(), context) : 0;
    if (rc) return rc;
  }
  return 0;
}

}  // namespace

bool vx_config_has_section(const char *name) {
  return find_section(name) != nullptr;
}

extern "C" {

int vx_config_init(int, char *[]) {
  try {
    std::string text, label;
    const char *env = std::getenv("TARSA_CONFIG");
    const char *path = env && *env ? env : nullptr;
    if (!path && ::access(kSystemFile, F_OK) == 0) path = kSystemFile;
    if (path) {
      int rc = read_file(path, text);
      if (rc == -EFBIG) {
        report(path, end_of(text),
               "file larger than the limit of " + std::to_string(kMaxFileSize >> 20) + " MiB (" +
                   std::to_string(kMaxFileSize) + " bytes)");
        return rc;
      }
      if (rc < 0) {
        vx_error("vx_config", __LINE__, "vx_config_init", err::CannotOpenFile, path);
        return rc;
      }
      label = path;
    } else {
      text = kBuiltin;
      label = kBuiltinLabel;
    }
    std::unique_ptr<Config> config = parse(text, label);
    if (!config) return -EINVAL;
    gConfig = std::move(config);
    return 0;
  } catch (...) {
    return -ENOMEM;
  }
}

void vx_config_exit(void) {
  gConfig.reset();
}

int vx_enum_section(vx_config_callback_t cb, void *context) {
  if (!gConfig) return -1;
  for (const auto &s : gConfig->sections) {
    int rc = cb ? cb(s->name.c_str(), context) : 0;
    if (rc) return rc;
  }
  return 0;
}

int vx_enum_device(const char *section, vx_config_callback_t cb, void *context) {
  const Section *s = find_section(section);
  return s ? enumerate(s->devices, cb, context) : -1;
}

int vx_enum_register(const char *section, vx_config_callback_t cb, void *context) {
  const Section *s = find_section(section);
  return s ? enumerate(s->registers, cb, context) : -1;
}

const void *vx_lookup_device(const char *name) {
  if (!gConfig || !name) return nullptr;
  const vx_symbol_t *sym = vx_lookup_symbol(&gConfig->table, name);
  return sym && sym->type == VX_SYMBOL_DEVICE ? sym->value : nullptr;
}

const char *vx_config_get(const char *key) {
  if (!gConfig || !key) return nullptr;
  auto it = gConfig->settings.find(std::string_view(key));
  return it == gConfig->settings.end() ? nullptr : it->second.c_str();
}

int vx_enum_setting(const char *table, vx_setting_callback_t cb, void *context) {
  if (!gConfig) return -1;
  const std::string_view prefix = table ? table : "";
  for (const auto &[name, type] : gConfig->setting_order) {
    std::string_view key = name;
    if (!prefix.empty()) {
      if (key.size() <= prefix.size() + 1 || key.substr(0, prefix.size()) != prefix ||
          key[prefix.size()] != '.')
        continue;
      key.remove_prefix(prefix.size() + 1);
    }
    int rc = cb ? cb(key.data(), type, context) : 0;
    if (rc) return rc;
  }
  return 0;
}

}  // extern "C"
