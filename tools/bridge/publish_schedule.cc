#include "bridge/publish_schedule.h"

#include <algorithm>

namespace kelto::bridge {

PublishSchedule::PublishSchedule(uint32_t slots, double max_rate_hz)
    : interval_(max_rate_hz > 0 ? std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(1.0 / max_rate_hz))
                                : Clock::duration::zero()),
      slots_(slots) {}

void PublishSchedule::MarkChanged(uint32_t slot) {
  if (slot >= slots_.size() || slots_[slot].pending) return;
  slots_[slot].pending = true;
  pending_.push_back(slot);
}

void PublishSchedule::MarkAll() {
  for (uint32_t slot = 0; slot < slots_.size(); ++slot) MarkChanged(slot);
}

PublishSchedule::Clock::time_point PublishSchedule::DueTime(const Slot& slot) const {
  return slot.ever_sent ? slot.last_sent + interval_ : Clock::time_point::min();
}

std::vector<uint32_t> PublishSchedule::TakeDue(Clock::time_point now) {
  std::vector<uint32_t> due;
  size_t kept = 0;
  for (const uint32_t slot : pending_) {
    Slot& state = slots_[slot];
    if (DueTime(state) <= now) {
      state.pending = false;
      state.ever_sent = true;
      state.last_sent = now;
      due.push_back(slot);
    } else {
      pending_[kept++] = slot;
    }
  }
  pending_.resize(kept);
  return due;
}

PublishSchedule::Clock::time_point PublishSchedule::NextDue() const {
  Clock::time_point next = Clock::time_point::max();
  for (const uint32_t slot : pending_) next = std::min(next, DueTime(slots_[slot]));
  return next;
}

}  // namespace kelto::bridge
