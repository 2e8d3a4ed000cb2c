// Board built from a scenario's records: the node table and the models behind it, one step per
// node kind, and the GPIO controller and I2C adapters the models share.
#include "board.h"

#include <linux/i2c.h>
#include <signal.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "i2c_adapter.h"
#include "shm.h"

namespace tsim {

namespace {

bool owner_alive(const GpioPinState &p) {
  if (p.foreign) return true;
  if (p.owner_pid <= 0) return false;
  return kill(p.owner_pid, 0) == 0 || errno == EPERM;
}

}  // namespace

// ---- GPIO controller ----------------------------------------------------------------------

GpioController::GpioController(SharedState &shm) : shm_(shm) {}

bool GpioController::present(int pin) {
  return pin >= 0 && pin < kMaxPins && shm_.pins[pin].present;
}

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
  auto counter =
      board_.shared_bytes("i2c-count:" + std::to_string(number_) + ":" + std::to_string(addr),
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
    auto it = slaves_.find(m.addr);
    if (it == slaves_.end()) return ENXIO;  // only 7-bit addresses carry slaves
    if (!seen[m.addr]) {
      seen[m.addr] = true;
      if (int e = check_faults(m.addr)) return e;
    }
    I2cSlave &s = *it->second;
    if (!s.address()) return ENXIO;
    if (m.buf.empty()) continue;  // the address alone: a probe, which a present slave acknowledges
    bool ack = (m.flags & I2C_M_RD) ? s.read(m.buf) : s.write(m.buf);
    if (!ack) return ENXIO;
  }
  return 0;
}

// ---- Board --------------------------------------------------------------------------------

Board::Board(Scenario scenario, SharedState &shm, bool fresh)
    : scenario_(std::move(scenario)),
      shm_(shm),
      fresh_(fresh),
      gpio_(std::make_unique<GpioController>(shm)) {
  add_i2c();
  add_gpio();
  add_serial();
  add_pwm();
  add_video();
  apply_modes();
  add_faults();
}

Board::~Board() = default;

std::uint64_t Board::now_us() const {
  return (sim_monotonic_ns(shm_) - shm_.start_ns) / 1000;
}

std::string Board::scenario_path(const std::string &p) const {
  if (p.empty() || p[0] == '/' || shm_.base_dir[0] == '\0') return p;
  return std::string(shm_.base_dir) + "/" + p;
}

I2cAdapter *Board::adapter(int number) {
  auto it = adapters_.find(number);
  return it == adapters_.end() ? nullptr : it->second.get();
}

SerialDevice *Board::serial(const std::string &path) {
  auto it = serial_.find(path);
  return it == serial_.end() ? nullptr : &it->second;
}

VideoNode *Board::video_node(const std::string &path) {
  auto it = video_.find(path);
  return it == video_.end() ? nullptr : it->second.get();
}

VideoModel *Board::video(const std::string &path) {
  VideoNode *n = video_node(path);
  return n ? &n->model() : nullptr;
}

const NodeInfo *Board::node(const std::string &path) const {
  auto it = nodes_.find(path);
  if (it == nodes_.end() || (it->second.present && !it->second.present(now_us()))) return nullptr;
  return &it->second;
}

