// Register-file slave (see regfile.h): contents from an i2cdump-style dump, shared by all
// processes of the run.
#include "regfile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "../board.h"
#include "../registry.h"
#include "../shm.h"

namespace tsim {

namespace {
std::string reg_name(unsigned reg) {
  char name[12];
  std::snprintf(name, sizeof name, "0x%02x", reg);
  return name;
}
}  // namespace

std::string parse_dump(std::string_view text, std::span<std::uint8_t> regs) {
  std::size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    // Rows look like "a0: 01 02 XX ...    ascii": the row offset, then fixed 3-column cells.
    if (line.size() < 4 || line[2] != ':' || line[3] != ' ') continue;
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (!hex(line[0]) || !hex(line[1])) continue;
    const auto row = static_cast<unsigned>(std::stoul(std::string(line.substr(0, 2)), nullptr, 16));
    for (unsigned j = 0; j < 16; ++j) {
      std::size_t col = 4 + 3 * j;
      if (col + 2 > line.size()) break;
      std::string cell(line.substr(col, 2));
      if (cell == "  " || cell == "XX") continue;
      char *end = nullptr;
      unsigned long v = std::strtoul(cell.c_str(), &end, 16);
      const std::string where = "dump line " + std::to_string(line_no) + ": ";
      if (end != cell.c_str() + 2) return where + "bad cell \"" + cell + "\"";
      const unsigned reg = row + j;
      if (reg >= regs.size())
        return where + "register " + reg_name(reg) + " beyond size " + std::to_string(regs.size());
      regs[reg] = static_cast<std::uint8_t>(v);
    }
  }
  return {};
}

RegFileModel::RegFileModel(const ModelEntry &entry, Board &board) {
  const Params &p = entry.params;
  const auto size = static_cast<std::size_t>(p.integer("size"));
  bool created = false;
  auto mem = board.shared_bytes("regfile:" + entry.id, size + 1, &created);
  regs_ = mem.first(size);
  ptr_ = &mem.back();
  if (!created) return;
  std::memset(regs_.data(), static_cast<int>(p.integer("fill")), size);
  std::string dump = p.string("dump");
  if (!dump.empty() && dump.find('\n') == std::string::npos) {
    const std::string path = board.scenario_path(dump);
    if (!read_file_raw(path, &dump, kDumpFileMax)) {
      throw error(p.where("dump"),
                  errno == EFBIG
                      ? "dump: " + path + " larger than " + std::to_string(kDumpFileMax) + " bytes"
                      : "dump: cannot read " + path + ": " + std::strerror(errno));
    }
  }
  if (std::string err = parse_dump(dump, regs_); !err.empty()) throw error(p.where("dump"), err);
  for (const Params::Register &r : p.registers("registers")) {
    if (r.number >= size)
      throw error(r.where, "registers: register " + reg_name(r.number) + " beyond size " +
                               std::to_string(size));
    regs_[r.number] = static_cast<std::uint8_t>(r.value);
  }
}

bool RegFileModel::write(std::span<const std::uint8_t> data) {
  *ptr_ = static_cast<std::uint8_t>(data[0] % regs_.size());
  for (std::size_t i = 1; i < data.size(); ++i) {
    regs_[*ptr_] = data[i];
    advance();
  }
  return true;
}

bool RegFileModel::read(std::span<std::uint8_t> out) {
  for (auto &b : out) {
    b = regs_[*ptr_];
    advance();
  }
  return true;
}

namespace {
const RegisterModel<RegFileModel> kRegister("regfile");
}  // namespace

}  // namespace tsim
