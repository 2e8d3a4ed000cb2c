// The range finder's serial protocol (SCIP 2.0) without any I/O: check characters, the 6-bit
// character encoding of values, commands, and replies taken apart and verified.
//
// A command is one line ending with LF. Its reply echoes the command line, then a status line
// (two characters and their check character), then data lines, then an empty line. Distance data
// come in blocks of 64 characters, each followed by its check character, and a value may run on
// from one block into the next.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarsa::scip {

constexpr std::size_t kBlock = 64;          // data characters per line of a distance reply
constexpr std::size_t kDistanceWidth = 3;   // characters per distance of "GD"
constexpr std::size_t kTimestampWidth = 4;  // characters of the scan's time stamp
constexpr std::int32_t kMinRange = 20;      // mm; a smaller value is the step's error code

// Status of a command carried out; "BM" also answers "02" when the laser was on already.
constexpr std::string_view kOk = "00";
constexpr std::string_view kLaserWasOn = "02";

// Check character of a line's bytes: the low 6 bits of their sum, plus 0x30.
constexpr char check(std::string_view bytes) {
  unsigned sum = 0;
  for (const char c : bytes) sum += static_cast<unsigned char>(c);
  return static_cast<char>((sum & 0x3F) + 0x30);
}

// `value` in `width` characters of 6 bits each, most significant first; bits above 6 * width
// are dropped.
inline std::string encode(std::uint32_t value, std::size_t width) {
  std::string out(width, '0');
  for (std::size_t i = width; i-- > 0; value >>= 6)
    out[i] = static_cast<char>((value & 0x3F) + 0x30);
  return out;
}

// Value of 1 to 5 encoded characters; -1 for another length or a character outside 0x30-0x6F.
constexpr std::int32_t decode(std::string_view chars) {
  if (chars.empty() || chars.size() > 5) return -1;
  std::int32_t value = 0;
  for (const char c : chars) {
    if (c < 0x30 || c > 0x6F) return -1;
    value = (value << 6) | (c - 0x30);
  }
  return value;
}

// "GD" command line (without its LF) for steps `first` to `last`, one step per value.
inline std::string distance_command(int first, int last) {
  char text[16];
  std::snprintf(text, sizeof text, "GD%04d%04d01", first, last);
  return text;
}

// Where a complete reply to `echo` (the command line sent, without LF) lies in `buf`: from the
// echo line to just past the empty line that ends the reply. Lines before the echo are bytes
// left over from earlier and are skipped. nullopt until the whole reply has arrived.
struct Span {
  std::size_t begin, end;
};
inline std::optional<Span> find_reply(std::string_view buf, std::string_view echo) {
  for (std::size_t at = 0; at < buf.size();) {
    const std::size_t lf = buf.find('\n', at);
    if (lf == std::string_view::npos) return std::nullopt;
    if (buf.substr(at, lf - at) == echo) {
      const std::size_t blank = buf.find("\n\n", lf);
      if (blank == std::string_view::npos) return std::nullopt;
      return Span{at, blank + 2};
    }
    at = lf + 1;
  }
  return std::nullopt;
}

enum class Fault {
  none,
  format,  // a line missing, too short or too long, a character outside the encoding
  check,   // a check character that does not match its line
  status,  // the sensor answered with a status other than the one expected
};

// Views into the reply's text, which must outlive it.
struct Reply {
  std::string_view status;              // the two status characters
  std::vector<std::string_view> lines;  // the lines after the status line, without LF
};

// Takes apart a reply as find_reply() delimits it (echo line first, empty line last).
inline Fault parse_reply(std::string_view frame, Reply &out) {
  out = {};
  const std::size_t echo_end = frame.find('\n');
  if (echo_end == std::string_view::npos || frame.size() < 2 ||
      frame.substr(frame.size() - 2) != "\n\n")
    return Fault::format;
  std::string_view rest = frame.substr(echo_end + 1, frame.size() - echo_end - 2);
  std::vector<std::string_view> lines;
  while (!rest.empty()) {
    const std::size_t lf = rest.find('\n');
    lines.push_back(rest.substr(0, lf));
    rest.remove_prefix(lf + 1);  // every line of the frame ends with LF
  }
  if (lines.empty() || lines[0].size() != 3) return Fault::format;
  if (check(lines[0].substr(0, 2)) != lines[0][2]) return Fault::check;
  out.status = lines[0].substr(0, 2);
  out.lines.assign(lines.begin() + 1, lines.end());
  return Fault::none;
}

