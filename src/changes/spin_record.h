// Whether, and how long, a waiter should look for news before it sleeps;
// the same record says whether its first sleep should be a nap (see
// change_log.cc), which pays in the same way only when news comes soon.
//
// A look pays when the answer comes from a process that runs on another
// processor meanwhile: it then costs neither side a system call. When the
// answer cannot come within it (the writer waits for the very processor
// the look occupies, every other one is busy, or the writer is simply slow)
// the look is lost time, and on a busy machine it delays the writer it
// waits for. So each waiting thread remembers how its looks went: after a
// look that found nothing it skips the next one, after another the next
// two, and so on up to kMaxSkips; a look that finds news makes it look
// every time again, for a few times as long as that one took. Private to
// the thread: nothing of it lives where another process could write it.
#ifndef KELTO_CHANGES_SPIN_RECORD_H_
#define KELTO_CHANGES_SPIN_RECORD_H_

#include <algorithm>
#include <cstdint>

namespace kelto {

class SpinRecord {
 public:
  // Few enough tries that a machine where looks never pay loses less than
  // a percent of its waits to them; often enough that one where they pay
  // again is noticed within a few hundred waits.
  static constexpr uint32_t kMaxSkips = 256;
  // The shortest look: news within it costs a system call less than a
  // sleep does.
  static constexpr int64_t kShortestLookNs = 2'000;

  explicit constexpr SpinRecord(int64_t longest_look_ns)
      : longest_ns_(longest_look_ns), look_ns_(longest_look_ns) {}

  // Whether the coming wait should look; a skipped look counts down.
  bool ShouldLook() {
    if (to_skip_ == 0) return true;
    --to_skip_;
    return false;
  }
  // How long the look should last.
  int64_t LookNs() const { return look_ns_; }
  // What a look found, and after how long.
  void Found(bool news, int64_t took_ns) {
    if (news) {
      skip_span_ = 0;
      look_ns_ = std::clamp(4 * took_ns, std::min(kShortestLookNs, longest_ns_), longest_ns_);
    } else {
      skip_span_ = std::min(skip_span_ == 0 ? 1 : 2 * skip_span_, kMaxSkips);
      // The next try gets the full length: the answer may simply be slower.
      look_ns_ = longest_ns_;
    }
    to_skip_ = skip_span_;
  }

 private:
  int64_t longest_ns_;
  int64_t look_ns_;
  uint32_t skip_span_ = 0;  // looks skipped after the last one that failed
  uint32_t to_skip_ = 0;    // of those, still to skip
};

}  // namespace kelto

#endif  // KELTO_CHANGES_SPIN_RECORD_H_
