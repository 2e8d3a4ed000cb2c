// The model registry, filled by the models' static registrations, and the reference of the
// scenario's own tables.
#include "registry.h"

#include <map>

namespace tsim {

namespace {

// Never freed: the preload's threads may still look models up while the process exits.
std::map<std::string, ModelInfo, std::less<>> &models() {
  static auto *m = new std::map<std::string, ModelInfo, std::less<>>;
  return *m;
}

// The scenario's own tables, as the scenario reader takes them (sim/scenario.cpp). "-" for a key
// without a default, which the table needs or does without.
constexpr const char *kFar = "[-1e9, 1e9]";  // mm, anywhere in the world

constexpr TableKey kTop[] = {
    {"seed", "integer", "[0, 2^63-1]", "1", "seed of every noise the models add"},
    {"extends", "string", "", "-", "\"builtin\": this file is laid over the built-in board"},
};
constexpr TableKey kSim[] = {
    {"speed", "number", "[0.1, 100], \"max\"", "1",
     "simulated seconds per wall second, from the start of the run; \"max\": no idle time, the "
     "clock jumps to the next deadline (--speed overrides)"},
};
constexpr TableKey kAdapter[] = {
    {"number", "integer", "[0, 255]", "-", "the adapter's number (needed)"},
    {"node", "string", "", "\"/dev/i2c-<number>\"", "its device node"},
    {"busy", "integers", "[0, 0x7f]", "[]",
     "addresses a kernel driver holds: I2C_SLAVE gets EBUSY"},
};
constexpr TableKey kSlave[] = {
    {"adapter", "integer", "[0, 255]", "2", "the adapter the slave sits on"},
    {"addr", "integer", "[0, 0x7f]", "-", "its 7-bit address (needed)"},
    {"model", "string", "", "-", "its model (needed); the model's keys follow"},
};
constexpr TableKey kGpio[] = {
    {"node", "string", "", "\"/dev/user-gpio\"", "the GPIO driver's node"},
    {"pins", "pins", "[0, 255]", "[]", "pins that exist: numbers or [first, last] ranges"},
    {"high", "pins", "[0, 255]", "[]", "input pins that read high at the start"},
    {"held", "pins", "[0, 255]", "[]", "pins another holder has claimed"},
};
constexpr TableKey kSerial[] = {
    {"nodes", "strings", "", "[]", "ports with scripted replies only (model \"script\")"},
};
constexpr TableKey kSerialDevice[] = {
    {"node", "string", "", "-", "the port's node (needed)"},
    {"model", "string", "", "\"script\"", "the device on it; the model's keys follow"},
};
constexpr TableKey kScript[] = {
    {"node", "string", "", "\"/dev/ttyO0\"", "the port (a serial node of the scenario)"},
    {"expect", "string", "", "-", "what the program writes (needed, not empty)"},
    {"reply", "string", "", "\"\"", "what the port answers"},
    {"delay_ms", "integer", "[0, 600000]", "0", "delay of the reply"},
    {"once", "boolean", "", "false", "the rule answers only once"},
};
constexpr TableKey kPwm[] = {
    {"model", "string", "", "\"pwm\"", "the sysfs PWM chip's model; its keys follow"},
};
constexpr TableKey kVideo[] = {
    {"nodes", "strings", "", "[]", "video nodes with nothing behind them (model \"stub\")"},
};
constexpr TableKey kVideoDevice[] = {
    {"node", "string", "", "-", "the video node (needed)"},
    {"model", "string", "", "\"stub\"", "the device behind it; the node's and model's keys follow"},
};
constexpr TableKey kNode[] = {
    {"path", "string", "", "-", "a node of the scenario (needed)"},
    {"mode", "integer", "[0, 0o7777]", "-", "its permission bits (else the board's: 0660)"},
    {"uid", "integer", "[0, 2^32-1]", "0", "its owner"},
    {"gid", "integer", "[0, 2^32-1]", "-", "its group (else the node kind's)"},
};
constexpr TableKey kFault[] = {
    {"kind", "string", "", "-", "\"nack\", \"error\" (I2C) or \"missing\" (a node) (needed)"},
    {"node", "string", "", "-", "missing: the node that is not there"},
    {"adapter", "integer", "[0, 255]", "2", "nack, error: the adapter"},
    {"addr", "integer", "[0, 0x7f]", "-", "nack, error: the address (needed)"},
    {"after", "integer", "[0, 2^63-1]", "0", "nack: transfers that still succeed first"},
    {"from_ms", "integer", "[0, 2^63/1000]", "-", "nack: from this time of the run on"},
    {"nth", "integer", "[1, 2^63-1]", "1", "error: the first transfer that fails"},
    {"count", "integer", "[1, 2^63-1]", "1", "error: transfers that fail from there"},
    {"errno", "errno", "[1, 4095]", "\"EIO\"", "error: what they fail with, a name or a number"},
};
constexpr TableKey kWorld[] = {
    {"x", "number", kFar, "0", "start position, mm"},
    {"y", "number", kFar, "0", "start position, mm"},
    {"heading", "number", kFar, "0", "start heading, degrees counter-clockwise from +x"},
    {"walls", "walls", kFar, "3 m square room", "wall segments [x1, y1, x2, y2], mm"},
    {"ambient", "integer", "[0, 4095]", "3000", "infrared light level in open space"},
    {"landmarks", "tables", "", "[]", "ceiling landmarks, as [[world.landmarks]]"},
    {"box", "tables", "", "[]", "solid obstacles added to the walls, as [[world.box]]"},
};
constexpr TableKey kLandmark[] = {
    {"id", "integer", "[0, 2^31-1]", "0", "the landmark's number"},
    {"x", "number", kFar, "0", "position, mm"},
    {"y", "number", kFar, "0", "position, mm"},
    {"z", "number", kFar, "2500", "height (the ceiling), mm"},
};
constexpr TableKey kBox[] = {
    {"x", "number", kFar, "-", "centre, mm (needed)"},
    {"y", "number", kFar, "-", "centre, mm (needed)"},
    {"width", "number", "[1, 1e9]", "-", "extent along x, mm (needed)"},
    {"depth", "number", "[1, 1e9]", "-", "extent along y, mm (needed)"},
};

constexpr TableInfo kTables[] = {
    {"(top level)", "the scenario file itself", kTop},
    {"[sim]", "the simulator itself", kSim},
    {"[[i2c.adapter]]", "an I2C adapter", kAdapter},
    {"[[i2c.slave]]", "a device on an adapter", kSlave},
    {"[gpio]", "the GPIO driver", kGpio},
    {"[serial]", "serial ports", kSerial},
    {"[[serial.device]]", "the device on a serial port", kSerialDevice},
    {"[[serial.script]]", "a scripted reply on a serial port", kScript},
    {"[pwm]", "the PWM chip", kPwm},
    {"[video]", "video nodes", kVideo},
    {"[[video.device]]", "the device behind a video node", kVideoDevice},
    {"[[node]]", "permissions of a node", kNode},
    {"[[fault]]", "an injected fault", kFault},
    {"[world]", "the robot's surroundings", kWorld},
    {"[[world.landmarks]]", "one landmark (or inline: landmarks = [{ ... }])", kLandmark},
    {"[[world.box]]", "one axis-aligned box, solid and seen by every sensor", kBox},
};

}  // namespace

void register_model(ModelInfo info) {
  std::string name = info.name;
  models()[name] = std::move(info);
}

const ModelInfo *find_model(std::string_view name) {
  auto it = models().find(name);
  return it == models().end() ? nullptr : &it->second;
}

std::vector<const ModelInfo *> all_models() {
  std::vector<const ModelInfo *> out;
  for (const auto &[name, info] : models()) out.push_back(&info);
  return out;
}

std::span<const TableInfo> scenario_tables() {
  return kTables;
}

const char *entry_header(NodeKind kind) {
  switch (kind) {
    case NodeKind::i2c:
      return "[[i2c.slave]]";
    case NodeKind::serial:
      return "[[serial.device]]";
    case NodeKind::video:
      return "[[video.device]]";
    case NodeKind::pwm:
      return "[pwm]";
    default:
      return "?";
  }
}

}  // namespace tsim
