// Recording of every channel to an MCAP file on a writer thread.
#include "recorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "channels.h"

namespace bridge {

Recorder::Recorder(Compression compression, std::vector<RecordMetadata> metadata)
    : metadata_(std::move(metadata)), writer_([compression] {
        McapWriter::Limits limits;
        limits.compression = compression;
        return limits;
      }()) {}

int Recorder::start(const std::string &path, std::span<const Channel> channels) {
  std::lock_guard control(control_);
  if (thread_.joinable()) return -EBUSY;
  path_ = path;
  std::map<std::uint32_t, std::uint16_t> ids;
  int r = writer_.open(path, "tarsa-bridge");
  for (const Channel &c : channels)
    ids[c.id] = writer_.add_channel(writer_.add_schema(c.schema_name, "jsonschema", c.schema),
                                    c.topic, "json");
  for (const RecordMetadata &m : metadata_)
    if (r == 0) r = writer_.write_metadata(m.name, m.values);
  if (r == 0) r = writer_.error();
  if (r < 0) {
    writer_.close();
    // Nothing is left that looks like a recording; a device node given as the file stays.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    return r;
  }
  {
    std::lock_guard lock(mutex_);
    ids_ = std::move(ids);
    queue_.clear();
    queued_bytes_ = 0;
    recorded_ = dropped_ = 0;
    error_ = 0;
    stopping_ = false;
    firmware_noted_ = false;
  }
  thread_ = std::thread([this] { run(); });
  running_ = true;
  return 0;
}

void Recorder::publish(const Sample &sample) {
  if (const auto *d = std::get_if<DiagnosticsSample>(&sample.value);
      d && d->firmware_revision >= 0) {
    std::lock_guard lock(mutex_);
    if (firmware_ != d->firmware_revision) {
      firmware_ = d->firmware_revision;
      firmware_noted_ = false;
      wake_.notify_one();
    }
  }
  // Nothing is encoded for a recording that does not run.
  if (!running_) return;
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
  std::lock_guard lock(mutex_);
  if (!running_ || stopping_) return;
  auto id = ids_.find(channel_id);
  if (id == ids_.end()) return;
  if (queued_bytes_ + payload->size() > kMaxQueued) {
    ++dropped_;
    return;
  }
  queued_bytes_ += payload->size();
  queue_.push_back({id->second, time_ns, payload});
  wake_.notify_one();
}

void Recorder::note_firmware(std::unique_lock<std::mutex> &lock) {
  if (firmware_ < 0 || firmware_noted_) return;
  firmware_noted_ = true;
  if (error_) return;
  const std::map<std::string, std::string> values{{"revision", std::to_string(firmware_)}};
  lock.unlock();
  const std::uint64_t lost = writer_.lost();
  const int r = writer_.write_metadata("firmware", values);
  lock.lock();
  account(r, lost);
}

void Recorder::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    note_firmware(lock);
    // A quiet spell closes the open chunk, so that little is lost should the process be killed.
    if (queue_.empty() && !stopping_ &&
        !wake_.wait_for(lock, std::chrono::milliseconds(250), [this] {
          return !queue_.empty() || stopping_ || (firmware_ >= 0 && !firmware_noted_);
        })) {
      lock.unlock();
      const std::uint64_t lost = writer_.lost();
      const int r = writer_.flush();
      lock.lock();
      account(r, lost);
      continue;
    }
    if (queue_.empty()) {
      if (stopping_) break;  // everything is written
      continue;              // woken for the firmware record
    }
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
  std::lock_guard control(control_);
  if (!thread_.joinable()) {
    std::lock_guard lock(mutex_);
    return error_;
  }
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    running_ = false;
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
