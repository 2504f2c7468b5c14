// When each exported variable may be published next. A variable that
// changes is marked pending; it is published at once when its last
// publication is at least one interval old, else as soon as it is. Marks in
// between merge into one, and the value is read only when it is published,
// so the latest value always wins and always arrives, however fast the
// variable is written.
#ifndef KELTO_TOOLS_BRIDGE_PUBLISH_SCHEDULE_H_
#define KELTO_TOOLS_BRIDGE_PUBLISH_SCHEDULE_H_

#include <chrono>
#include <cstdint>
#include <vector>

namespace kelto::bridge {

class PublishSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // `slots` variables; at most `max_rate_hz` publications per second each
  // (0 or less: no limit).
  PublishSchedule(uint32_t slots, double max_rate_hz);

  void MarkChanged(uint32_t slot);
  void MarkAll();

  // The slots due at `now`, in the order they were marked; they are no
  // longer pending and count as published at `now`. Slots not yet due stay
  // pending.
  std::vector<uint32_t> TakeDue(Clock::time_point now);
  // The earliest time a pending slot falls due; Clock::time_point::max()
  // when none is pending.
  Clock::time_point NextDue() const;

  size_t pending_count() const { return pending_.size(); }

 private:
  struct Slot {
    bool pending = false;
    bool ever_sent = false;
    Clock::time_point last_sent{};
  };
  Clock::time_point DueTime(const Slot& slot) const;

  Clock::duration interval_;
  std::vector<Slot> slots_;
  std::vector<uint32_t> pending_;
};

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_PUBLISH_SCHEDULE_H_
