// Recording of every channel to an MCAP file on a writer thread.
#include "recorder.h"

#include <chrono>

#include "channels.h"

namespace bridge {

int Recorder::start(const std::string &path, std::span<const Channel> channels) {
  if (int r = writer_.open(path, "tarsa-bridge"); r < 0) return r;
  for (const Channel &c : channels)
    ids_[c.id] = writer_.add_channel(writer_.add_schema(c.schema_name, "jsonschema", c.schema),
                                     c.topic, "json");
  thread_ = std::thread([this] { run(); });
  return 0;
}

void Recorder::publish(const Sample &sample) {
  encode(sample, [&](ChannelKey key, std::string json) {
    offer(key + 1, sample.time_ns, std::make_shared<const std::string>(std::move(json)));
  });
}

void Recorder::count(DiagnosticsSample &d) const {
  std::lock_guard lock(mutex_);
  d.recorded = recorded_;
  d.record_dropped = dropped_;
}

void Recorder::offer(std::uint32_t channel_id, std::uint64_t time_ns,
                     const std::shared_ptr<const std::string> &payload) {
  auto id = ids_.find(channel_id);
  if (id == ids_.end()) return;
  std::lock_guard lock(mutex_);
  if (!thread_.joinable() || stopping_) return;
  if (queued_bytes_ + payload->size() > kMaxQueued) {
    ++dropped_;
    return;
  }
  queued_bytes_ += payload->size();
  queue_.push_back({id->second, time_ns, payload});
  wake_.notify_one();
}

void Recorder::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    // A quiet spell closes the open chunk, so that little is lost should the process be killed.
    if (queue_.empty() && !stopping_ &&
        !wake_.wait_for(lock, std::chrono::milliseconds(250),
                        [this] { return !queue_.empty() || stopping_; })) {
      lock.unlock();
      writer_.flush();
      lock.lock();
      continue;
    }
    if (queue_.empty()) break;  // stopping, and everything is written
    Item item = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= item.payload->size();
    lock.unlock();
    int r = writer_.write_message(item.channel, item.time, *item.payload);
    lock.lock();
    if (r < 0 && !error_) error_ = r;
    if (r == 0) ++recorded_;
  }
}

int Recorder::stop() {
  if (!thread_.joinable()) return error_;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  int r = writer_.close();
  return error_ ? error_ : r;
}

std::uint64_t Recorder::recorded() const {
  std::lock_guard lock(mutex_);
  return recorded_;
}

std::uint64_t Recorder::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace bridge
