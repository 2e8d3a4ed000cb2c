// Interface of an I2C slave model: one call per message of a transfer, under the simulator lock.
#pragma once

#include <cstdint>
#include <span>

namespace tsim {

class I2cSlave {
 public:
  virtual ~I2cSlave() = default;
  // Whether the slave acknowledges its address now. A slave does on every transfer, whatever it
  // then makes of the data; false only while it cannot answer at all (held in reset).
  virtual bool address() { return true; }
  // A write message with at least one byte. false = the data is not acknowledged.
  virtual bool write(std::span<const std::uint8_t> data) = 0;
  // A read message of at least one byte: fill `out`. false = no acknowledge.
  virtual bool read(std::span<std::uint8_t> out) = 0;
};

}  // namespace tsim
