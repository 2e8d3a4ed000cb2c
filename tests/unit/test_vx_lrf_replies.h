// Range finder replies as the sensor sends them, built for the tests from values and lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lrf/scip.h"

namespace lrf_test {

// A line followed by its check character.
inline std::string checked(std::string_view line) {
  return std::string(line) + tarsa::scip::check(line);
}

// Echo, status line, `lines` (check characters already in place), empty line.
inline std::string reply(std::string_view echo, std::string_view status,
                         const std::vector<std::string> &lines = {}) {
  std::string out = std::string(echo) + "\n" + checked(status) + "\n";
  for (const auto &l : lines) out += l + "\n";
  return out + "\n";
}

// A "PP" reply; the check characters of "KEY:VALUE;C" lines cover the bytes before ';'.
inline std::string params_reply(int first = 44, int last = 725, int steps = 1024) {
  std::vector<std::string> lines;
  for (const std::string &l :
       {std::string("MODL:LRF-240"), std::string("DMIN:20"), std::string("DMAX:5600"),
        "ARES:" + std::to_string(steps), "AMIN:" + std::to_string(first),
        "AMAX:" + std::to_string(last), std::string("AFRT:384"), std::string("SCAN:600")})
    lines.push_back(l + ";" + tarsa::scip::check(l));
  return reply("PP", "00", lines);
}

// A "GD" reply of `values` for `echo`, in 64-character blocks.
inline std::string scan_reply(const std::vector<std::int32_t> &values,
                              std::string_view echo = "GD0044072501",
                              std::string_view status = "00") {
  std::string data;
  for (const auto v : values) data += tarsa::scip::encode(static_cast<std::uint32_t>(v), 3);
  std::vector<std::string> lines = {checked("0A3Z")};
  for (std::size_t at = 0; at < data.size(); at += tarsa::scip::kBlock)
    lines.push_back(checked(std::string_view(data).substr(at, tarsa::scip::kBlock)));
  return reply(echo, status, lines);
}

// 682 distances: 500 + index, with 1000 at index 85 and the error code 1 at index 5.
inline std::vector<std::int32_t> sample_scan() {
  std::vector<std::int32_t> v(682);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = 500 + static_cast<std::int32_t>(i);
  v[85] = 1000;
  v[5] = 1;
  return v;
}

}  // namespace lrf_test
