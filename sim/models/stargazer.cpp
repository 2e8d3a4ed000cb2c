// Model of the StarGazer localisation sensor (see stargazer.h for the protocol and the keys).
#include "stargazer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <type_traits>

#include "../board.h"
#include "../registry.h"
#include "../world.h"

namespace tsim {

namespace {

constexpr std::array<const char *, 6> kTypes{"HLD1S", "HLD1L", "HLD2S", "HLD2L", "HLD3S", "HLD3L"};
constexpr std::array<const char *, 2> kModes{"Alone", "Map"};
constexpr std::array<const char *, 2> kHeightFix{"No", "Yes"};

template <std::size_t N>
int index_of(const std::array<const char *, N> &table, const std::string &name) {
  for (std::size_t i = 0; i < N; ++i)
    if (name == table[i]) return static_cast<int>(i);
  return -1;
}

// A table-valued key of the entry, refused with its place when it names nothing in the table.
template <std::size_t N>
std::uint8_t table_key(const ModelEntry &entry, const char *key,
                       const std::array<const char *, N> &table) {
  const std::string v = entry.params.string(key);
  const int i = index_of(table, v);
  if (i < 0) {
    std::string names;
    for (const char *n : table) names += std::string(names.empty() ? "" : ", ") + n;
    throw error(entry.params.where(key), std::string(key) + ": \"" + v + "\" is none of " + names);
  }
  return static_cast<std::uint8_t>(i);
}

// A decimal integer, all of the text.
bool parse_int(const std::string &s, std::int32_t *out) {
  if (s.empty() || s.size() > 9) return false;
  std::size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return false;
  std::int32_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *out = s[0] == '-' ? -v : v;
  return true;
}

}  // namespace

StarGazerModel::StarGazerModel(const ModelEntry &entry, Board &board)
    : board_(board),
      world_(World::attach(board)),
      version_(entry.params.string("version")),
      period_us_(1000000 / static_cast<std::uint64_t>(entry.params.integer("rate_hz"))),
      latency_us_(static_cast<std::uint64_t>(entry.params.integer("latency_ms")) * 1000),
      update_us_(static_cast<std::uint64_t>(entry.params.integer("update_ms")) * 1000),
      split_us_(static_cast<std::uint64_t>(entry.params.integer("split_ms")) * 1000),
      garbage_us_(0),
      offset_mm_(entry.params.number("offset_mm")),
      offset_rad_(entry.params.number("offset_deg") * std::numbers::pi / 180.0),
      view_mm_(entry.params.number("view_mm")),
      noise_cm_(entry.params.number("noise_cm")),
      heading_noise_deg_(entry.params.number("heading_noise_deg")),
      silent_(entry.params.boolean("silent")),
      flood_(entry.params.boolean("flood")),
      rng_(board.seed() * 0x9E3779B97F4A7C15ULL + 0x5347) {
  if (const auto hz = entry.params.integer("garbage_hz"); hz > 0)
    garbage_us_ = 1000000 / static_cast<std::uint64_t>(hz);
  if (version_.find('`') != std::string::npos || version_.size() > 200)
    throw error(entry.params.where("version"), "version: at most 200 characters, no backtick");
  for (const Landmark &l : world_->landmarks())
    if (l.z <= kSensorZ)
      throw error(l.where, "world.landmarks: landmark " + std::to_string(l.id) +
                               " is not above the sensor (" +
                               std::to_string(static_cast<int>(kSensorZ)) + " mm)");
  static_assert(std::is_trivially_copyable_v<State>);
  bool created = false;
  auto bytes = board.shared_bytes("stargazer:" + entry.id, sizeof(State), &created);
  // Implicit-lifetime type in mapped memory; a new block comes zero-filled.
  state_ = reinterpret_cast<State *>(bytes.data());
  const std::uint8_t type = table_key(entry, "mark_type", kTypes);
  const std::uint8_t mode = table_key(entry, "mark_mode", kModes);
  const std::uint8_t fix = table_key(entry, "height_fix", kHeightFix);
  if (created) {
    State &s = *state_;
    s.initialised = 1;
    s.mark_type = type;
    s.mark_mode = mode;
    s.height_fix = fix;
    s.id_num = static_cast<std::int32_t>(entry.params.integer("id_num"));
    s.ref_id = static_cast<std::int32_t>(entry.params.integer("ref_id"));
  }
}

void StarGazerModel::received(std::span<const std::uint8_t> bytes, std::uint64_t now_us) {
  if (silent_) return;
  input_.append(bytes.begin(), bytes.end());
  for (;;) {
    const std::size_t start = input_.find('~');
    if (start == std::string::npos) {
      input_.clear();
      return;
    }
    const std::size_t end = input_.find('`', start);
    if (end == std::string::npos) {
      input_.erase(0, start);
      if (input_.size() > 4096) input_.clear();  // no message is that long
      return;
    }
    // A tilde inside starts the message again: what came before it was not one.
    const std::size_t last = input_.rfind('~', end);
    const std::string text = input_.substr(last, end + 1 - last);
    input_.erase(0, end + 1);
    message(text, now_us);
  }
}

void StarGazerModel::message(const std::string &text, std::uint64_t now_us) {
  if (text.size() < 3) return;
  const std::string body = text.substr(2, text.size() - 3);
  const std::size_t bar = body.find('|');
  const std::string name = body.substr(0, bar);
  const std::string value = bar == std::string::npos ? "" : body.substr(bar + 1);
  const std::uint64_t at = now_us + latency_us_;
  State &s = *state_;
  std::string ack = text;
  ack[1] = '!';
  if (text[1] == '@') {
    if (bar != std::string::npos) return;
    std::string v = read_parameter(name);
    if (!v.empty()) answer("~$" + name + "|" + v + "`", at);
    return;
  }
  if (text[1] != '#') return;
  if (bar == std::string::npos) {
    if (name == "CalcStop") {
      s.computing = 0;
      s.map_mode = 0;
    } else if (name == "CalcStart") {
      if (s.computing == 0) next_record_us_ = at + period_us_;
      s.computing = 1;
      s.map_mode = 0;
    } else if (name == "SetEnd") {
      answer(ack, at);
      answer("~!ParameterUpdate`", at + update_us_);
      return;
    } else {
      return;
    }
    answer(ack, at);
    return;
  }
  if (name == "MapMode") {
    if (value != "Start") return;
    if (s.computing == 0) next_record_us_ = at + period_us_;
    s.computing = 1;
    s.map_mode = 1;
    answer(ack, at);
    return;
  }
  if (write_parameter(name, value)) answer(ack, at);
}

bool StarGazerModel::write_parameter(const std::string &name, const std::string &value) {
  State &s = *state_;
  std::int32_t n = 0;
  if (name == "IDNum" || name == "RefID") {
    if (!parse_int(value, &n) || n < 0 || n > 4095) return false;
    (name == "IDNum" ? s.id_num : s.ref_id) = n;
    return true;
  }
  int i = -1;
  if (name == "MarkType" && (i = index_of(kTypes, value)) >= 0)
    s.mark_type = static_cast<std::uint8_t>(i);
  if (name == "MarkMode" && (i = index_of(kModes, value)) >= 0)
    s.mark_mode = static_cast<std::uint8_t>(i);
  if (name == "HeightFix" && (i = index_of(kHeightFix, value)) >= 0)
    s.height_fix = static_cast<std::uint8_t>(i);
  return i >= 0;
}

std::string StarGazerModel::read_parameter(const std::string &name) const {
  const State &s = *state_;
  if (name == "IDNum") return std::to_string(s.id_num);
  if (name == "RefID") return std::to_string(s.ref_id);
  if (name == "MarkType") return kTypes[s.mark_type % kTypes.size()];
  if (name == "MarkMode") return kModes[s.mark_mode % kModes.size()];
  if (name == "HeightFix") return kHeightFix[s.height_fix % kHeightFix.size()];
  if (name == "Version") return version_;
  return "";
}

void StarGazerModel::answer(std::string text, std::uint64_t at_us) {
  // Kept in order of time, so that a later answer never overtakes an earlier one.
  auto it = std::upper_bound(pending_.begin(), pending_.end(), at_us,
                             [](std::uint64_t t, const Pending &p) { return t < p.due_us; });
  pending_.insert(it, Pending{at_us, std::move(text)});
}

std::string StarGazerModel::measurement(std::uint64_t now_us) {
  const Pose p = world_->pose(now_us);
  const double sx = p.x + offset_mm_ * std::cos(p.heading + offset_rad_);
  const double sy = p.y + offset_mm_ * std::sin(p.heading + offset_rad_);
  const Landmark *seen = nullptr;
  double best = view_mm_;
  for (const Landmark &l : world_->landmarks()) {
    const double d = std::hypot(l.x - sx, l.y - sy);
    if (d <= best) {
      best = d;
      seen = &l;
    }
  }
  if (seen == nullptr) return "~*DeadZone`";
  char buf[160];
  if (state_->map_mode != 0) {
    std::snprintf(buf, sizeof buf, "~*MAPID|%d`", seen->id);
    return buf;
  }
  std::normal_distribution<double> gauss;
  const double nx = noise_cm_ * gauss(rng_), ny = noise_cm_ * gauss(rng_);
  const double nh = heading_noise_deg_ * gauss(rng_);
  // The sensor's heading turns clockwise, zero a quarter turn from the robot's.
  double a = std::remainder(90.0 - p.heading * 180.0 / std::numbers::pi + nh, 360.0);
  if (a <= -180.0) a += 360.0;
  std::snprintf(buf, sizeof buf, "~^%c%d|%.2f|%.2f|%.2f|%.2f`", state_->mark_mode != 0 ? 'M' : 'I',
                seen->id, a, (sx - seen->x) / 10.0 + nx, (sy - seen->y) / 10.0 + ny,
                (seen->z - kSensorZ) / 10.0);
  return buf;
}

std::string StarGazerModel::burst(std::uint64_t now_us) {
  const std::string m = measurement(now_us);
  std::string b;
  while (b.size() <= kFloodBytes) b += m;
  return b;
}

void StarGazerModel::flushed(std::uint64_t now_us) {
  if (flood_ && !silent_ && state_->computing != 0) answer(burst(now_us), now_us);
}

std::string StarGazerModel::garbage() {
  static constexpr char kJunk[] = "#%&*+-/0123456789:;<=>?ABCXYZabcxyz|";
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kJunk - 2), len(1, 12);
  std::string s(len(rng_), ' ');
  for (char &c : s) c = kJunk[pick(rng_)];
  return s;
}

