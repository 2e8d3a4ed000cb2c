// The model registry, filled by the models' static registrations.
#include "registry.h"

#include <map>

namespace tsim {

namespace {

// Never freed: the preload's threads may still look models up while the process exits.
std::map<std::string, ModelInfo, std::less<>> &models() {
  static auto *m = new std::map<std::string, ModelInfo, std::less<>>;
  return *m;
}

}  // namespace

void register_model(ModelInfo info) {
  std::string name = info.name;
  models()[name] = std::move(info);
}

const ModelInfo *find_model(std::string_view name) {
  auto it = models().find(name);
  return it == models().end() ? nullptr : &it->second;
}

}  // namespace tsim
