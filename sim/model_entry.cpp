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

const char *type_name(Key::Type type) {
  switch (type) {
    case Key::Type::integer:
      return "integer";
    case Key::Type::number:
      return "number";
    case Key::Type::boolean:
      return "boolean";
    case Key::Type::string:
      return "string";
    case Key::Type::registers:
      return "registers";
  }
  return "?";
}

// ---- model parameters -----------------------------------------------------------------------

std::pair<const Key *, const Params::Value *> Params::find(std::string_view key,
                                                           Key::Type type) const {
  const auto k = std::find_if(keys_.begin(), keys_.end(),
                              [&](const Key &x) { return key == x.name && x.type == type; });
  if (k == keys_.end()) throw std::logic_error("model reads undeclared key " + std::string(key));
  auto it = values_.find(key);
  return {&*k, it == values_.end() ? nullptr : &it->second};
}

const Params::Value *Params::find(std::string_view key, Key::Type type, bool with_default) const {
  const auto [k, v] = find(key, type);
  if (with_default != (k->def.kind != Key::Default::Kind::none))
    throw std::logic_error(std::string("model reads key ") + k->name +
                           (with_default ? " without the default it declares"
                                         : " with a default besides the one it declares"));
  return v;
}

std::int64_t Params::integer(std::string_view key) const {
  const Value *v = find(key, Key::Type::integer, true);
  return v ? v->integer : find(key, Key::Type::integer).first->def.integer;
}

double Params::number(std::string_view key) const {
  const Value *v = find(key, Key::Type::number, true);
  return v ? v->number : find(key, Key::Type::number).first->def.number;
}

bool Params::boolean(std::string_view key) const {
  const Value *v = find(key, Key::Type::boolean, true);
  return v ? v->boolean : find(key, Key::Type::boolean).first->def.boolean;
}

std::string Params::string(std::string_view key) const {
  const Value *v = find(key, Key::Type::string, true);
  return v ? v->text : find(key, Key::Type::string).first->def.text;
}

std::int64_t Params::integer(std::string_view key, std::int64_t def) const {
  const Value *v = find(key, Key::Type::integer, false);
  return v ? v->integer : def;
}

double Params::number(std::string_view key, double def) const {
  const Value *v = find(key, Key::Type::number, false);
  return v ? v->number : def;
}

bool Params::boolean(std::string_view key, bool def) const {
  const Value *v = find(key, Key::Type::boolean, false);
  return v ? v->boolean : def;
}

std::string Params::string(std::string_view key, const std::string &def) const {
  const Value *v = find(key, Key::Type::string, false);
  return v ? v->text : def;
}

std::vector<Params::Register> Params::registers(std::string_view key) const {
  const Value *v = find(key, Key::Type::registers).second;
  return v ? v->registers : std::vector<Register>{};
}

Where Params::where(std::string_view key) const {
  auto it = values_.find(key);
  return it == values_.end() ? entry_ : it->second.where;
}

}  // namespace tsim
