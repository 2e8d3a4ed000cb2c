// MCAP writer: schemas, channels and messages in indexed chunks (zstd, LZ4 or not compressed),
// metadata records, and a summary. Each chunk reaches the file in one write as soon as it is
// closed, followed by its message indexes, so a file cut short (the process killed) still reads
// up to its last closed chunk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ZSTD_CCtx_s;

namespace bridge {

// The recording's file descriptor: closed once, when its owner goes or is reset.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  // Closes the one held, if any, and takes `fd`: the result of closing (0 when none was held).
  int reset(int fd = -1);

 private:
  int fd_ = -1;
};

// CRC-32 (IEEE 802.3, zlib's), continued from `crc`.
std::uint32_t crc32(const void *data, std::size_t size, std::uint32_t crc = 0);

// How chunks are compressed: not at all, LZ4 frames or zstd frames.
enum class Compression { none, lz4, zstd };
// The name in a chunk record and in the settings ("" is written for none).
const char *compression_name(Compression c);
// "none", "lz4" or "zstd"; false for anything else.
bool parse_compression(std::string_view name, Compression &c);

class McapWriter {
 public:
  // A chunk is closed once it holds 1 MiB uncompressed (what the format's own writers do), or
  // when its messages span chunk_span_ns, which bounds what a killed process loses.
  struct Limits {
    std::size_t chunk_bytes = 1024 * 1024;
    std::uint64_t chunk_span_ns = 5'000'000'000;
    Compression compression = Compression::zstd;
  };

  McapWriter() = default;
  explicit McapWriter(Limits limits) : limits_(limits) {}
  ~McapWriter();
  McapWriter(const McapWriter &) = delete;
  McapWriter &operator=(const McapWriter &) = delete;

  // Creates (or truncates) `path` and writes the header. 0 or a negated errno. A writer that
  // was closed starts a new file, with ids from 1 again.
  int open(const std::string &path, std::string_view library);
  bool is_open() const { return fd_.valid(); }

  // A schema or a channel is written to the data section at once. Ids count from 1.
  std::uint16_t add_schema(std::string_view name, std::string_view encoding, std::string_view data);
  std::uint16_t add_channel(std::uint16_t schema_id, std::string_view topic,
                            std::string_view message_encoding);

  // A metadata record, written between chunks and listed in the summary. 0 or a negated errno.
  int write_metadata(std::string_view name, const std::map<std::string, std::string> &values);
  // Log times of one channel are expected not to decrease. 0 or a negated errno.
  int write_message(std::uint16_t channel_id, std::uint64_t log_time, std::string_view data);
  // Writes out the open chunk, if any. 0 or a negated errno.
  int flush();
  // Flushes, writes the summary and the footer and closes the file. 0 or a negated errno.
  int close();

  std::uint64_t message_count() const { return message_count_; }
  // The first write error (negated errno), 0 while every write went through. After one, the
  // file ends with the last whole chunk and nothing more is written.
  int error() const { return error_; }
  // Messages taken whose chunk could not be written.
  std::uint64_t lost() const { return lost_; }
  const std::map<std::uint16_t, std::uint64_t> &channel_counts() const { return channel_counts_; }

 private:
  struct ChunkIndex {
    std::uint64_t start, end, offset, length, index_length, size, compressed_size;
    Compression compression;
    std::map<std::uint16_t, std::uint64_t> index_offsets;
  };
  int emit(std::string_view bytes);  // appends to the file, keeping the offset and the data CRC
  // The open chunk's records compressed into packed_, or false when they are better kept as
  // they are (compression off, failed, or not smaller).
  bool pack();

  Limits limits_;
  FileDescriptor fd_;
  int error_ = 0;
  std::uint64_t offset_ = 0, written_ = 0;  // bytes given to emit(), and in the file
  std::uint64_t chunk_messages_ = 0, lost_ = 0;
  std::uint32_t data_crc_ = 0;
  std::vector<std::string> schemas_, channels_;  // records, repeated in the summary

  std::string chunk_;  // records of the open chunk
  std::uint64_t chunk_start_ = 0, chunk_end_ = 0;
  std::map<std::uint16_t, std::vector<std::pair<std::uint64_t, std::uint64_t>>> chunk_index_;
  std::vector<ChunkIndex> chunk_indexes_;
  std::string packed_;           // the compressed chunk
  ZSTD_CCtx_s *zstd_ = nullptr;  // kept from chunk to chunk, freed with the writer
  std::vector<std::string> metadata_indexes_;

  std::map<std::uint16_t, std::uint32_t> sequence_;
  std::map<std::uint16_t, std::uint64_t> channel_counts_;
  std::uint64_t message_count_ = 0, first_time_ = 0, last_time_ = 0;
};

}  // namespace bridge
