// Register-file slave (model = "regfile"): the first byte written sets the register pointer;
// further bytes written, and bytes read, go to or come from the pointer, which moves on by one
// and wraps at `size`. Contents are shared by all processes of the run.
//
// Scenario entry:
//   [[i2c.slave]]
//   adapter = 2
//   addr = 0x50
//   model = "regfile"
//   size = 256                   registers, 1 to 256
//   fill = 0x00                  value of the registers the dump and `registers` do not give
//   dump = "eeprom.txt"          i2cdump output: a file (relative to the scenario, at most
//                                kDumpFileMax bytes) or the rows themselves ("""...""")
//   registers = { "0x10" = 0x42 }  single registers, after the dump
// A dump cell or a register beyond `size` is refused.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "../i2c_slave.h"
#include "../scenario.h"

namespace tsim {

class Board;

class RegFileModel final : public I2cSlave {
 public:
  static constexpr std::array kKeys{
      Key{"size", Key::Type::integer, 1, 256, 256, "registers"},
      Key{"fill", Key::Type::integer, 0, 255, 0, "value of the registers nothing else sets"},
      Key{.name = "dump",
          .type = Key::Type::string,
          .def = "",
          .doc = "i2cdump output: a file, or the rows themselves"},
      Key{.name = "registers",
          .type = Key::Type::registers,
          .lo = 0,
          .hi = 255,
          .doc = "single registers, after the dump: { \"0x10\" = 0x42 }"},
  };

  RegFileModel(const ModelEntry &entry, Board &board);
  bool write(std::span<const std::uint8_t> data) override;
  bool read(std::span<std::uint8_t> out) override;

 private:
  void advance() { *ptr_ = static_cast<std::uint8_t>((*ptr_ + 1u) % regs_.size()); }
  std::span<std::uint8_t> regs_;
  std::uint8_t *ptr_;  // kept with the registers, shared too
};

// Fills `regs` from i2cdump-style rows ("10: 01 02 XX ..."); cells marked XX stay as they are.
// Returns "" or a message naming the bad line ("dump line 3: ...").
std::string parse_dump(std::string_view text, std::span<std::uint8_t> regs);

}  // namespace tsim
