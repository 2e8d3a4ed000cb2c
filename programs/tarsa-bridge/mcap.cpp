// MCAP writer: records laid out as the MCAP format (version 0) defines them, little-endian.
#include "mcap.h"

#include <fcntl.h>
#include <lz4frame.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>

namespace bridge {

int FileDescriptor::reset(int fd) {
  int r = fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0;
  fd_ = fd;
  return r;
}

namespace {

constexpr std::string_view kMagic{"\x89MCAP0\r\n", 8};

// Record opcodes.
enum Op : std::uint8_t {
  kHeader = 0x01,
  kFooter = 0x02,
  kSchema = 0x03,
  kChannel = 0x04,
  kMessage = 0x05,
  kChunk = 0x06,
  kMessageIndex = 0x07,
  kChunkIndex = 0x08,
  kStatistics = 0x0B,
  kMetadata = 0x0C,
  kMetadataIndex = 0x0D,
  kSummaryOffset = 0x0E,
  kDataEnd = 0x0F,
};

// Serialisation of the record fields.
struct Out {
  std::string s;
  void u8(std::uint8_t v) { s.push_back(char(v)); }
  void u16(std::uint16_t v) { le(v, 2); }
  void u32(std::uint32_t v) { le(v, 4); }
  void u64(std::uint64_t v) { le(v, 8); }
  void str(std::string_view v) {
    u32(std::uint32_t(v.size()));
    s.append(v);
  }
  void le(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) s.push_back(char(v >> (8 * i)));
  }
};

std::string record(Op op, const std::string &content) {
  Out r;
  r.u8(op);
  r.u64(content.size());
  r.s += content;
  return std::move(r.s);
}

}  // namespace

std::uint32_t crc32(const void *data, std::size_t size, std::uint32_t crc) {
  auto *p = static_cast<const Bytef *>(data);
  // zlib takes at most a uInt at a time.
  while (size > 0) {
    const auto n = uInt(std::min<std::size_t>(size, 1u << 30));
    crc = std::uint32_t(::crc32(crc, p, n));
    p += n;
    size -= n;
  }
  return crc;
}

const char *compression_name(Compression c) {
  switch (c) {
    case Compression::lz4:
      return "lz4";
    case Compression::zstd:
      return "zstd";
    case Compression::none:
      break;
  }
  return "";
}

bool parse_compression(std::string_view name, Compression &c) {
  for (Compression k : {Compression::none, Compression::lz4, Compression::zstd})
    if (name == (k == Compression::none ? "none" : compression_name(k))) {
      c = k;
      return true;
    }
  return false;
}

McapWriter::~McapWriter() {
  close();
  ZSTD_freeCCtx(zstd_);
}

bool McapWriter::pack() {
  if (limits_.compression == Compression::zstd) {
    if (!zstd_ && !(zstd_ = ZSTD_createCCtx())) return false;
    packed_.resize(ZSTD_compressBound(chunk_.size()));
    // zstd's default level, as the format's own writers use.
    const std::size_t n = ZSTD_compressCCtx(zstd_, packed_.data(), packed_.size(), chunk_.data(),
                                            chunk_.size(), ZSTD_CLEVEL_DEFAULT);
    if (ZSTD_isError(n)) return false;
    packed_.resize(n);
  } else if (limits_.compression == Compression::lz4) {
    LZ4F_preferences_t prefs{};
    prefs.frameInfo.contentSize = chunk_.size();
    packed_.resize(LZ4F_compressFrameBound(chunk_.size(), &prefs));
    const std::size_t n =
        LZ4F_compressFrame(packed_.data(), packed_.size(), chunk_.data(), chunk_.size(), &prefs);
    if (LZ4F_isError(n)) return false;
    packed_.resize(n);
  } else {
    return false;
  }
  return packed_.size() < chunk_.size();
}

