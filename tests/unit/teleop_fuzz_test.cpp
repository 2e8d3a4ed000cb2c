// Random and mutated input for both message parsers: the robot's command parser and the
// console's sensor message parser. Meant to run under AddressSanitizer and UBSan as well.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "sensor_message.h"
#include "teleop_net.h"

namespace {

std::mt19937 rng(20261208);

int pick(int n) {
  return std::uniform_int_distribution<int>(0, n - 1)(rng);
}

// Mutates s with a few edits drawn from pieces that matter to the parsers.
std::string mutate(std::string s) {
  static const std::vector<std::string> pieces = {"x",   "xx",  "-",  ".",      "e", "e999",
                                                  "nan", "inf", "0x", "1e-400", "T", "IL",
                                                  "AX",  "9",   "\0", " ",      "+", "P"};
  int edits = 1 + pick(4);
  for (int e = 0; e < edits; ++e) {
    std::size_t at = s.empty() ? 0 : std::size_t(pick(int(s.size()) + 1));
    switch (pick(5)) {
      case 0:
        if (at < s.size()) s[at] = char(pick(256));
        break;
      case 1:
        s.insert(at, pieces[std::size_t(pick(int(pieces.size())))]);
        break;
      case 2:
        if (at < s.size()) s.erase(at, std::size_t(1 + pick(8)));
        break;
      case 3:
        if (at < s.size()) s.insert(at, s.substr(at, std::size_t(1 + pick(16))));
        break;
      default:
        s.insert(at, std::string(1, char(pick(256))));
        break;
    }
  }
  return s;
}

std::string random_bytes(int max) {
  std::string s(std::size_t(pick(max + 1)), '\0');
  for (char &c : s) c = char(pick(256));
  return s;
}

// Reference split: the tokens between 'x' up to the first NUL.
std::vector<std::string> tokens(const std::string &s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s.substr(0, s.find('\0'))) {
    if (c == 'x') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

}  // namespace

TEST(Fuzz, CommandParser) {
  const std::vector<std::string> seeds = {"0.5x120", "xx1.5xx-3x",   "1x2x3",
                                          "abc",     "-1e308x1e308", "nanxinf"};
  for (int i = 0; i < 100000; ++i) {
    std::string input =
        i % 4 == 0 ? random_bytes(1100) : mutate(seeds[std::size_t(i) % seeds.size()]);
    std::size_t len = std::min(input.size(), kRecvBufSize);
    std::string received = input.substr(0, len);
    double values[2] = {-7, -7};
    int n = parse_command(input.data(), len, values, false);

    std::vector<std::string> expect = tokens(received);
    ASSERT_EQ(n, int(expect.size())) << received;
    for (int k = 0; k < 2; ++k) {
      double want = k < n ? std::strtod(expect[std::size_t(k)].c_str(), nullptr) : -7;
      ASSERT_TRUE(same(values[k], want)) << received;
    }
  }
}

TEST(Fuzz, SensorMessageParser) {
  unsigned long accepted = 0;
  for (int i = 0; i < 50000; ++i) {
    SensorValues v{};
    v.time = pick(1000000) / 100.0;
    for (double *d : {&v.ax, &v.ay, &v.az, &v.gx, &v.gy, &v.gz})
      *d = (pick(2000001) - 1000000) / 1000.0;
    for (int *d : {&v.posL, &v.posR, &v.spdL, &v.spdR}) *d = int(rng());
    for (auto &u : v.us) u = std::int16_t(rng());
    for (auto &r : v.ir) r = pick(65536);
    char buf[kSensorBufSize];
    std::string text(buf, format_sensor_message(buf, sizeof buf, v));

    // Every message the robot writes is read back exactly.
    SensorMessage m;
    ASSERT_TRUE(parse_sensor_message(text, m)) << text;
    ASSERT_NEAR(m.gz, v.gz, 5e-5);
    ASSERT_EQ(m.posL, v.posL);
    ASSERT_EQ(m.us[4], v.us[4]);
    ASSERT_EQ(m.ir[11], v.ir[11]);

    // A damaged message is refused, or else it still has the shape of a message.
    std::string bad = i % 5 == 0 ? random_bytes(300) : mutate(text);
    SensorMessage out;
    out.posL = 12345;
    if (parse_sensor_message(bad, out)) {
      ++accepted;
      ASSERT_EQ(bad.rfind("T", 0), 0u);
      ASSERT_EQ(bad.substr(bad.size() - 2), "IL");
      ASSERT_TRUE(std::isfinite(out.t));
    } else {
      ASSERT_EQ(out.posL, 12345) << "a refused message changed the output";
    }

    // The stream splitter copes with the same damage.
    MessageSplitter split;
    split.feed(bad);
    split.feed(text);
    std::string got, last;
    int guard = 0;
    while (split.next(got) && ++guard < 1000) last = got;
    ASSERT_LT(guard, 1000);
    ASSERT_EQ(last.size() >= text.size() ? last.substr(last.size() - text.size()) : last, text);
  }
  EXPECT_LT(accepted, 50000u / 2);
}