// A line of `width` characters followed by their check character; `data` gets the characters.
inline Fault checked_line(std::string_view line, std::size_t width, std::string_view &data) {
  if (line.size() != width + 1) return Fault::format;
  data = line.substr(0, width);
  return check(data) == line.back() ? Fault::none : Fault::check;
}

// Distances of a "GD" reply: status "00", the time stamp, then the data blocks, holding exactly
// out.size() values. Every check character is verified; `out` is written only when all holds.
inline Fault parse_distances(const Reply &reply, std::span<std::int32_t> out) {
  if (reply.status != kOk) return Fault::status;
  if (reply.lines.empty()) return Fault::format;
  std::string_view stamp;
  if (const Fault f = checked_line(reply.lines[0], kTimestampWidth, stamp); f != Fault::none)
    return f;
  if (decode(stamp) < 0) return Fault::format;

  const std::size_t chars = out.size() * kDistanceWidth;
  const std::size_t blocks = (chars + kBlock - 1) / kBlock;
  if (reply.lines.size() != blocks + 1) return Fault::format;
  std::string data;
  data.reserve(chars);
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t width = b + 1 < blocks ? kBlock : chars - b * kBlock;
    std::string_view block;
    if (const Fault f = checked_line(reply.lines[b + 1], width, block); f != Fault::none) return f;
    data += block;
  }
  std::vector<std::int32_t> values(out.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = decode(std::string_view(data).substr(i * kDistanceWidth, kDistanceWidth));
    if (values[i] < 0) return Fault::format;
  }
  std::copy(values.begin(), values.end(), out.begin());
  return Fault::none;
}

// Checks the "KEY:VALUE;C" lines of a "PP", "VV" or "II" reply, whose check character C covers
// the bytes before ';'.
inline Fault check_info(const Reply &reply) {
  for (const std::string_view line : reply.lines) {
    if (line.size() < 4 || line.find(':') >= line.size() - 2 || line[line.size() - 2] != ';')
      return Fault::format;
    if (check(line.substr(0, line.size() - 2)) != line.back()) return Fault::check;
  }
  return Fault::none;
}

// Value of `key` in lines that check_info() has passed; nullopt when no line has the key.
inline std::optional<std::string_view> info_value(const Reply &reply, std::string_view key) {
  for (const std::string_view line : reply.lines) {
    const std::size_t colon = line.find(':');
    if (line.substr(0, colon) == key) return line.substr(colon + 1, line.size() - colon - 3);
  }
  return std::nullopt;
}

// The step geometry of a "PP" reply.
struct Params {
  int steps_per_turn = 0;   // ARES
  int first = 0, last = 0;  // AMIN, AMAX: the measured steps
};

inline Fault parse_params(const Reply &reply, Params &out) {
  if (reply.status != kOk) return Fault::status;
  if (const Fault f = check_info(reply); f != Fault::none) return f;
  const auto number = [&](std::string_view key, int &value) {
    const auto text = info_value(reply, key);
    if (!text || text->empty() || text->size() > 6) return Fault::format;
    value = 0;
    for (const char c : *text) {
      if (c < '0' || c > '9') return Fault::format;
      value = value * 10 + (c - '0');
    }
    return Fault::none;
  };
  Params p;
  const std::array<std::pair<std::string_view, int *>, 3> fields = {
      {{"ARES", &p.steps_per_turn}, {"AMIN", &p.first}, {"AMAX", &p.last}}};
  for (const auto &[key, field] : fields)
    if (const Fault f = number(key, *field); f != Fault::none) return f;
  out = p;
  return Fault::none;
}

}  // namespace tarsa::scip
