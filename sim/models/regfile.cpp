// Register-file slave: a pointer set by the first byte written, then bytes read or written at
// the pointer, which advances. Contents come from an i2cdump-style dump and are shared by all
// processes of the run.
#include <cstring>
#include <stdexcept>
#include <string>

#include "board.h"
#include "i2c_slave.h"
#include "regfile.h"
#include "scenario.h"
#include "shm.h"

namespace tsim {

std::string parse_dump(std::string_view text, std::span<std::uint8_t> regs) {
  std::size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    // Rows look like "a0: 01 02 XX ...    ascii": the row offset, then fixed 3-column cells.
    if (line.size() < 4 || line[2] != ':' || line[3] != ' ') continue;
    unsigned row;
    try {
      std::size_t used = 0;
      row = static_cast<unsigned>(std::stoul(std::string(line.substr(0, 2)), &used, 16));
      if (used != 2) continue;
    } catch (const std::exception &) {
      continue;
    }
    for (unsigned j = 0; j < 16; ++j) {
      std::size_t col = 4 + 3 * j;
      if (col + 2 > line.size()) break;
      std::string cell(line.substr(col, 2));
      if (cell == "  " || cell == "XX") continue;
      char *end = nullptr;
      unsigned long v = std::strtoul(cell.c_str(), &end, 16);
      if (end != cell.c_str() + 2) return "dump line " + std::to_string(line_no) + ": bad cell \"" + cell + "\"";
      unsigned reg = row + j;
      if (reg < regs.size()) regs[reg] = static_cast<std::uint8_t>(v);
    }
  }
  return {};
}

namespace {

class RegFile final : public I2cSlave {
 public:
  explicit RegFile(std::span<std::uint8_t> mem) : regs_(mem.first(mem.size() - 1)), ptr_(mem.back()) {}

  bool write(std::span<const std::uint8_t> data) override {
    if (data.empty()) return true;
    ptr_ = static_cast<std::uint8_t>(data[0] % regs_.size());
    for (std::size_t i = 1; i < data.size(); ++i) {
      regs_[ptr_] = data[i];
      advance();
    }
    return true;
  }

  bool read(std::span<std::uint8_t> out) override {
    for (auto &b : out) {
      b = regs_[ptr_];
      advance();
    }
    return true;
  }

 private:
  void advance() { ptr_ = static_cast<std::uint8_t>((ptr_ + 1u) % regs_.size()); }
  std::span<std::uint8_t> regs_;
  std::uint8_t &ptr_;
};

std::unique_ptr<I2cSlave> make_regfile(const toml::table &t, Board &board) {
  using namespace scenario;
  auto size = static_cast<std::size_t>(get_int(t, "size", 256, 1, 256));
  int adapter = static_cast<int>(get_int(t, "adapter", 2, 0, 255));
  int addr = static_cast<int>(get_int(t, "addr", 0, 0, 0x7f));
  bool created = false;
  auto mem = board.shared_bytes("regfile:" + std::to_string(adapter) + ":" + std::to_string(addr), size + 1,
                                &created);
  if (created) {
    auto regs = mem.first(size);
    std::memset(regs.data(), static_cast<int>(get_int(t, "fill", 0, 0, 255)), size);
    std::string dump = get_string(t, "dump", "");
    if (!dump.empty() && dump.find('\n') == std::string::npos) {
      std::string path = board.scenario_path(dump);
      if (!read_file_raw(path, &dump)) throw std::runtime_error("cannot read dump file " + path);
    }
    std::string err = parse_dump(dump, regs);
    if (!err.empty()) throw std::runtime_error(err);
    if (auto *init = t["registers"].as_table()) {
      for (auto &&[k, v] : *init) {
        unsigned long reg = std::stoul(std::string(k.str()), nullptr, 0);
        if (reg >= size) throw error(v, "registers: register " + std::string(k.str()) + " beyond size");
        regs[reg] = static_cast<std::uint8_t>(int_value(v, "registers", 0, 255));
      }
    }
  }
  return std::make_unique<RegFile>(mem);
}

const SlaveModelRegistrar reg("regfile", make_regfile);

}  // namespace
}  // namespace tsim