std::uint64_t StarGazerModel::output(std::uint64_t now_us, std::vector<std::string> &due) {
  if (silent_) return kNever;
  // Answers and second halves of records due by now, and any junk on the line, in time order.
  while (!pending_.empty() && pending_.front().due_us <= now_us) {
    due.push_back(std::move(pending_.front().bytes));
    pending_.pop_front();
  }
  if (garbage_us_ != 0) {
    if (next_garbage_us_ == 0) next_garbage_us_ = now_us + garbage_us_;
    if (next_garbage_us_ <= now_us) {
      due.push_back(garbage());
      next_garbage_us_ = now_us + garbage_us_;
    }
  }
  std::uint64_t next = pending_.empty() ? kNever : pending_.front().due_us;
  if (garbage_us_ != 0) next = std::min(next, next_garbage_us_);
  if (state_->computing == 0) return next;
  // A process that meets a sensor already computing, or one that fell behind, starts afresh:
  // the records it missed went out on nobody's line.
  if (next_record_us_ == 0 || next_record_us_ + period_us_ < now_us)
    next_record_us_ = now_us + period_us_;
  if (next_record_us_ <= now_us) {
    next_record_us_ += period_us_;
    std::string m = flood_ ? burst(now_us) : measurement(now_us);
    if (split_us_ != 0 && m.size() > 1) {
      const std::size_t half = m.size() / 2;
      answer(m.substr(half), now_us + split_us_);
      m.resize(half);
      next = std::min(next, now_us + split_us_);
    }
    due.push_back(std::move(m));
  }
  return std::min(next, next_record_us_);
}

namespace {
const RegisterModel<StarGazerModel> kRegister("stargazer");
}  // namespace

}  // namespace tsim
