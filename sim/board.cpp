// Board built from a scenario: nodes, adapters with their slaves, GPIO controller, faults.
#include "board.h"

#include <linux/i2c.h>
#include <signal.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "i2c_adapter.h"
#include "scenario.h"
#include "shm.h"

namespace tsim {

namespace {

std::map<std::string, SlaveFactory> &registry() {
  static std::map<std::string, SlaveFactory> r;
  return r;
}

bool owner_alive(const GpioPinState &p) {
  if (p.foreign) return true;
  if (p.owner_pid <= 0) return false;
  return kill(p.owner_pid, 0) == 0 || errno == EPERM;
}

}  // namespace

void register_slave_model(const std::string &kind, SlaveFactory f) { registry()[kind] = std::move(f); }

SlaveModelRegistrar::SlaveModelRegistrar(const std::string &kind, SlaveFactory f) {
  register_slave_model(kind, std::move(f));
}

// ---- GPIO controller ----------------------------------------------------------------------

GpioController::GpioController(SharedState &shm) : shm_(shm) {}

bool GpioController::present(int pin) { return pin >= 0 && pin < kMaxPins && shm_.pins[pin].present; }

int GpioController::level(int pin) {
  if (!present(pin)) return -1;
  const auto &p = shm_.pins[pin];
  return p.output ? p.out_level : p.in_level;
}

void GpioController::set_input(int pin, int lvl) {
  if (present(pin)) shm_.pins[pin].in_level = lvl ? 1 : 0;
}

void GpioController::on_output(int pin, std::function<void(int)> fn) {
  callbacks_[pin].push_back(std::move(fn));
}

void GpioController::notify(int pin, int value) {
  auto it = callbacks_.find(pin);
  if (it == callbacks_.end()) return;
  for (auto &fn : it->second) fn(value);
}

int GpioController::request(int pin, const char *label, std::uint64_t owner) {
  if (!present(pin)) return EINVAL;
  auto &p = shm_.pins[pin];
  if (p.claimed && owner_alive(p)) return EBUSY;
  p.claimed = 1;
  p.foreign = 0;
  p.owner = owner;
  p.owner_pid = getpid();
  std::memset(p.label, 0, sizeof p.label);
  std::strncpy(p.label, label, sizeof p.label - 1);
  return 0;
}

int GpioController::free(int pin) {
  if (!present(pin)) return EINVAL;
  auto &p = shm_.pins[pin];
  if (!p.claimed || !owner_alive(p)) return EINVAL;
  p.claimed = 0;
  p.foreign = 0;
  p.owner = 0;
  p.owner_pid = 0;
  std::memset(p.label, 0, sizeof p.label);
  return 0;
}

void GpioController::release_owner(std::uint64_t owner) {
  for (auto &p : shm_.pins) {
    if (p.claimed && !p.foreign && p.owner == owner && p.owner_pid == getpid()) {
      p.claimed = 0;
      p.owner = 0;
      p.owner_pid = 0;
    }
  }
}

namespace {
// Direction and level requests need the pin claimed through the same open file.
int check_use(GpioPinState &p, std::uint64_t owner) {
  if (!p.claimed || p.foreign || p.owner != owner || !owner_alive(p)) return EPERM;
  return 0;
}
}  // namespace

int GpioController::dir_in(int pin) {
  if (!present(pin)) return EINVAL;
  shm_.pins[pin].output = 0;
  return 0;
}

int GpioController::dir_out(int pin, int value) {
  if (!present(pin)) return EINVAL;
  auto &p = shm_.pins[pin];
  p.output = 1;
  p.out_level = value ? 1 : 0;
  notify(pin, p.out_level);
  return 0;
}

int GpioController::get(int pin, int *value) {
  if (!present(pin)) return EINVAL;
  auto &p = shm_.pins[pin];
  if (p.output) return EPERM;
  *value = p.in_level;
  return 0;
}

int GpioController::set(int pin, int value) {
  if (!present(pin)) return EINVAL;
  auto &p = shm_.pins[pin];
  if (!p.output) return EPERM;
  p.out_level = value ? 1 : 0;
  notify(pin, p.out_level);
  return 0;
}

// Checks shared by the node's requests; kept apart so models can drive pins without a claim.
int gpio_check_use(SharedState &shm, int pin, std::uint64_t owner) {
  if (pin < 0 || pin >= kMaxPins || !shm.pins[pin].present) return EINVAL;
  return check_use(shm.pins[pin], owner);
}

// ---- I2C adapter --------------------------------------------------------------------------

int I2cAdapter::check_faults(int addr) {
  bool any = false;
  for (const auto &f : faults_) any = any || f.addr == addr;
  if (!any) return 0;
  bool created = false;
  auto counter = board_.shared_bytes("i2c-count:" + std::to_string(number_) + ":" + std::to_string(addr),
                                     sizeof(std::uint64_t), &created);
  std::uint64_t n;
  std::memcpy(&n, counter.data(), sizeof n);
  ++n;
  std::memcpy(counter.data(), &n, sizeof n);
  for (const auto &f : faults_) {
    if (f.addr != addr) continue;
    if (f.kind == Fault::Kind::nack) {
      if (f.timed ? board_.now_us() >= f.from_us : n > f.after) return ENXIO;
    } else if (n >= f.nth && n < f.nth + f.count) {
      return f.err;
    }
  }
  return 0;
}

int I2cAdapter::transfer(std::span<I2cMessage> msgs) {
  // Messages run in order, so those before a refused one have had their effect, as on the wire.
  // Each transfer counts once per address it reaches, for the faults.
  std::bitset<128> seen;
  for (auto &m : msgs) {
    if (!slaves_.count(m.addr)) return ENXIO;  // only 7-bit addresses carry slaves
    if (!seen[m.addr]) {
      seen[m.addr] = true;
      if (int e = check_faults(m.addr)) return e;
    }
    auto &s = *slaves_.at(m.addr);
    bool ack = (m.flags & I2C_M_RD) ? s.read(m.buf) : s.write(m.buf);
    if (!ack) return ENXIO;
  }
  return 0;
}

// ---- Board --------------------------------------------------------------------------------

Board::Board(toml::table scenario, SharedState &shm, bool fresh)
    : scenario_(std::move(scenario)), shm_(shm), fresh_(fresh), gpio_(std::make_unique<GpioController>(shm)) {
  build();
}

Board::~Board() = default;

std::uint64_t Board::now_us() const { return (monotonic_ns() - shm_.start_ns) / 1000; }

std::string Board::scenario_path(const std::string &p) const {
  if (p.empty() || p[0] == '/' || shm_.base_dir[0] == '\0') return p;
  return std::string(shm_.base_dir) + "/" + p;
}

const toml::table *Board::table(const char *key) const { return scenario_[key].as_table(); }

I2cAdapter *Board::adapter(int number) {
  auto it = adapters_.find(number);
  return it == adapters_.end() ? nullptr : it->second.get();
}

const NodeInfo *Board::node(const std::string &path) const {
  auto it = nodes_.find(path);
  return it == nodes_.end() ? nullptr : &it->second;
}

std::span<std::uint8_t> Board::shared_bytes(const std::string &key, std::size_t size, bool *created) {
  if (key.size() >= sizeof(SlabEntry::key)) throw std::runtime_error("shared block key too long: " + key);
  for (std::uint32_t i = 0; i < shm_.slab_count; ++i) {
    auto &e = shm_.slabs[i];
    if (key == e.key) {
      if (e.size != size) throw std::runtime_error("shared block size changed: " + key);
      if (created) *created = false;
      return {shm_.slab + e.offset, e.size};
    }
  }
  std::size_t off = (shm_.slab_used + 15) & ~std::size_t{15};
  if (shm_.slab_count >= kMaxSlabs || off + size > kSlabSize)
    throw std::runtime_error("simulator shared area full (" + key + ")");
  auto &e = shm_.slabs[shm_.slab_count++];
  std::strncpy(e.key, key.c_str(), sizeof e.key - 1);
  e.offset = static_cast<std::uint32_t>(off);
  e.size = static_cast<std::uint32_t>(size);
  shm_.slab_used = static_cast<std::uint32_t>(off + size);
  std::memset(shm_.slab + off, 0, size);
  if (created) *created = true;
  return {shm_.slab + off, size};
}

void Board::build() {
  using namespace scenario;
  seed_ = static_cast<std::uint64_t>(get_int(scenario_, "seed", 1, 0, INT64_MAX));

  // Explicit permissions per node, applied after the nodes exist.
  auto add = [&](NodeInfo n, unsigned mode, unsigned gid) {
    n.mode = mode;
    n.gid = gid;
    nodes_[n.path] = n;
  };

  if (auto *i2c = table("i2c")) {
    if (auto *adapters = (*i2c)["adapter"].as_array()) {
      for (auto &a : *adapters) {
        const auto &t = as_table(a, "i2c.adapter");
        int num = static_cast<int>(get_int(t, "number", -1, 0, 255, true));
        auto ad = std::make_unique<I2cAdapter>(num, *this);
        if (auto *busy = t["busy"].as_array())
          for (auto &b : *busy) ad->add_busy(static_cast<int>(int_value(b, "i2c.adapter.busy", 0, 0x7f)));
        NodeInfo n;
        n.kind = NodeKind::i2c;
        n.adapter = num;
        n.path = get_string(t, "node", "/dev/i2c-" + std::to_string(num));
        add(n, 0660, 0);
        adapters_[num] = std::move(ad);
      }
    }
    if (auto *slaves = (*i2c)["slave"].as_array()) {
      for (auto &s : *slaves) {
        const auto &t = as_table(s, "i2c.slave");
        int num = static_cast<int>(get_int(t, "adapter", 2, 0, 255));
        int addr = static_cast<int>(get_int(t, "addr", -1, 0, 0x7f, true));
        std::string kind = get_string(t, "model", "", true);
        auto *ad = adapter(num);
        if (!ad) throw error(t, "i2c.slave: no adapter " + std::to_string(num));
        auto it = registry().find(kind);
        if (it == registry().end()) throw error(*t.get("model"), "i2c.slave: unknown model \"" + kind + "\"");
        try {
          ad->add_slave(addr, it->second(t, *this));
        } catch (const ScenarioError &) {
          throw;
        } catch (const std::exception &e) {
          throw error(t, "i2c.slave \"" + kind + "\": " + e.what());
        }
      }
    }
  }

  if (auto *g = table("gpio")) {
    NodeInfo n;
    n.kind = NodeKind::gpio;
    n.path = get_string(*g, "node", "/dev/user-gpio");
    add(n, 0660, 0);
    if (fresh_) {
      for (int pin : pin_list(*g, "pins")) shm_.pins[pin].present = 1;
      for (int pin : pin_list(*g, "high")) shm_.pins[pin].in_level = 1;
      for (int pin : pin_list(*g, "held")) {
        auto &p = shm_.pins[pin];
        p.claimed = 1;
        p.foreign = 1;
        std::strncpy(p.label, "another holder", sizeof p.label - 1);
      }
    }
  }

  if (auto *s = table("serial")) {
    if (auto *list = (*s)["nodes"].as_array()) {
      for (auto &v : *list) {
        NodeInfo n;
        n.kind = NodeKind::serial;
        n.path = string_value(v, "serial.nodes");
        add(n, 0660, 20);  // group dialout
      }
    }
    // Scripts are read when a port opens; check them now so mistakes show at load.
    if (auto *list = (*s)["script"].as_array()) {
      for (auto &e : *list) {
        const auto &t = as_table(e, "serial.script");
        get_string(t, "node", "/dev/ttyO0");
        if (get_string(t, "expect", "", true).empty()) throw error(t, "serial.script: empty expect");
        get_string(t, "reply", "");
        get_int(t, "delay_ms", 0, 0, 600000);
        get_bool(t, "once", false);
      }
    }
  }

  if (auto *p = table("pwm")) {
    std::string chip = get_string(*p, "chip", "/sys/class/pwm/pwmchip0");
    int npwm = static_cast<int>(get_int(*p, "npwm", 2, 1, 16));
    NodeInfo n;
    n.kind = NodeKind::pwm;
    auto put = [&](const std::string &path, unsigned mode) {
      n.path = path;
      add(n, mode, 0);
    };
    put(chip, 0755);
    put(chip + "/export", 0200);
    put(chip + "/unexport", 0200);
    put(chip + "/npwm", 0444);
    for (int c = 0; c < npwm; ++c) {
      std::string dir = chip + "/pwm" + std::to_string(c);
      put(dir, 0755);
      for (const char *attr : {"/period", "/duty_cycle", "/enable", "/polarity"}) put(dir + attr, 0644);
    }
  }

  if (auto *v = table("video")) {
    if (auto *list = (*v)["nodes"].as_array()) {
      for (auto &e : *list) {
        NodeInfo n;
        n.kind = NodeKind::video;
        n.path = string_value(e, "video.nodes");
        add(n, 0660, 44);  // group video
      }
    }
  }

  if (auto *list = scenario_["node"].as_array()) {
    for (auto &e : *list) {
      const auto &t = as_table(e, "node");
      std::string path = get_string(t, "path", "", true);
      auto it = nodes_.find(path);
      if (it == nodes_.end()) throw error(t, "node: the board has no node " + path);
      it->second.mode = static_cast<unsigned>(get_int(t, "mode", it->second.mode, 0, 07777));
      it->second.uid = static_cast<unsigned>(get_int(t, "uid", it->second.uid, 0, UINT32_MAX));
      it->second.gid = static_cast<unsigned>(get_int(t, "gid", it->second.gid, 0, UINT32_MAX));
    }
  }

  if (auto *faults = scenario_["fault"].as_array()) {
    for (auto &e : *faults) {
      const auto &t = as_table(e, "fault");
      std::string kind = get_string(t, "kind", "", true);
      if (kind == "missing") {
        std::string path = get_string(t, "node", "", true);
        nodes_.erase(path);
        continue;
      }
      Fault f;
      int num = static_cast<int>(get_int(t, "adapter", 2, 0, 255));
      f.addr = static_cast<int>(get_int(t, "addr", -1, 0, 0x7f, true));
      auto *ad = adapter(num);
      if (!ad) throw error(t, "fault: no adapter " + std::to_string(num));
      if (kind == "nack") {
        f.kind = Fault::Kind::nack;
        f.after = static_cast<std::uint64_t>(get_int(t, "after", 0, 0, INT64_MAX));
        if (t.contains("from_ms")) {
          f.timed = true;
          f.from_us = static_cast<std::uint64_t>(get_int(t, "from_ms", 0, 0, INT64_MAX)) * 1000;
        }
      } else if (kind == "error") {
        f.kind = Fault::Kind::error;
        f.nth = static_cast<std::uint64_t>(get_int(t, "nth", 1, 1, INT64_MAX));
        f.count = static_cast<std::uint64_t>(get_int(t, "count", 1, 1, INT64_MAX));
        f.err = get_errno(t, "errno", EIO);
      } else {
        throw error(t, "fault: unknown kind \"" + kind + "\" (nack, error, missing)");
      }
      ad->add_fault(f);
    }
  }
}

}  // namespace tsim
