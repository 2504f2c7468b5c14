#include "keltoctl/serve/update_pacer.h"

#include <algorithm>

namespace keltoctl::serve {

void UpdatePacer::Reset(uint32_t count) {
  last_sent_.assign(count, Clock::time_point::min());
  pending_.assign(count, false);
  pending_list_.clear();
}

void UpdatePacer::MarkChanged(uint32_t ident) {
  if (ident >= pending_.size() || pending_[ident]) return;
  pending_[ident] = true;
  pending_list_.push_back(ident);
}

void UpdatePacer::MarkAllChanged() {
  for (uint32_t ident = 0; ident < pending_.size(); ++ident) MarkChanged(ident);
}

std::vector<uint32_t> UpdatePacer::TakeDue(Clock::time_point now) {
  std::vector<uint32_t> due;
  std::vector<uint32_t> still_pending;
  for (const uint32_t ident : pending_list_) {
    // Written so that the first send, from time_point::min(), cannot overflow.
    if (now - interval_ >= last_sent_[ident]) {
      due.push_back(ident);
      last_sent_[ident] = now;
      pending_[ident] = false;
    } else {
      still_pending.push_back(ident);
    }
  }
  pending_list_ = std::move(still_pending);
  std::sort(due.begin(), due.end());
  return due;
}

std::optional<UpdatePacer::Clock::time_point> UpdatePacer::NextDue() const {
  std::optional<Clock::time_point> earliest;
  for (const uint32_t ident : pending_list_) {
    const Clock::time_point due = last_sent_[ident] + interval_;
    if (!earliest || due < *earliest) earliest = due;
  }
  return earliest;
}

}  // namespace keltoctl::serve