int McapWriter::emit(std::string_view bytes) {
  if (error_) return error_;
  data_crc_ = crc32(bytes.data(), bytes.size(), data_crc_);
  offset_ += bytes.size();
  const std::uint64_t good = written_;
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? -errno : -EIO;
      // What went out of this record is taken back: the file ends with whole records.
      if (::ftruncate(fd_.get(), off_t(good)) == 0) written_ = good;
      return error_;
    }
    bytes.remove_prefix(std::size_t(n));
    written_ += std::uint64_t(n);
  }
  return 0;
}

int McapWriter::open(const std::string &path, std::string_view library) {
  close();
  // Everything of a previous file goes; the limits and the compression context stay.
  error_ = 0;
  offset_ = written_ = chunk_messages_ = lost_ = 0;
  data_crc_ = 0;
  schemas_.clear();
  channels_.clear();
  chunk_.clear();
  chunk_index_.clear();
  chunk_indexes_.clear();
  metadata_indexes_.clear();
  sequence_.clear();
  channel_counts_.clear();
  message_count_ = first_time_ = last_time_ = 0;
  fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd_) return -errno;
  Out h;
  h.str("");
  h.str(library);
  emit(kMagic);
  return emit(record(kHeader, h.s));
}

std::uint16_t McapWriter::add_schema(std::string_view name, std::string_view encoding,
                                     std::string_view data) {
  Out r;
  auto id = std::uint16_t(schemas_.size() + 1);
  r.u16(id);
  r.str(name);
  r.str(encoding);
  r.str(data);
  schemas_.push_back(record(kSchema, r.s));
  if (fd_) emit(schemas_.back());
  return id;
}

std::uint16_t McapWriter::add_channel(std::uint16_t schema_id, std::string_view topic,
                                      std::string_view message_encoding) {
  Out r;
  auto id = std::uint16_t(channels_.size() + 1);
  r.u16(id);
  r.u16(schema_id);
  r.str(topic);
  r.str(message_encoding);
  r.u32(0);  // no metadata
  channels_.push_back(record(kChannel, r.s));
  if (fd_) emit(channels_.back());
  return id;
}

int McapWriter::write_metadata(std::string_view name,
                               const std::map<std::string, std::string> &values) {
  if (!fd_) return -EBADF;
  if (error_) return error_;
  Out m;
  m.str(name);
  Out map;
  for (auto &[key, value] : values) {
    map.str(key);
    map.str(value);
  }
  m.str(map.s);
  const std::string rec = record(kMetadata, m.s);
  Out ix;
  ix.u64(offset_);
  ix.u64(rec.size());
  ix.str(name);
  const int r = emit(rec);
  if (r == 0) metadata_indexes_.push_back(record(kMetadataIndex, ix.s));
  return r;
}

int McapWriter::write_message(std::uint16_t channel_id, std::uint64_t log_time,
                              std::string_view data) {
  if (!fd_) return -EBADF;
  if (error_) return error_;
  if (!chunk_.empty() && log_time >= chunk_start_ + limits_.chunk_span_ns) flush();
  Out m;
  m.u16(channel_id);
  m.u32(sequence_[channel_id]++);
  m.u64(log_time);
  m.u64(log_time);
  m.s += data;
  if (chunk_.empty() || log_time < chunk_start_) chunk_start_ = log_time;
  if (chunk_.empty() || log_time > chunk_end_) chunk_end_ = log_time;
  chunk_index_[channel_id].emplace_back(log_time, chunk_.size());
  chunk_ += record(kMessage, m.s);

  if (message_count_ == 0 || log_time < first_time_) first_time_ = log_time;
  if (message_count_ == 0 || log_time > last_time_) last_time_ = log_time;
  ++message_count_;
  ++chunk_messages_;
  ++channel_counts_[channel_id];
  return chunk_.size() >= limits_.chunk_bytes ? flush() : error_;
}

