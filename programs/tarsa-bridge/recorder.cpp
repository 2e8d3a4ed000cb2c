// Recording of every channel to an MCAP file on a writer thread.
#include "recorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "channels.h"

namespace bridge {

int Recorder::start(const std::string &path, std::span<const Channel> channels) {
  path_ = path;
  int r = writer_.open(path, "tarsa-bridge");
  for (const Channel &c : channels)
    ids_[c.id] = writer_.add_channel(writer_.add_schema(c.schema_name, "jsonschema", c.schema),
                                     c.topic, "json");
  if (r == 0) r = writer_.error();
  if (r < 0) {
    writer_.close();
    // Nothing is left that looks like a recording; a device node given as the file stays.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    return r;
  }
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
  if (error_) d.record_error = std::strerror(-error_);
}

void Recorder::account(int result, std::uint64_t lost_before) {
  // Messages count as recorded once taken, until their chunk fails to be written.
  dropped_ += writer_.lost() - lost_before;
  recorded_ = writer_.message_count() - writer_.lost();
  if (result < 0 && !error_) failed(result);
}

void Recorder::failed(int error) {
  error_ = error;
  std::printf("tarsa-bridge: recording to %s failed: %s; what follows is dropped\n", path_.c_str(),
              std::strerror(-error));
  std::fflush(stdout);
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
      const std::uint64_t lost = writer_.lost();
      const int r = writer_.flush();
      lock.lock();
      account(r, lost);
      continue;
    }
    if (queue_.empty()) break;  // stopping, and everything is written
    Item item = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= item.payload->size();
    lock.unlock();
    const std::uint64_t lost = writer_.lost();
    const int r = writer_.write_message(item.channel, item.time, *item.payload);
    lock.lock();
    // After a write error nothing more is taken: what comes is dropped.
    if (r < 0 && writer_.lost() == lost) ++dropped_;
    account(r, lost);
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
  const std::uint64_t lost = writer_.lost();
  const int r = writer_.close();
  std::lock_guard lock(mutex_);
  account(r, lost);
  return error_;
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