std::span<std::uint8_t> Board::shared_bytes(const std::string &key, std::size_t size,
                                            bool *created) {
  if (key.size() >= sizeof(SlabEntry::key))
    throw std::runtime_error("shared block key too long: " + key);
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

namespace {

// Builds the model of `entry` with the factory `make` of its kind; what the model refuses is
// reported where the entry was written.
template <class M>
std::unique_ptr<M> build(const ModelEntry &entry, Board &board,
                         std::unique_ptr<M> (*ModelInfo::*make)(const ModelEntry &, Board &)) {
  try {
    return (find_model(entry.model)->*make)(entry, board);
  } catch (const ScenarioError &) {
    throw;
  } catch (const std::exception &e) {
    throw error(entry.where, "model \"" + entry.model + "\": " + e.what());
  }
}

}  // namespace

NodeInfo &Board::add_node(NodeKind kind, const std::string &path, unsigned mode, unsigned gid) {
  NodeInfo &n = nodes_[path];
  n = NodeInfo{};
  n.kind = kind;
  n.path = path;
  n.mode = mode;
  n.gid = gid;
  return n;
}

void Board::add_i2c() {
  for (const AdapterRecord &a : scenario_.adapters) {
    auto ad = std::make_unique<I2cAdapter>(a.number, *this);
    for (int addr : a.busy) ad->add_busy(addr);
    adapters_[a.number] = std::move(ad);
    add_node(NodeKind::i2c, a.node, 0660, 0).adapter = a.number;
  }
  for (const SlaveRecord &s : scenario_.slaves) {
    I2cAdapter *ad = adapter(s.adapter);
    if (!ad) throw error(s.entry.where, "i2c.slave: no adapter " + std::to_string(s.adapter));
    ad->add_slave(s.addr, build(s.entry, *this, &ModelInfo::i2c));
  }
}

void Board::add_gpio() {
  if (!scenario_.gpio) return;
  const GpioRecord &g = *scenario_.gpio;
  add_node(NodeKind::gpio, g.node, 0660, 0);
  if (!fresh_) return;
  for (int pin : g.pins) shm_.pins[pin].present = 1;
  for (int pin : g.high) shm_.pins[pin].in_level = 1;
  for (int pin : g.held) {
    auto &p = shm_.pins[pin];
    p.claimed = 1;
    p.foreign = 1;
    std::strncpy(p.label, "another holder", sizeof p.label - 1);
  }
}

void Board::add_serial() {
  if (!scenario_.serial) return;
  for (const DeviceRecord &d : scenario_.serial->devices) {
    SerialDevice &dev = serial_[d.node];
    dev.models.push_back(build(d.entry, *this, &ModelInfo::serial));
    dev.script = dynamic_cast<SerialScript *>(dev.models.front().get());
    if (!dev.script) {
      ModelEntry scripts{kSerialScriptModel, d.node, {}, d.entry.where};
      dev.models.push_back(build(scripts, *this, &ModelInfo::serial));
      dev.script = dynamic_cast<SerialScript *>(dev.models.back().get());
      if (!dev.script) throw std::logic_error("the serial scripts model is not a SerialScript");
    }
    SerialModel *model = dev.models.front().get();
    add_node(NodeKind::serial, d.node, 0660, 20).present =
        [model](std::uint64_t now) {  // group dialout
          return model->present(now);
        };
  }
}

void Board::add_pwm() {
  if (!scenario_.pwm) return;
  pwm_ = build(scenario_.pwm->entry, *this, &ModelInfo::sysfs);
  for (const SysfsModel::File &f : pwm_->files()) {
    NodeInfo &n = add_node(NodeKind::pwm, f.path, f.mode, 0);
    n.dir = f.dir;
    if (!f.always)
      n.present = [model = pwm_.get(), path = f.path](std::uint64_t) {
        return model->present(path);
      };
  }
}

void Board::add_video() {
  if (!scenario_.video) return;
  for (const DeviceRecord &d : scenario_.video->devices) {
    video_[d.node] = std::make_unique<VideoNode>(
        d.entry, [this] { return now_us(); }, build(d.entry, *this, &ModelInfo::video));
    add_node(NodeKind::video, d.node, 0660, 44);  // group video
    // What tools read to learn the node's class: its uevent file under /sys/dev/char.
    const std::string name = d.node.substr(d.node.rfind('/') + 1);
    add_node(NodeKind::attr, "/sys/dev/char/81:6/uevent", 0444, 0).text =
        "MAJOR=81\nMINOR=6\nDEVNAME=" + name + "\n";
  }
}

void Board::apply_modes() {
  for (const NodeModeRecord &m : scenario_.modes) {
    auto it = nodes_.find(m.path);
    if (it == nodes_.end()) throw error(m.where, "node: the board has no node " + m.path);
    it->second.mode = m.mode.value_or(it->second.mode);
    it->second.uid = m.uid.value_or(it->second.uid);
    it->second.gid = m.gid.value_or(it->second.gid);
  }
}

void Board::add_faults() {
  for (const FaultRecord &f : scenario_.faults) {
    if (f.missing) {
      auto it = nodes_.find(f.node);
      if (it == nodes_.end()) throw error(f.where, "fault: the board has no node " + f.node);
      it->second.present = [](std::uint64_t) { return false; };
      continue;
    }
    I2cAdapter *ad = adapter(f.adapter);
    if (!ad) throw error(f.where, "fault: no adapter " + std::to_string(f.adapter));
    ad->add_fault(f.i2c);
  }
}

}  // namespace tsim
