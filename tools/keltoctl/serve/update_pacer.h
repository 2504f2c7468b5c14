// Paces the updates of each variable: a variable is sent at most once per
// interval however often it is written, and its last change is always sent
// (late rather than never). Pure bookkeeping; the caller reads the values.
#ifndef KELTOCTL_SERVE_UPDATE_PACER_H_
#define KELTOCTL_SERVE_UPDATE_PACER_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace keltoctl::serve {

class UpdatePacer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit UpdatePacer(Clock::duration interval) : interval_(interval) {}

  // Forgets everything: a new table of `count` variables.
  void Reset(uint32_t count);
  // `ident` changed (idents beyond the count are ignored).
  void MarkChanged(uint32_t ident);
  void MarkAllChanged();

  // The changed idents whose last send is at least one interval before
  // `now`, in ident order; they count as sent at `now`.
  std::vector<uint32_t> TakeDue(Clock::time_point now);

  // When the earliest changed ident becomes due; none when nothing waits.
  std::optional<Clock::time_point> NextDue() const;

 private:
  Clock::duration interval_;
  std::vector<Clock::time_point> last_sent_;
  std::vector<bool> pending_;
  std::vector<uint32_t> pending_list_;
};

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_UPDATE_PACER_H_
