// A client's bounded send queues: one per channel, served in turn so that a large channel
// (the camera) cannot crowd out the small ones. The robot loop fills them and never waits. A
// channel whose newest message is all that matters (the camera, the scan) keeps only that one;
// the others drop their oldest when full. The server's own announcements are never dropped and
// go first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bridge {

struct Outgoing {
  enum Kind {
    kControl,  // the server's announcements: never dropped, sent first
    kMessage,  // bounded; the oldest goes when full
    kLatest,   // only the newest is kept
  };
  Kind kind = kMessage;
  bool binary = false;
  std::uint32_t channel = 0;                // the queue it waits in; 0: the server's replies
  std::string head;                         // per client (the Message Data header)
  std::shared_ptr<const std::string> body;  // shared by every client
  std::size_t size() const { return head.size() + (body ? body->size() : 0); }
};

class Outbox {
 public:
  // Bytes each channel may send in its turn before the next channel's turn comes.
  static constexpr std::size_t kQuantum = 16 * 1024;

  // `max_bytes` bounds every queue together, `max_per_channel` each channel's.
  Outbox(std::size_t max_bytes, std::size_t max_per_channel)
      : max_bytes_(max_bytes), max_per_channel_(max_per_channel) {}

  // Queues `m`, dropping what must go to stay within the bounds; `dropped` hears the channel of
  // each message dropped. Returns the number dropped.
  std::size_t push(Outgoing m, const std::function<void(std::uint32_t)> &dropped = {});
  // The next message to send: announcements first, then the channels in turn, each sending up
  // to kQuantum bytes (a larger message waits for turns to add up).
  bool pop(Outgoing &m);
  bool empty() const { return count_ == 0; }
  std::size_t bytes() const { return bytes_; }
  std::size_t count() const { return count_; }

 private:
  struct Queue {
    std::uint32_t channel = 0;
    std::deque<Outgoing> items;
    std::size_t bytes = 0, deficit = 0;
    bool in_turn = false;
  };
  Queue &queue_of(std::uint32_t channel);
  void drop_front(Queue &q, const std::function<void(std::uint32_t)> &dropped);

  std::size_t max_bytes_, max_per_channel_, bytes_ = 0, count_ = 0;
  std::deque<Outgoing> control_;
  std::vector<Queue> queues_;
  std::size_t turn_ = 0;
};

}  // namespace bridge
