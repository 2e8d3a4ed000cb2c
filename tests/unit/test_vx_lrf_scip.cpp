// The range finder's protocol layer on its own: check characters of known lines, the value
// encoding, replies taken apart and refused, and a seeded fuzz test of the reply parser.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "lrf/scip.h"
#include "test_vx_lrf_replies.h"

namespace scip = tarsa::scip;
using scip::Fault;

namespace {

// Runs a "GD" frame through the whole chain the driver uses.
Fault parse_scan(std::string_view buf, std::vector<std::int32_t> &out,
                 std::string_view echo = "GD0044072501") {
  const auto span = scip::find_reply(buf, echo);
  if (!span) return Fault::format;
  scip::Reply reply;
  if (const Fault f = scip::parse_reply(buf.substr(span->begin, span->end - span->begin), reply);
      f != Fault::none)
    return f;
  return scip::parse_distances(reply, out);
}

// Offset of line `n` (0 the echo) of a reply.
std::size_t line_at(const std::string &frame, int n) {
  std::size_t at = 0;
  while (n-- > 0) at = frame.find('\n', at) + 1;
  return at;
}

TEST(Scip, CheckCharactersOfKnownLines) {
  // Lines as a sensor of this class sends them, check character last.
  for (const std::string line : {"00P", "DMIN:20;4", "DMAX:5600;_", "ARES:1024;\\", "AMIN:44;7",
                                 "AMAX:725;o", "AFRT:384;6", "SCAN:600;e"}) {
    const std::size_t covered = line.size() == 3 ? 2 : line.size() - 2;  // info lines: before ';'
    EXPECT_EQ(scip::check(line.substr(0, covered)), line.back()) << line;
  }
}

TEST(Scip, ValuesEncodeSixBitsACharacterMostSignificantFirst) {
  EXPECT_EQ(scip::encode(1000, 3), "0?X");  // 1000 = 15 * 64 + 40
  EXPECT_EQ(scip::encode(262143, 3), "ooo");
  EXPECT_EQ(scip::encode(0, 4), "0000");
  EXPECT_EQ(scip::decode("0?X"), 1000);
  EXPECT_EQ(scip::decode("1Dh"), (1 << 12) | (20 << 6) | 56);
  EXPECT_EQ(scip::decode("0p0"), -1);  // above the 64 characters of the encoding
  EXPECT_EQ(scip::decode("0/0"), -1);  // below them
  EXPECT_EQ(scip::decode(""), -1);
  std::mt19937 rng(7);
  for (int i = 0; i < 1000; ++i) {
    const std::uint32_t v = rng() & 0x3FFFF;
    EXPECT_EQ(scip::decode(scip::encode(v, 3)), static_cast<std::int32_t>(v));
  }
}

TEST(Scip, ScanRepliesDecodeIncludingValuesAcrossBlocks) {
  const auto values = lrf_test::sample_scan();
  const std::string frame = lrf_test::scan_reply(values);
  std::vector<std::int32_t> out(682, -7);
  // Bytes left of an earlier reply come first and are skipped.
  ASSERT_EQ(parse_scan("b2J\n\nGD00440725\n" + frame, out), Fault::none);
  EXPECT_EQ(out, values);
  EXPECT_EQ(out[21], 521);  // characters 63 to 65: one in the first block, two in the next
  EXPECT_FALSE(scip::find_reply(frame.substr(0, frame.size() - 1), "GD0044072501"));
}

TEST(Scip, RepliesThatAreRefused) {
  const auto values = lrf_test::sample_scan();
  std::vector<std::int32_t> out(682, -7);
  const std::vector<std::int32_t> untouched(682, -7);
  EXPECT_EQ(parse_scan(lrf_test::scan_reply(values, "GD0044072501", "10"), out),
            Fault::status);  // laser off
  EXPECT_EQ(parse_scan(lrf_test::reply("GD0044072501", "04"), out), Fault::status);

  const std::string frame = lrf_test::scan_reply(values);
  std::string bad = frame;
  bad[line_at(frame, 3) + 64] ^= 1;  // the first block's check character
  EXPECT_EQ(parse_scan(bad, out), Fault::check);

  // A block dropped whole: every line checks, the scan is short.
  std::string dropped = frame;
  const std::size_t block = line_at(frame, 4);
  dropped.erase(block, 66);
  EXPECT_EQ(parse_scan(dropped, out), Fault::format);
  // A character outside the encoding whose check character still matches.
  std::string outside = frame;
  outside[block] = static_cast<char>(outside[block] + 64);
  EXPECT_EQ(parse_scan(outside, out), Fault::format);
  EXPECT_EQ(out, untouched);

  scip::Reply r;  // views into the reply's text, which must outlive it
  const std::string good = lrf_test::params_reply();
  ASSERT_EQ(scip::parse_reply(good, r), Fault::none);
  scip::Params p;
  ASSERT_EQ(scip::parse_params(r, p), Fault::none);
  EXPECT_EQ(p.steps_per_turn, 1024);
  EXPECT_EQ(p.first, 44);
  EXPECT_EQ(p.last, 725);
  std::string params = lrf_test::params_reply();
  params[params.find("AMIN:44;") + 8] ^= 1;
  ASSERT_EQ(scip::parse_reply(params, r), Fault::none);
  EXPECT_EQ(scip::parse_params(r, p), Fault::check);
  const std::string partial = lrf_test::reply("PP", "00", {"DMIN:20;4"});
  ASSERT_EQ(scip::parse_reply(partial, r), Fault::none);
  EXPECT_EQ(scip::parse_params(r, p), Fault::format);  // the step geometry is missing
}

// Any one byte changed in a scan reply is caught: a character of the encoding changes its
// line's sum by less than 64, any other byte breaks the framing or the encoding. Random damage
// of several bytes never reads outside the input and never yields a value beyond 18 bits.
TEST(Scip, FuzzedRepliesAreRefusedOrStayInRange) {
  const auto values = lrf_test::sample_scan();
  const std::string frame = lrf_test::scan_reply(values);
  std::mt19937 rng(20240601);
  std::vector<std::int32_t> out(682);
  for (int i = 0; i < 20000; ++i) {
    std::string m = frame;
    const std::size_t at = rng() % m.size();
    char c;
    do c = static_cast<char>(rng() & 0xFF);
    while (c == m[at]);
    m[at] = c;
    ASSERT_NE(parse_scan(m, out), Fault::none) << "byte " << at << " changed to " << int(c);
  }
  for (int i = 0; i < 20000; ++i) {
    std::string m = frame;
    for (int k = rng() % 8; k >= 0; --k) {
      const std::size_t at = rng() % (m.size() + 1);
      switch (rng() % 4) {
        case 0:
          if (at < m.size()) m[at] = static_cast<char>(rng() & 0xFF);
          break;
        case 1:
          m.insert(at, 1, "\n0;:P"[rng() % 5]);
          break;
        case 2:
          if (at < m.size()) m.erase(at, 1 + rng() % 70);
          break;
        default:
          m.resize(at);
          break;
      }
    }
    if (parse_scan(m, out) == Fault::none) {
      for (const auto v : out) ASSERT_TRUE(v >= 0 && v < (1 << 18));
    }
    scip::Reply r;
    scip::Params p;
    if (scip::parse_reply(m, r) == Fault::none) (void)scip::parse_params(r, p);
  }
}

}  // namespace
