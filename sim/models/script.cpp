// Scripted serial replies (see script.h).
#include "script.h"

#include <algorithm>

#include "../board.h"
#include "../registry.h"

namespace tsim {

namespace {
constexpr std::size_t kKeptInput = 4096;
}  // namespace

ScriptModel::ScriptModel(const ModelEntry &entry, Board &board) {
  if (!board.scenario().serial) return;
  for (const ScriptRule &r : board.scenario().serial->scripts)
    if (r.node == entry.id) add_rule(r);
}

void ScriptModel::add_rule(const ScriptRule &rule) {
  rules_.push_back({rule});
}

void ScriptModel::send(std::string bytes, std::uint64_t due_us) {
  pending_.push_back({due_us, std::move(bytes)});
}

void ScriptModel::clear() {
  rules_.clear();
  pending_.clear();
}

void ScriptModel::received(std::span<const std::uint8_t> bytes, std::uint64_t now_us) {
  input_.append(bytes.begin(), bytes.end());
  for (;;) {
    std::size_t best = std::string::npos;
    Rule *hit = nullptr;
    for (Rule &r : rules_) {
      if (r.used) continue;
      const std::size_t at = input_.find(r.rule.expect);
      if (at != std::string::npos && (best == std::string::npos || at < best)) {
        best = at;
        hit = &r;
      }
    }
    if (!hit) break;
    input_.erase(0, best + hit->rule.expect.size());
    send(hit->rule.reply, now_us + hit->rule.delay_ms * 1000ULL);
    if (hit->rule.once) hit->used = true;
  }
  if (input_.size() > kKeptInput) input_.erase(0, input_.size() - kKeptInput);
}

std::uint64_t ScriptModel::output(std::uint64_t now_us, std::vector<std::string> &due) {
  std::uint64_t next = kNever;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->due_us <= now_us) {
      due.push_back(std::move(it->bytes));
      it = pending_.erase(it);
    } else {
      next = std::min(next, it->due_us);
      ++it;
    }
  }
  return next;
}

namespace {
const RegisterModel<ScriptModel> kRegister(kSerialScriptModel);
}  // namespace

}  // namespace tsim
