// A client's bounded send queue.
#include "outbox.h"

namespace bridge {

bool Outbox::drop_first(Outgoing::Kind kind) {
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (it->kind != kind) continue;
    bytes_ -= it->size();
    queue_.erase(it);
    return true;
  }
  return false;
}

std::size_t Outbox::push(Outgoing m) {
  bytes_ += m.size();
  queue_.push_back(std::move(m));
  std::size_t dropped = 0;
  while (bytes_ > max_bytes_ || queue_.size() > max_count_) {
    if (!drop_first(Outgoing::kFrame) && !drop_first(Outgoing::kMessage)) break;
    ++dropped;
  }
  return dropped;
}

bool Outbox::pop(Outgoing &m) {
  if (queue_.empty()) return false;
  m = std::move(queue_.front());
  queue_.pop_front();
  bytes_ -= m.size();
  return true;
}

}  // namespace bridge
