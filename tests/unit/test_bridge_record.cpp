// tarsa-bridge's recordings: compressed chunks that decompress to what was written, metadata
// records listed in the summary, and a recorder started and stopped again on the same object.
#include <gtest/gtest.h>
#include <lz4frame.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "channels.h"
#include "mcap.h"
#include "recorder.h"
#include "testutil.h"

using namespace bridge;

namespace {

// A reader of the few fields the tests look at, little-endian as the format is.
struct In {
  const std::string &s;
  std::size_t at;
  std::uint64_t le(int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= std::uint64_t(std::uint8_t(s.at(at + i))) << (8 * i);
    at += n;
    return v;
  }
  std::string str() {
    const auto n = le(4);
    std::string v = s.substr(at, n);
    at += n;
    return v;
  }
};

struct Record {
  std::uint8_t op;
  std::size_t offset, length;  // of the whole record
  std::string content;
};

// The records of the data section, in order.
std::vector<Record> data_records(const std::string &f) {
  std::vector<Record> out;
  for (std::size_t at = 8; at + 9 <= f.size();) {
    In in{f, at + 1};
    const auto n = std::size_t(in.le(8));
    out.push_back({std::uint8_t(f[at]), at, 9 + n, f.substr(at + 9, n)});
    at += 9 + n;
    if (out.back().op == 0x0F) break;  // data end
  }
  return out;
}

// A chunk's records, decompressed; its compression name in `name`.
std::string chunk_records(const std::string &chunk, std::string &name) {
  In in{chunk, 16};
  const auto size = in.le(8);
  const auto crc = std::uint32_t(in.le(4));
  name = in.str();
  const auto n = in.le(8);
  const std::string packed = chunk.substr(in.at, n);
  std::string records(size, '\0');
  if (name == "zstd") {
    EXPECT_EQ(ZSTD_decompress(records.data(), size, packed.data(), packed.size()), size);
  } else if (name == "lz4") {
    LZ4F_dctx *d = nullptr;
    LZ4F_createDecompressionContext(&d, LZ4F_VERSION);
    std::size_t out = size, in_size = packed.size();
    LZ4F_decompress(d, records.data(), &out, packed.data(), &in_size, nullptr);
    LZ4F_freeDecompressionContext(d);
    EXPECT_EQ(out, size);
  } else {
    records = packed;
  }
  EXPECT_EQ(crc32(records.data(), records.size()), crc);
  return records;
}

std::string write_run(Compression c, int messages) {
  const std::string path = testutil::temp_file("", "bridge_record_");
  McapWriter w({1024 * 1024, 5'000'000'000, c});
  EXPECT_EQ(w.open(path, "test"), 0);
  const auto ch = w.add_channel(w.add_schema("s", "jsonschema", "{}"), "/t", "json");
  EXPECT_EQ(w.write_metadata("robot", {{"model", "Tarsa4"}, {"host", "here"}}), 0);
  for (int i = 0; i < messages; ++i)
    EXPECT_EQ(w.write_message(ch, 1000 + i, "{\"x\": " + std::to_string(i % 10) + "}"), 0);
  EXPECT_EQ(w.close(), 0);
  std::string f = testutil::read_file(path);
  unlink(path.c_str());
  return f;
}

}  // namespace

TEST(BridgeRecord, ChunksDecompressToTheSameRecords) {
  Compression c{};
  EXPECT_TRUE(parse_compression("none", c) && c == Compression::none);
  EXPECT_TRUE(parse_compression("lz4", c) && c == Compression::lz4);
  EXPECT_TRUE(parse_compression("zstd", c) && c == Compression::zstd);
  EXPECT_FALSE(parse_compression("gzip", c) || parse_compression("", c));

  std::map<std::string, std::string> records;
  std::map<std::string, std::size_t> sizes;
  for (auto [kind, name] : {std::pair{Compression::none, ""}, std::pair{Compression::lz4, "lz4"},
                            std::pair{Compression::zstd, "zstd"}}) {
    const std::string f = write_run(kind, 2000);
    for (const Record &r : data_records(f))
      if (r.op == 0x06) {
        sizes[name] += r.length;
        std::string written;
        records[name] += chunk_records(r.content, written);
        EXPECT_EQ(written, name);
      }
  }
  EXPECT_FALSE(records[""].empty());
  EXPECT_EQ(records["lz4"], records[""]);
  EXPECT_EQ(records["zstd"], records[""]);
  EXPECT_LT(sizes["zstd"] * 4, sizes[""]);
  EXPECT_LT(sizes["lz4"] * 2, sizes[""]);
}

TEST(BridgeRecord, MetadataIsIndexedInTheSummary) {
  const std::string f = write_run(Compression::zstd, 3);
  std::size_t metadata_at = 0;
  for (const Record &r : data_records(f))
    if (r.op == 0x0C) {
      metadata_at = r.offset;
      In in{r.content, 0};
      EXPECT_EQ(in.str(), "robot");
      const std::string map = in.str();
      In m{map, 0};
      EXPECT_EQ(m.str(), "host");
      EXPECT_EQ(m.str(), "here");
      EXPECT_EQ(m.str(), "model");
      EXPECT_EQ(m.str(), "Tarsa4");
    }
  ASSERT_NE(metadata_at, 0u);
  // The summary, from the footer: a metadata index pointing at the record, and the count.
  In foot{f, f.size() - 8 - 20};
  std::size_t at = foot.le(8);
  const std::size_t end = foot.le(8);
  int indexes = 0;
  while (at < end) {
    In in{f, at + 1};
    const auto n = in.le(8);
    if (f[at] == 0x0D) {
      ++indexes;
      EXPECT_EQ(in.le(8), metadata_at);
      in.le(8);
      EXPECT_EQ(in.str(), "robot");
    }
    if (f[at] == 0x0B) {
      In st{f, at + 9 + 8 + 2 + 4 + 4};
      EXPECT_EQ(st.le(4), 1u);
    }
    at += 9 + n;
  }
  EXPECT_EQ(indexes, 1);
}

// The service of starting and stopping recordings uses one recorder for all of them.
TEST(BridgeRecord, ARecorderStartsAgainAfterStopping) {
  Recorder r(Compression::zstd, {{"robot", {{"model", "Tarsa4"}}}});
  EXPECT_EQ(r.stop(), 0);  // never started: nothing happens
  const std::vector<Channel> channels = bridge::channels(SensorSet{});
  const auto publish = [&](int n) {
    for (int i = 0; i < n; ++i) r.publish({std::uint64_t(1000 + i), WheelsSample{i, i, i, i}});
  };
  publish(5);  // not recording: dropped without a word
  EXPECT_EQ(r.recorded(), 0u);

  std::vector<std::string> paths;
  for (int run = 0; run < 2; ++run) {
    paths.push_back(testutil::temp_file("", "bridge_recorder_"));
    ASSERT_EQ(r.start(paths.back(), channels), 0);
    EXPECT_TRUE(r.recording());
    EXPECT_EQ(r.start(paths.back(), channels), -EBUSY);
    DiagnosticsSample d;
    d.firmware_revision = 18;
    r.publish({999, d});
    publish(10 * (run + 1));
    EXPECT_EQ(r.stop(), 0);
    EXPECT_FALSE(r.recording());
    EXPECT_EQ(r.stop(), 0);
    // The counts are this recording's: ten wheel messages a run more, and the diagnostics.
    EXPECT_EQ(r.recorded(), 10u * (run + 1) + 1);
    EXPECT_EQ(r.dropped(), 0u);
  }
  for (const std::string &p : paths) {
    const std::string f = testutil::read_file(p);
    unlink(p.c_str());
    ASSERT_GT(f.size(), 16u);
    EXPECT_EQ(f.substr(f.size() - 8), std::string("\x89MCAP0\r\n", 8));
    std::vector<std::string> names;
    for (const Record &rec : data_records(f))
      if (rec.op == 0x0C) names.push_back(In{rec.content, 0}.str());
    EXPECT_EQ(names, (std::vector<std::string>{"robot", "firmware"}));
  }
  EXPECT_EQ(r.start("/nonexistent-dir/x.mcap", channels), -ENOENT);
  EXPECT_EQ(r.stop(), 0);
}
