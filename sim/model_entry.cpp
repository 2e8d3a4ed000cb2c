// Model entries: the values of the keys a model declared, and messages that say where.
#include "model_entry.h"

#include <algorithm>
#include <sstream>

namespace tsim {

ScenarioError error(const Where &at, const std::string &what) {
  std::ostringstream os;
  if (!at.file.empty()) os << at.file << ":";
  os << at.line << ":" << at.column << ": " << what;
  return ScenarioError(os.str());
}

// ---- model parameters -----------------------------------------------------------------------

const Params::Value *Params::find(std::string_view key, Key::Type type) const {
  const bool declared = std::any_of(keys_.begin(), keys_.end(),
                                    [&](const Key &k) { return key == k.name && k.type == type; });
  if (!declared) throw std::logic_error("model reads undeclared key " + std::string(key));
  auto it = values_.find(key);
  return it == values_.end() ? nullptr : &it->second;
}

std::int64_t Params::integer(std::string_view key, std::int64_t def) const {
  const Value *v = find(key, Key::Type::integer);
  return v ? v->integer : def;
}

double Params::number(std::string_view key, double def) const {
  const Value *v = find(key, Key::Type::number);
  return v ? v->number : def;
}

bool Params::boolean(std::string_view key, bool def) const {
  const Value *v = find(key, Key::Type::boolean);
  return v ? v->boolean : def;
}

std::string Params::string(std::string_view key, const std::string &def) const {
  const Value *v = find(key, Key::Type::string);
  return v ? v->text : def;
}

std::vector<Params::Register> Params::registers(std::string_view key) const {
  const Value *v = find(key, Key::Type::registers);
  return v ? v->registers : std::vector<Register>{};
}

Where Params::where(std::string_view key) const {
  auto it = values_.find(key);
  return it == values_.end() ? entry_ : it->second.where;
}

}  // namespace tsim
