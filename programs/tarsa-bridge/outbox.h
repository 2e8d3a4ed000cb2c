// A client's bounded send queue. The robot loop fills it and never waits; when a client cannot
// keep up, its camera frames go first, then its oldest messages; the server's own announcements
// stay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace bridge {

struct Outgoing {
  enum Kind { kControl, kMessage, kFrame };
  Kind kind = kMessage;
  bool binary = false;
  std::string head;                         // per client (the Message Data header)
  std::shared_ptr<const std::string> body;  // shared by every client
  std::size_t size() const { return head.size() + (body ? body->size() : 0); }
};

class Outbox {
 public:
  Outbox(std::size_t max_bytes, std::size_t max_count)
      : max_bytes_(max_bytes), max_count_(max_count) {}

  // Queues `m`, dropping what must go to stay within the bounds. Returns the number dropped.
  std::size_t push(Outgoing m);
  bool pop(Outgoing &m);
  bool empty() const { return queue_.empty(); }
  std::size_t bytes() const { return bytes_; }
  std::size_t count() const { return queue_.size(); }

 private:
  bool drop_first(Outgoing::Kind kind);

  std::size_t max_bytes_, max_count_, bytes_ = 0;
  std::deque<Outgoing> queue_;
};

}  // namespace bridge
