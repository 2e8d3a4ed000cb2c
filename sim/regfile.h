// i2cdump text parsing for the register-file slave.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tsim {
// Fills `regs` from i2cdump-style rows ("10: 01 02 XX ..."); cells marked XX stay as they are.
// Returns "" or a message naming the bad line.
std::string parse_dump(std::string_view text, std::span<std::uint8_t> regs);
}  // namespace tsim
