// Scripted serial replies (model = "script"): when the bytes a rule expects have arrived from the
// program, its reply goes out after the rule's delay. Rules come from the scenario's
// [[serial.script]] entries for the node, and from tests (tarsa_sim_serial_script); tests may
// also send bytes unasked. Every serial node has one, beside its own model when it has another.
//
// Scenario: [[serial.device]] node = "/dev/ttyO0" with model = "script" (or the node listed in
// [serial] nodes), and rules
//   [[serial.script]]
//   node = "/dev/ttyO0"    default
//   expect = "~#CalcStop`" non-empty
//   reply = "~!CalcStop`"
//   delay_ms = 0           0 to 600000
//   once = false           true: the rule fires a single time
// Matching: the earliest match in the bytes received so far wins; it and everything before it
// are consumed; the last 4096 unmatched bytes are kept.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "../model_entry.h"
#include "../serial_model.h"

namespace tsim {

class Board;

class ScriptModel final : public SerialScript {
 public:
  static constexpr std::array<Key, 0> kKeys{};

  ScriptModel(const ModelEntry &entry, Board &board);

  void add_rule(const ScriptRule &rule) override;
  void send(std::string bytes, std::uint64_t due_us) override;
  void clear() override;

  void received(std::span<const std::uint8_t> bytes, std::uint64_t now_us) override;
  std::uint64_t output(std::uint64_t now_us, std::vector<std::string> &due) override;

 private:
  struct Rule {
    ScriptRule rule;
    bool used = false;
  };
  struct Pending {
    std::uint64_t due_us;
    std::string bytes;
  };
  std::vector<Rule> rules_;
  std::deque<Pending> pending_;
  std::string input_;
};

}  // namespace tsim
