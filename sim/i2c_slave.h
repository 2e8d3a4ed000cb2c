// Interface of an I2C slave model: one call per message of a transfer, under the simulator lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include <toml++/toml.h>

namespace tsim {

class Board;

class I2cSlave {
 public:
  virtual ~I2cSlave() = default;
  // A write message (empty for an SMBus quick write). false = no acknowledge.
  virtual bool write(std::span<const std::uint8_t> data) = 0;
  // A read message: fill `out` (empty for an SMBus quick read). false = no acknowledge.
  virtual bool read(std::span<std::uint8_t> out) = 0;
};

// Builds a slave from its scenario entry ([[i2c.slave]] table: adapter, addr, model, ...).
// May throw std::exception with a readable message; the scenario is then refused.
using SlaveFactory =
    std::function<std::unique_ptr<I2cSlave>(const toml::table &entry, Board &board)>;

// Registers the model kind named by `model = "<kind>"` in a scenario. Callable from static
// initialisers; a later registration of the same kind replaces the earlier one.
void register_slave_model(const std::string &kind, SlaveFactory f);

struct SlaveModelRegistrar {
  SlaveModelRegistrar(const std::string &kind, SlaveFactory f);
};

}  // namespace tsim
