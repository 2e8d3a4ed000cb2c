// The MCAP front-end: every channel recorded to a file in the Foxglove side's JSON encoding,
// written on a thread of its own so that whoever publishes never waits on the disk.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "mcap.h"
#include "protocol.h"
#include "samples.h"

namespace bridge {

class Recorder : public FrontEnd {
 public:
  ~Recorder() override { stop(); }

  // Creates `path` with a schema and a channel for each of `channels`. 0 or a negated errno
  // (the file is then removed: nothing is left that looks like a recording).
  int start(const std::string &path, std::span<const Channel> channels);
  // Queues the sample's messages; past kMaxQueued bytes waiting they are dropped and counted.
  void publish(const Sample &sample) override;
  // Messages recorded, dropped (also those lost to a write error) and the write error.
  void count(DiagnosticsSample &d) const override;
  // Writes what is queued, the summary and the footer. 0 or the first write error (negated errno).
  int stop();

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

  static constexpr std::size_t kMaxQueued = 32 * 1024 * 1024;

  McapWriter writer_;
  std::string path_;
  std::map<std::uint32_t, std::uint16_t> ids_;  // bridge channel id -> recording channel id
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  std::size_t queued_bytes_ = 0;
  std::uint64_t recorded_ = 0, dropped_ = 0;
  bool stopping_ = false;
  int error_ = 0;
  std::thread thread_;
};

}  // namespace bridge
