// Laser range finder on its USB serial node (see lrf.h).
#include "lrf.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <type_traits>

#include "../board.h"
#include "../registry.h"
#include "../world.h"

namespace tsim {

namespace {

constexpr std::size_t kBlock = 64;    // data characters per line of a scan
constexpr std::size_t kMaxLine = 64;  // longer input without an end is dropped
constexpr std::size_t kMaxTag = 16;

char check(std::string_view bytes) {
  unsigned sum = 0;
  for (const char c : bytes) sum += static_cast<unsigned char>(c);
  return static_cast<char>((sum & 0x3F) + 0x30);
}

std::string encode(std::uint32_t value, std::size_t width) {
  std::string out(width, '0');
  for (std::size_t i = width; i-- > 0; value >>= 6)
    out[i] = static_cast<char>((value & 0x3F) + 0x30);
  return out;
}

std::string info(std::string_view key, std::string_view value) {
  std::string line = std::string(key) + ":" + std::string(value);
  return line + ";" + check(line);
}

// The decimal number of `digits`, or -1 when one is not a digit.
int number(std::string_view digits) {
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

LrfModel::Fault fault_named(const ModelEntry &entry) {
  const std::string name = entry.params.string("fault");
  if (name == "none") return LrfModel::Fault::none;
  if (name == "bad_check") return LrfModel::Fault::bad_check;
  if (name == "drop_line") return LrfModel::Fault::drop_line;
  if (name == "silent") return LrfModel::Fault::silent;
  throw error(entry.params.where("fault"),
              "fault: unknown fault \"" + name + "\" (none, bad_check, drop_line, silent)");
}

}  // namespace

LrfModel::LrfModel(const ModelEntry &entry, Board &board)
    : board_(board),
      world_(World::attach(board)),
      power_pin_(static_cast<int>(entry.params.integer("power_gpio"))),
      enumeration_us_(static_cast<std::uint64_t>(entry.params.integer("enumeration_ms")) * 1000),
      noise_mm_(entry.params.number("noise_mm")),
      fault_(fault_named(entry)),
      fault_command_(entry.params.string("fault_command")),
      fault_skip_(static_cast<std::uint64_t>(entry.params.integer("fault_skip"))),
      fault_count_(static_cast<std::uint64_t>(entry.params.integer("fault_count"))) {
  static constexpr std::array<std::string_view, 7> kCommands{"QT", "BM", "PP", "VV",
                                                             "II", "GD", "MD"};
  if (!fault_command_.empty() &&
      std::find(kCommands.begin(), kCommands.end(), fault_command_) == kCommands.end())
    throw error(entry.params.where("fault_command"),
                "fault_command: unknown command \"" + fault_command_ +
                    "\" (QT, BM, PP, VV, II, GD, MD, or \"\" for every command)");
  if (const auto &gpio = board.scenario().gpio; power_pin_ >= 0 && !(gpio && gpio->has(power_pin_)))
    throw error(entry.params.where("power_gpio"),
                "power_gpio: the board has no GPIO " + std::to_string(power_pin_));
  static_assert(std::is_trivially_copyable_v<State>);
  bool created = false;
  auto bytes = board.shared_bytes("scip_lrf:" + entry.id, sizeof(State), &created);
  // Implicit-lifetime type in mapped memory; a new block comes zero-filled.
  state_ = reinterpret_cast<State *>(bytes.data());
  self_ = std::make_shared<LrfModel *>(this);
  if (power_pin_ >= 0)
    board.gpio().on_output(power_pin_, [self = self_](int level) {
      if (*self != nullptr) (*self)->on_power(level);
    });
}

LrfModel::~LrfModel() {
  *self_ = nullptr;
}

bool LrfModel::powered() {
  return power_pin_ < 0 || board_.gpio().level(power_pin_) == 1;
}

void LrfModel::on_power(int level) {
  if (level == 1 && state_->powered == 0) {
    state_->powered = 1;
    state_->powered_at = board_.now_us();
  } else if (level == 0) {
    state_->powered = 0;
    state_->laser = 0;
  }
}

bool LrfModel::present(std::uint64_t now_us) {
  if (!powered()) return false;
  // A pin high from the start (never switched by a program) powered the sensor at time 0.
  const std::uint64_t since = state_->powered != 0 ? state_->powered_at : 0;
  return now_us >= since + enumeration_us_;
}

void LrfModel::received(std::span<const std::uint8_t> bytes, std::uint64_t now_us) {
  if (!present(now_us)) {
    input_.clear();
    return;
  }
  for (const std::uint8_t b : bytes) {
    if (b == '\n' || b == '\r') {
      if (!input_.empty()) command(input_, now_us);
      input_.clear();
    } else if (input_.size() < kMaxLine + kMaxTag + 1) {
      input_ += static_cast<char>(b);
    }
  }
}

std::uint64_t LrfModel::output(std::uint64_t now_us, std::vector<std::string> &due) {
  if (!present(now_us)) {
    pending_.clear();
    streaming_ = false;
    return kNever;
  }
  while (streaming_ && stream_next_us_ <= now_us) {
    // The echo counts the scans still to come down to 00; an endless stream keeps 00.
    const int left = stream_left_ < 0 ? 0 : --stream_left_;
    const std::string echo = stream_echo_ + static_cast<char>('0' + left / 10) +
                             static_cast<char>('0' + left % 10) + stream_tag_;
    state_->laser = 1;
    reply("MD", echo, "99", {scan_data(stream_scan_, stream_next_us_)}, stream_next_us_);
    stream_next_us_ += stream_period_us_;
    if (stream_left_ == 0) streaming_ = false;
  }
  while (!pending_.empty() && pending_.front().due_us <= now_us) {
    due.push_back(std::move(pending_.front().bytes));
    pending_.pop_front();
  }
  std::uint64_t next = pending_.empty() ? kNever : pending_.front().due_us;
  if (streaming_) next = std::min(next, stream_next_us_);
  return next;
}

std::string_view LrfModel::scan_params(std::string_view params, bool stream, Scan &scan,
                                       int &interval, int &count) const {
  if (params.size() != (stream ? 13u : 10u)) return "0C";
  scan.first = number(params.substr(0, 4));
  scan.last = number(params.substr(4, 4));
  scan.cluster = number(params.substr(8, 2));
  if (scan.first < 0) return "01";
  if (scan.last < 0) return "02";
  if (scan.cluster < 0) return "03";
  if (stream) {
    interval = number(params.substr(10, 1));
    count = number(params.substr(11, 2));
    if (interval < 0) return "06";
    if (count < 0) return "07";
  }
  if (scan.first < kFirstStep || scan.last > kLastStep) return "04";
  if (scan.last < scan.first) return "05";
  scan.cluster = std::max(scan.cluster, 1);
  return "";
}

void LrfModel::command(const std::string &line, std::uint64_t now_us) {
  const std::size_t semi = line.find(';');
  const std::string_view body = std::string_view(line).substr(0, semi);
  const std::string_view name = body.substr(0, 2);
  const std::string_view params = body.substr(name.size());
  if (semi != std::string::npos && line.size() - semi - 1 > kMaxTag) {
    reply(name, line, "0E", {}, now_us);
    return;
  }
  if (name == "QT" && params.empty()) {
    stop();
    reply(name, line, "00", {}, now_us);
  } else if (name == "BM" && params.empty()) {
    reply(name, line, state_->laser != 0 ? "02" : "00", {}, now_us);
    state_->laser = 1;
  } else if (name == "PP" && params.empty()) {
    reply(name, line, "00",
          {info("MODL", "LRF-240"), info("DMIN", "20"), info("DMAX", std::to_string(kMaxRange)),
           info("ARES", std::to_string(kStepsPerTurn)), info("AMIN", std::to_string(kFirstStep)),
           info("AMAX", std::to_string(kLastStep)), info("AFRT", std::to_string(kFrontStep)),
           info("SCAN", "600")},
          now_us);
  } else if (name == "VV" && params.empty()) {
    reply(name, line, "00",
          {info("VEND", "Tarsa simulated devices"), info("PROD", "LRF-240 laser range finder"),
           info("FIRM", "2.0.0"), info("PROT", "SCIP 2.0"), info("SERI", "S0000001")},
          now_us);
  } else if (name == "II" && params.empty()) {
    reply(name, line, "00",
          {info("MODL", "LRF-240"), info("LASR", state_->laser != 0 ? "ON" : "OFF"),
           info("SCSP", "600[rpm]"), info("MESM", "Normal"), info("SBPS", "115200[bps]"),
           info("TIME", encode(static_cast<std::uint32_t>(now_us / 1000) & 0xFFFFFF, 4)),
           info("STAT", "Sensor works well")},
          now_us);
  } else if (name == "GD" || name == "MD") {
    const bool stream = name == "MD";
    Scan scan;
    int interval = 0, count = 0;
    std::string_view status = scan_params(params, stream, scan, interval, count);
    if (status.empty() && !stream && state_->laser == 0) status = "10";
    if (!status.empty()) {
      reply(name, line, status, {}, now_us);
    } else if (!stream) {
      reply(name, line, "00", {scan_data(scan, now_us)}, now_us);
    } else {
      reply(name, line, "00", {}, now_us);
      state_->laser = 1;
      streaming_ = true;
      stream_echo_ = std::string(body.substr(0, 13));
      stream_tag_ = semi == std::string::npos ? "" : line.substr(semi);
      stream_scan_ = scan;
      stream_period_us_ = kScanUs * static_cast<std::uint64_t>(interval + 1);
      stream_next_us_ = now_us + kScanUs;
      stream_left_ = count == 0 ? -1 : count;
    }
  } else {
    reply(name, line, "0E", {}, now_us);
  }
}

// Time stamp line, then the blocks; `lines` of reply() takes it as one string split at LF.
std::string LrfModel::scan_data(const Scan &scan, std::uint64_t now_us) {
  const std::string stamp = encode(static_cast<std::uint32_t>(now_us / 1000) & 0xFFFFFF, 4);
  std::string out = stamp + check(stamp) + "\n";
  const Pose pose = world_->pose(now_us);
  std::string data;
  for (int s = scan.first; s <= scan.last; s += scan.cluster) {
    int nearest = kNoReturn;
    for (int t = s; t < s + scan.cluster && t <= scan.last; ++t) {
      const double angle = pose.heading + (t - kFrontStep) * 2 * std::numbers::pi / kStepsPerTurn;
      double range = world_->ray(pose.x, pose.y, angle, kMaxRange + 1.0);
      int value = kNoReturn;
      if (range <= kMaxRange) {
        range += noise();
        value = static_cast<int>(std::clamp(std::lround(range), 20L, long{kMaxRange}));
      }
      if (value != kNoReturn && (nearest == kNoReturn || value < nearest)) nearest = value;
    }
    data += encode(static_cast<std::uint32_t>(nearest), 3);
  }
  for (std::size_t at = 0; at < data.size(); at += kBlock) {
    const std::string_view block = std::string_view(data).substr(at, kBlock);
    out += std::string(block) + check(block) + "\n";
  }
  out.pop_back();
  return out;
}

void LrfModel::reply(std::string_view name, const std::string &echo, std::string_view status,
                     std::vector<std::string> lines, std::uint64_t now_us) {
  // Lines given with LF inside are several lines.
  std::vector<std::string> out = {echo, std::string(status) + check(status)};
  for (const std::string &l : lines) {
    for (std::size_t at = 0;;) {
      const std::size_t lf = l.find('\n', at);
      out.push_back(l.substr(at, lf - at));
      if (lf == std::string::npos) break;
      at = lf + 1;
    }
  }
  if (fault_ != Fault::none && (fault_command_.empty() || fault_command_ == name)) {
    const std::uint64_t k = state_->replies++;
    if (k >= fault_skip_ && (fault_count_ == 0 || k < fault_skip_ + fault_count_)) {
      if (fault_ == Fault::silent) return;
      // The middle data line, or the status line of a reply without data.
      const std::size_t victim = out.size() > 2 ? 2 + (out.size() - 2) / 2 : 1;
      if (fault_ == Fault::bad_check) {
        char &c = out[victim].back();
        c = static_cast<char>(((c - 0x30) ^ 1) + 0x30);
      } else {
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(victim));
      }
    }
  }
  out.emplace_back();
  // Each line goes once it has had its time on the wire, after whatever is still going out.
  const std::uint64_t start = std::max(now_us, line_free_us_);
  std::size_t sent = 0;
  for (std::string &l : out) {
    l += '\n';
    sent += l.size();
    pending_.push_back(
        {start + static_cast<std::uint64_t>(std::llround(static_cast<double>(sent) * kByteUs)),
         std::move(l)});
  }
  line_free_us_ = pending_.back().due_us;
}

void LrfModel::stop() {
  streaming_ = false;
  state_->laser = 0;
}

// Deterministic across the processes of a run: a counter hashed with the board's seed
// (splitmix64) into a uniform value in [-noise_mm, +noise_mm].
double LrfModel::noise() {
  if (noise_mm_ <= 0) return 0;
  std::uint64_t z = board_.seed() + 0x9E3779B97F4A7C15ULL * ++state_->draws;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  const double u = static_cast<double>(z >> 11) / 9007199254740992.0;  // [0, 1)
  return (2 * u - 1) * noise_mm_;
}

namespace {
const RegisterModel<LrfModel> kRegister("scip_lrf");
}  // namespace

}  // namespace tsim
