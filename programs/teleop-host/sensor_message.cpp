// Sensor message parsing, command text and dead reckoning for the operator's console.
#include "sensor_message.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

const std::array<const char *, kSensorFields> kSensorTags = {
    "T",  "AX", "AY", "AZ", "GX", "GY", "GZ", "PL", "PR", "SL", "SR", "UA", "UB", "UC",
    "UD", "UE", "IA", "IB", "IC", "ID", "IE", "IF", "IG", "IH", "II", "IJ", "IK", "IL"};

namespace {

bool is_tag_char(char c) {
  return c >= 'A' && c <= 'Z';
}

bool to_double(std::string_view s, double &out) {
  if (s.empty() || s.size() > 400) return false;
  std::string text(s);
  char *end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(out);
}

bool to_int(std::string_view s, int &out) {
  if (s.empty() || s.size() > 20) return false;
  std::string text(s);
  char *end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno || end != text.c_str() + text.size() || v < INT_MIN || v > INT_MAX) return false;
  out = int(v);
  return true;
}

}  // namespace

bool parse_sensor_message(std::string_view text, SensorMessage &out) {
  std::array<double, 7> reals{};
  std::array<int, 21> ints{};
  for (int f = 0; f < kSensorFields; ++f) {
    std::string_view tag = kSensorTags[f];
    if (text.substr(0, tag.size()) != tag) return false;
    text.remove_prefix(tag.size());
    std::size_t n = 0;
    while (n < text.size() && !is_tag_char(text[n])) ++n;
    std::string_view value = text.substr(0, n);
    text.remove_prefix(n);
    if (text.substr(0, tag.size()) != tag) return false;
    text.remove_prefix(tag.size());
    if (f < 7 ? !to_double(value, reals[f]) : !to_int(value, ints[f - 7])) return false;
  }
  if (!text.empty()) return false;

  SensorMessage m;
  m.t = reals[0], m.ax = reals[1], m.ay = reals[2], m.az = reals[3];
  m.gx = reals[4], m.gy = reals[5], m.gz = reals[6];
  m.posL = ints[0], m.posR = ints[1], m.spdL = ints[2], m.spdR = ints[3];
  for (int i = 0; i < 5; ++i) m.us[i] = ints[4 + i];
  for (int i = 0; i < 12; ++i) m.ir[i] = ints[9 + i];
  out = m;
  return true;
}

std::string format_command(double W, double V) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4fx%.4f", W, V);
  return buf;
}

void Odometry::update(int posL, int posR) {
  if (!started_) {
    started_ = true;
    lastL_ = posL, lastR_ = posR;
    return;
  }
  // The counters are 32 bits on the wire and may wrap.
  double dl = std::int32_t(std::uint32_t(posL) - std::uint32_t(lastL_)) * mm_per_count_;
  double dr = std::int32_t(std::uint32_t(posR) - std::uint32_t(lastR_)) * mm_per_count_;
  lastL_ = posL, lastR_ = posR;
  double d = (dl + dr) / 2.0;
  // The left wheel running faster turns the robot clockwise (positive W drives left faster).
  double dtheta = (dr - dl) / base_;
  double mid = heading_ + dtheta / 2.0;
  x_ += d * std::cos(mid);
  y_ += d * std::sin(mid);
  heading_ += dtheta;
  distance_ += std::fabs(d);
}

bool MessageSplitter::next(std::string &message) {
  for (;;) {
    std::size_t start = buf_.find('T');
    if (start == std::string::npos) {
      if (!buf_.empty()) ++dropped_;
      buf_.clear();
      return false;
    }
    if (start > 0) {
      ++dropped_;
      buf_.erase(0, start);
    }
    std::size_t open = buf_.find("IL");
    if (open == std::string::npos) break;
    std::size_t q = open + 2;
    while (q < buf_.size() && (buf_[q] == '-' || (buf_[q] >= '0' && buf_[q] <= '9'))) ++q;
    if (q + 2 > buf_.size()) break;
    if (buf_.compare(q, 2, "IL") == 0) {
      message = buf_.substr(0, q + 2);
      buf_.erase(0, q + 2);
      return true;
    }
    // Not a message end: drop this start and look for the next one.
    ++dropped_;
    buf_.erase(0, 1);
  }
  // A stream that never completes a message must not grow without bound.
  if (buf_.size() > 65536) {
    ++dropped_;
    buf_.clear();
  }
  return false;
}
