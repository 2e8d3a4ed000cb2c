// A client's bounded send queues, served in turn.
#include "outbox.h"

#include <algorithm>

namespace bridge {

Outbox::Queue &Outbox::queue_of(std::uint32_t channel) {
  for (auto &q : queues_)
    if (q.channel == channel) return q;
  queues_.push_back({});
  queues_.back().channel = channel;
  return queues_.back();
}

void Outbox::drop_front(Queue &q, const std::function<void(std::uint32_t)> &dropped) {
  const std::size_t n = q.items.front().size();
  q.bytes -= n;
  bytes_ -= n;
  --count_;
  q.items.pop_front();
  if (dropped) dropped(q.channel);
}

std::size_t Outbox::push(Outgoing m, const std::function<void(std::uint32_t)> &dropped) {
  const std::size_t n = m.size();
  bytes_ += n;
  ++count_;
  if (m.kind == Outgoing::kControl) {
    control_.push_back(std::move(m));
    return 0;
  }
  std::size_t lost = 0;
  Queue &q = queue_of(m.channel);
  const std::size_t room =
      m.kind == Outgoing::kLatest ? 1 : std::max<std::size_t>(1, max_per_channel_);
  while (q.items.size() >= room) {
    drop_front(q, dropped);
    ++lost;
  }
  q.items.push_back(std::move(m));
  q.bytes += n;
  // Over the bytes bound: the oldest message of the channel holding the most bytes goes, but
  // never the one just queued.
  while (bytes_ > max_bytes_) {
    Queue *largest = nullptr;
    for (auto &c : queues_) {
      std::size_t keep = &c == &q ? 1 : 0;
      if (c.items.size() > keep && (!largest || c.bytes > largest->bytes)) largest = &c;
    }
    if (!largest) break;
    drop_front(*largest, dropped);
    ++lost;
  }
  return lost;
}

bool Outbox::pop(Outgoing &m) {
  if (!control_.empty()) {
    m = std::move(control_.front());
    control_.pop_front();
  } else {
    if (count_ == 0) return false;
    // Deficit round robin: each channel's turn adds kQuantum bytes to what it may send.
    for (;;) {
      Queue &q = queues_[turn_];
      if (q.items.empty()) {
        q.deficit = 0;
        q.in_turn = false;
      } else {
        if (!q.in_turn) {
          q.deficit += kQuantum;
          q.in_turn = true;
        }
        const std::size_t n = q.items.front().size();
        if (n <= q.deficit) {
          q.deficit -= n;
          q.bytes -= n;
          m = std::move(q.items.front());
          q.items.pop_front();
          break;
        }
        q.in_turn = false;
      }
      turn_ = (turn_ + 1) % queues_.size();
    }
  }
  bytes_ -= m.size();
  --count_;
  return true;
}

}  // namespace bridge