int McapWriter::flush() {
  if (!fd_ || chunk_.empty()) return error_;
  Out c;
  c.u64(chunk_start_);
  c.u64(chunk_end_);
  c.u64(chunk_.size());
  c.u32(crc32(chunk_.data(), chunk_.size()));
  const bool packed = pack();
  const std::string &records = packed ? packed_ : chunk_;
  const Compression compression = packed ? limits_.compression : Compression::none;
  c.str(compression_name(compression));
  c.u64(records.size());
  c.s += records;
  std::string out = record(kChunk, c.s);

  ChunkIndex ix{chunk_start_,  chunk_end_,     offset_,     out.size(), 0,
                chunk_.size(), records.size(), compression, {}};
  for (auto &[channel, entries] : chunk_index_) {
    Out m;
    m.u16(channel);
    m.u32(std::uint32_t(entries.size() * 16));
    for (auto [time, at] : entries) {
      m.u64(time);
      m.u64(at);
    }
    ix.index_offsets[channel] = offset_ + out.size();
    std::string rec = record(kMessageIndex, m.s);
    ix.index_length += rec.size();
    out += rec;
  }
  chunk_indexes_.push_back(std::move(ix));
  chunk_.clear();
  chunk_index_.clear();
  // Chunk and indexes in one write: a reader of a cut file finds whole chunks or none.
  const int r = emit(out);
  if (r < 0) lost_ += chunk_messages_;
  chunk_messages_ = 0;
  return r;
}

int McapWriter::close() {
  if (!fd_) return 0;
  flush();
  Out end;
  end.u32(data_crc_);
  emit(record(kDataEnd, end.s));

  // Summary: each group of one opcode, then the offsets of the groups.
  const std::uint64_t summary_start = offset_;
  std::string summary, offsets;
  auto group = [&](Op op, const std::string &records) {
    if (records.empty()) return;
    Out so;
    so.u8(op);
    so.u64(summary_start + summary.size());
    so.u64(records.size());
    offsets += record(kSummaryOffset, so.s);
    summary += records;
  };
  std::string all;
  for (auto &s : schemas_) all += s;
  group(kSchema, all);
  all.clear();
  for (auto &ch : channels_) all += ch;
  group(kChannel, all);
  all.clear();
  for (auto &ix : chunk_indexes_) {
    Out r;
    r.u64(ix.start);
    r.u64(ix.end);
    r.u64(ix.offset);
    r.u64(ix.length);
    r.u32(std::uint32_t(ix.index_offsets.size() * 10));
    for (auto [channel, at] : ix.index_offsets) {
      r.u16(channel);
      r.u64(at);
    }
    r.u64(ix.index_length);
    r.str(compression_name(ix.compression));
    r.u64(ix.compressed_size);
    r.u64(ix.size);
    all += record(kChunkIndex, r.s);
  }
  group(kChunkIndex, all);
  all.clear();
  for (auto &m : metadata_indexes_) all += m;
  group(kMetadataIndex, all);
  Out st;
  st.u64(message_count_);
  st.u16(std::uint16_t(schemas_.size()));
  st.u32(std::uint32_t(channels_.size()));
  st.u32(0);  // attachments
  st.u32(std::uint32_t(metadata_indexes_.size()));
  st.u32(std::uint32_t(chunk_indexes_.size()));
  st.u64(message_count_ ? first_time_ : 0);
  st.u64(message_count_ ? last_time_ : 0);
  st.u32(std::uint32_t(channel_counts_.size() * 10));
  for (auto [channel, count] : channel_counts_) {
    st.u16(channel);
    st.u64(count);
  }
  group(kStatistics, record(kStatistics, st.s));

  Out foot;
  foot.u8(kFooter);
  foot.u64(20);
  foot.u64(summary.empty() ? 0 : summary_start);
  foot.u64(offsets.empty() ? 0 : summary_start + summary.size());
  std::string tail = summary + offsets + foot.s;
  foot.u32(crc32(tail.data(), tail.size()));
  emit(summary + offsets + foot.s);
  emit(kMagic);
  int r = error_;
  if (fd_.reset() < 0 && r == 0) r = -errno;
  return r;
}

}  // namespace bridge
