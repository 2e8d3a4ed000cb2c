// The MCAP front-end: every channel recorded to a file in the Foxglove side's JSON encoding,
// written on a thread of its own so that whoever publishes never waits on the disk.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "mcap.h"
#include "protocol.h"
#include "samples.h"

namespace bridge {

// A metadata record of a recording: its name and its keys and values.
struct RecordMetadata {
  std::string name;
  std::map<std::string, std::string> values;
};

// One recording at a time, started and stopped as often as wanted.
//
// Thread safety: publish() and count() may be called from any thread at any time, also while
// another thread starts or stops a recording; start() and stop() may be called from any thread,
// one call at a time being taken (a second waits for the first). The getters are safe anywhere.
class Recorder : public FrontEnd {
 public:
  // Chunks compressed as `compression`; each recording starts with the metadata records given
  // and gets one named "firmware" (revision) as soon as the robot's is known.
  explicit Recorder(Compression compression = Compression::zstd,
                    std::vector<RecordMetadata> metadata = {});
  ~Recorder() override { stop(); }

  // Creates `path` with a schema and a channel for each of `channels`, then the metadata. 0, a
  // negated errno (the file is then removed: nothing is left that looks like a recording), or
  // -EBUSY while a recording runs. The counts start again from 0.
  int start(const std::string &path, std::span<const Channel> channels);
  // Queues the sample's messages; past kMaxQueued bytes waiting they are dropped and counted.
  // Nothing is queued while no recording runs.
  void publish(const Sample &sample) override;
  // Messages recorded, dropped (also those lost to a write error) and the write error.
  void count(DiagnosticsSample &d) const override;
  // Writes what is queued, the summary and the footer. 0 or the first write error (negated errno)
  // of the recording; once stopped, or never started, it does nothing and gives the same again.
  int stop();

  bool recording() const { return running_.load(); }
  std::uint64_t recorded() const;
  std::uint64_t dropped() const;

 private:
  struct Item {
    std::uint16_t channel;
    std::uint64_t time;
    std::shared_ptr<const std::string> payload;
  };
  void offer(std::uint32_t channel_id, std::uint64_t time_ns,
             const std::shared_ptr<const std::string> &payload);
  void run();
  // Under mutex_, after a write or a flush that gave `result`.
  void account(int result, std::uint64_t lost_before);
  void failed(int error);
  // On the writer's thread, with mutex_ held: the firmware record once the revision is known.
  void note_firmware(std::unique_lock<std::mutex> &lock);

  static constexpr std::size_t kMaxQueued = 32 * 1024 * 1024;

  const std::vector<RecordMetadata> metadata_;
  std::mutex control_;  // one start() or stop() at a time
  McapWriter writer_;   // the writer thread's while it runs, else start()'s and stop()'s
  std::string path_;
  mutable std::mutex mutex_;
  std::map<std::uint32_t, std::uint16_t> ids_;  // bridge channel id -> recording channel id
  std::condition_variable wake_;
  std::deque<Item> queue_;
  std::size_t queued_bytes_ = 0;
  std::uint64_t recorded_ = 0, dropped_ = 0;
  bool stopping_ = false;
  int error_ = 0;
  int firmware_ = -1;            // the robot's revision, once a diagnostics sample had it
  bool firmware_noted_ = false;  // ... and written to this recording
  std::atomic<bool> running_{false};
  std::thread thread_;
};

}  // namespace bridge
