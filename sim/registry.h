// Device models by the name a scenario gives them. A model is a class in sim/models/ that
// declares the keys of its scenario entry (`static constexpr std::array<Key, N> kKeys`), is built
// from its entry (`M(const ModelEntry &, Board &)`, throwing ScenarioError or std::exception to
// refuse the scenario) and registers itself once:
//
//   const RegisterModel<MyModel> kRegister("mymodel");
//
// Its interface says where it can go: an I2cSlave in [[i2c.slave]], a SerialModel in
// [[serial.device]], a VideoModel in [[video.device]] (whose entry also takes the keys of the
// video node, VideoNode::kKeys), a SysfsModel in [pwm].
#pragma once

#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "i2c_slave.h"
#include "model_entry.h"
#include "serial_model.h"
#include "sysfs_model.h"
#include "video_model.h"
#include "video_node.h"

namespace tsim {

class Board;

struct ModelInfo {
  std::string name;
  NodeKind kind = NodeKind::none;  // i2c, serial or video
  std::span<const Key> keys;
  std::unique_ptr<I2cSlave> (*i2c)(const ModelEntry &, Board &) = nullptr;
  std::unique_ptr<SerialModel> (*serial)(const ModelEntry &, Board &) = nullptr;
  std::unique_ptr<VideoModel> (*video)(const ModelEntry &, Board &) = nullptr;
  std::unique_ptr<SysfsModel> (*sysfs)(const ModelEntry &, Board &) = nullptr;
};

// Callable from static initialisers; a later registration of a name replaces the earlier one.
void register_model(ModelInfo info);
// Null for a name nobody registered.
const ModelInfo *find_model(std::string_view name);
// Every registered model, by name.
std::vector<const ModelInfo *> all_models();

// A key of the scenario's own tables ([world], [[i2c.adapter]], ...), as the reference lists it.
struct TableKey {
  const char *name, *type, *range, *def, *doc;
};
// One of those tables: its header as a scenario writes it, what it is for, and its keys.
struct TableInfo {
  const char *header, *doc;
  std::span<const TableKey> keys;
};
// The scenario's own tables, in the order the reference lists them.
std::span<const TableInfo> scenario_tables();

// Where a model of `kind` goes in a scenario: "[[i2c.slave]]", "[[serial.device]]", ...
const char *entry_header(NodeKind kind);

// The keys `a` and then `b`.
template <std::size_t A, std::size_t B>
constexpr std::array<Key, A + B> join_keys(const std::array<Key, A> &a,
                                           const std::array<Key, B> &b) {
  std::array<Key, A + B> out{};
  std::copy(a.begin(), a.end(), out.begin());
  std::copy(b.begin(), b.end(), out.begin() + A);
  return out;
}

static_assert(std::all_of(VideoNode::kKeys.begin(), VideoNode::kKeys.end(), default_fits),
              "a key's default fits its type and range");

// The keys a [[video.device]] entry with the model M takes.
template <class M>
inline constexpr auto kVideoKeys = join_keys(VideoNode::kKeys, M::kKeys);

template <class M>
struct RegisterModel {
  static_assert(std::all_of(M::kKeys.begin(), M::kKeys.end(), default_fits),
                "a key's default fits its type and range");
  explicit RegisterModel(const char *name) {
    ModelInfo info{name, NodeKind::none, M::kKeys};
    if constexpr (std::is_base_of_v<I2cSlave, M>) {
      info.kind = NodeKind::i2c;
      info.i2c = [](const ModelEntry &e, Board &b) -> std::unique_ptr<I2cSlave> {
        return std::make_unique<M>(e, b);
      };
    } else if constexpr (std::is_base_of_v<SerialModel, M>) {
      info.kind = NodeKind::serial;
      info.serial = [](const ModelEntry &e, Board &b) -> std::unique_ptr<SerialModel> {
        return std::make_unique<M>(e, b);
      };
    } else if constexpr (std::is_base_of_v<SysfsModel, M>) {
      info.kind = NodeKind::pwm;
      info.sysfs = [](const ModelEntry &e, Board &b) -> std::unique_ptr<SysfsModel> {
        return std::make_unique<M>(e, b);
      };
    } else {
      static_assert(std::is_base_of_v<VideoModel, M>,
                    "a model is an I2C, serial, sysfs or video model");
      info.kind = NodeKind::video;
      info.keys = kVideoKeys<M>;
      info.video = [](const ModelEntry &e, Board &b) -> std::unique_ptr<VideoModel> {
        return std::make_unique<M>(e, b);
      };
    }
    register_model(std::move(info));
  }
};

}  // namespace tsim
