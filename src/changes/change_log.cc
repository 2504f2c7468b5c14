// The change log's protocol is modelled for spin in change_log.pml beside
// this file (run by .ci/steps/30-model-check.sh). Atomics are taken as
// sequentially consistent there, with one exception it models: a lane
// writer's look at sleepers may overtake its store of the lane head, which
// sits in its store buffer (the writer has no fence), until the waiter's
// membarrier drains it. A waiter's first sleep in a wait may go without
// that membarrier if it is short; only a longer sleep needs the fence. The
// lane-less writer's append under the drain lock and seq_cst fence order
// its side itself.
#include "changes/change_log.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <unordered_set>

#include "changes/drain_lock.h"
#include "changes/spin_record.h"

namespace kelto {
namespace {

using change_log_internal::HeaderOf;
using change_log_internal::kUnfencedSleepNs;
using change_log_internal::LaneHeadsOf;
using change_log_internal::LaneRingOf;
using change_log_internal::LaneSlotOf;
using change_log_internal::RingOf;
using change_log_internal::RingSlotOf;

constexpr size_t kPageSize = 4096;
// A waiter looks this long before it sleeps, while such looks pay: an
// answer that comes within it costs no system call on either side.
constexpr int64_t kSpinNs = 20'000;
// Up to here the idents of a batch are checked for repeats one by one.
constexpr size_t kSmallBatch = 32;
// The longest a waiter past its own timeout (or a new cursor) waits for
// the drain lock.
constexpr int64_t kLockPatienceNs = 1'000'000'000;
// The longest a thread without a lane waits for it to append a mark, held
// by another process (a thread of its own is waited for as long as a waiter
// would). One that could not take it drops its marks into a resync for a
// while without trying: a write must not wait on a lock that someone holds
// for ever.
constexpr int64_t kWriterPatienceNs = 1'000'000;
constexpr int64_t kWriterBackOffNs = 100'000'000;

// Shared, not FUTEX_PRIVATE: the sleepers are in other processes.
void FutexWakeAll(uint32_t* word) {
  syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}
void FutexWait(uint32_t* word, uint32_t expected, int64_t timeout_ns) {
  struct timespec timeout;
  timeout.tv_sec = static_cast<time_t>(timeout_ns / 1'000'000'000);
  timeout.tv_nsec = static_cast<long>(timeout_ns % 1'000'000'000);
  // EAGAIN (the word moved), EINTR and ETIMEDOUT all send the caller back
  // to look again.
  syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

// A stopped holder (a debugger, SIGSTOP) or a live thread's id written
// over the lock word would hold everyone else for ever. So nobody waits for
// it longer than `give_up_at` (CLOCK_MONOTONIC, ns): a waiter then asks for
// a resync, a writer flags its mark as dropped (which the next drain turns
// into a resync), and nothing hangs. A holder that died is taken over: the
// ring is consistent enough after it (at worst a lane's marks are moved
// twice, and a mark reported twice is harmless). A drain holds the lock for
// a few milliseconds at most, far less than any patience below.
class DrainLock {
 public:
  DrainLock(ChangeLogHeader* header, int64_t give_up_at)
      : DrainLock(header, give_up_at, give_up_at) {}
  DrainLock(ChangeLogHeader* header, int64_t give_up_at, int64_t others_give_up_at)
      : header_(header), held_(TakeDrainLock(&header->drain_lock, give_up_at, others_give_up_at)) {}
  ~DrainLock() {
    if (held_) ReleaseDrainLock(&header_->drain_lock);
  }
  DrainLock(const DrainLock&) = delete;
  DrainLock& operator=(const DrainLock&) = delete;
  bool held() const { return held_; }

 private:
  ChangeLogHeader* header_;
  bool held_;
};

// Under the drain lock.
void Append(void* log, uint32_t ident) {
  ChangeLogHeader* header = HeaderOf(log);
  const uint64_t head = __atomic_load_n(&header->head, __ATOMIC_RELAXED);
  __atomic_store_n(&RingOf(log)[RingSlotOf(head)], ident, __ATOMIC_RELAXED);
  __atomic_store_n(&header->head, head + 1, __ATOMIC_RELEASE);
}

uint32_t LanesInUse(const ChangeLogHeader* header) {
  return std::min(__atomic_load_n(&header->lanes_in_use, __ATOMIC_ACQUIRE), kLaneCount);
}

// Under the drain lock: moves one lane's new marks to the ring. Its owner
// may be writing meanwhile and overwrite marks not yet moved once it is a
// lane ahead of them: those are replaced by a resync mark.
void DrainLane(void* log, uint32_t lane) {
  ChangeLogHeader* header = HeaderOf(log);
  const uint64_t head = __atomic_load_n(&LaneHeadsOf(log)[lane].head, __ATOMIC_ACQUIRE);
  uint64_t from = __atomic_load_n(&header->drained[lane], __ATOMIC_RELAXED);
  if (head == from) return;
  bool lost = head - from > kLaneCapacity;
  if (lost) from = head - kLaneCapacity;
  const uint32_t* ring = LaneRingOf(log, lane);
  // Acquired: a slot the owner has since reused was stored after the head
  // that tells so, and the look at the head below must see that head.
  for (uint64_t position = from; position != head; ++position) {
    Append(log, __atomic_load_n(&ring[LaneSlotOf(position)], __ATOMIC_ACQUIRE));
  }
  const uint64_t now = __atomic_load_n(&LaneHeadsOf(log)[lane].head, __ATOMIC_RELAXED);
  // The owner stores the mark of position p before it moves the head past
  // p: once the head reached from + capacity, the slot of `from` may hold
  // a newer mark already.
  if (now - from >= kLaneCapacity) lost = true;
  if (lost) Append(log, kResyncMark);
  __atomic_store_n(&header->drained[lane], head, __ATOMIC_RELEASE);
}

// A lane is counted in use before its first mark, so a lane past the count
// with marks not drained was hidden by garbage written over the count: the
// count is raised again, lest its owner's marks stay hidden for good.
void CountLaneInUse(ChangeLogHeader* header, uint32_t lane) {
  uint32_t in_use = __atomic_load_n(&header->lanes_in_use, __ATOMIC_RELAXED);
  while (in_use < lane + 1 &&
         !__atomic_compare_exchange_n(&header->lanes_in_use, &in_use, lane + 1, false,
                                      __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
  }
}

// Under the drain lock. Usually only the lanes counted in use; with
// `every_lane` (a waiter's last look, a new cursor) all of them, which
// costs a microsecond and finds lanes that the count no longer shows.
void DrainLanes(void* log, bool every_lane) {
  ChangeLogHeader* header = HeaderOf(log);
  const uint32_t in_use = LanesInUse(header);
  const uint32_t lanes = every_lane ? kLaneCount : in_use;
  for (uint32_t lane = in_use; lane < lanes; ++lane) {
    if (__atomic_load_n(&LaneHeadsOf(log)[lane].head, __ATOMIC_ACQUIRE) !=
        __atomic_load_n(&header->drained[lane], __ATOMIC_RELAXED)) {
      CountLaneInUse(header, lane);
    }
  }
  const uint32_t to_drain = every_lane ? LanesInUse(header) : in_use;
  for (uint32_t lane = 0; lane < to_drain; ++lane) DrainLane(log, lane);
}

// Under the drain lock, in a wait: marks that writers could not put in
// become a resync. Not for a new cursor, which would step over it: those
// marks' values were stored before the cursor was made. Counted off only
// after the resync is in: a waiter killed in between leaves them for the
// next, and a mark dropped meanwhile stays counted.
void ResyncForDroppedMarks(void* log) {
  ChangeLogHeader* header = HeaderOf(log);
  const uint32_t dropped = __atomic_load_n(&header->marks_dropped, __ATOMIC_SEQ_CST);
  if (dropped != 0) {
    Append(log, kResyncMark);
    __atomic_fetch_sub(&header->marks_dropped, dropped, __ATOMIC_SEQ_CST);
  }
}

// Marks the waiter has not seen yet, without taking the lock: a lane with
// marks not drained, or a ring past the cursor. The lanes first: another
// waiter may drain a lane between the two looks, and its marks are then in
// the ring, where the second look finds them.
bool AnythingNew(void* log, uint64_t cursor) {
  ChangeLogHeader* header = HeaderOf(log);
  const uint32_t lanes = LanesInUse(header);
  for (uint32_t lane = 0; lane < lanes; ++lane) {
    if (__atomic_load_n(&LaneHeadsOf(log)[lane].head, __ATOMIC_SEQ_CST) !=
        __atomic_load_n(&header->drained[lane], __ATOMIC_SEQ_CST)) {
      return true;
    }
  }
  // Dropped marks before the ring, for the same reason: a waiter appends
  // their resync before it counts them off.
  return __atomic_load_n(&header->marks_dropped, __ATOMIC_SEQ_CST) != 0 ||
         __atomic_load_n(&header->head, __ATOMIC_SEQ_CST) != cursor;
}

// Looks at the log until news or `end`.
bool NewsWithinLook(void* log, uint64_t cursor, int64_t end) {
  for (int looks = 0;; ++looks) {
    if (AnythingNew(log, cursor)) return true;
    if ((looks & 15) == 15 && MonotonicNs() >= end) return false;
    CpuRelax();
  }
}

// How this thread's looks before sleeping went, and its naps (see
// spin_record.h): a nap that ends without news costs an extra wake-up, and
// a membarrier after it anyway.
__thread SpinRecord t_spin_record{kSpinNs};
__thread SpinRecord t_nap_record{kUnfencedSleepNs};

// Looks for news for up to kSpinNs (never past `deadline`), on machines
// with a second processor to bring it, while such looks have been paying.
bool NewsWithinSpin(void* log, uint64_t cursor, int64_t deadline) {
  static const bool worth_it = sysconf(_SC_NPROCESSORS_ONLN) > 1;
  if (!worth_it || !t_spin_record.ShouldLook()) return false;
  const int64_t start = MonotonicNs();
  const bool news = NewsWithinLook(log, cursor, std::min(deadline, start + t_spin_record.LookNs()));
  t_spin_record.Found(news, MonotonicNs() - start);
  return news;
}

// Each ident once, in order of first change. Small batches, the common
// case, are checked by a look along them; large ones through a set.
class Batch {
 public:
  explicit Batch(std::vector<uint32_t>* idents) : idents_(idents) {}
  void Add(uint32_t ident) {
    if (idents_->size() < kSmallBatch) {
      if (std::find(idents_->begin(), idents_->end(), ident) == idents_->end()) {
        idents_->push_back(ident);
      }
      return;
    }
    if (seen_.empty()) seen_.insert(idents_->begin(), idents_->end());
    if (seen_.insert(ident).second) idents_->push_back(ident);
  }

 private:
  std::vector<uint32_t>* idents_;
  std::unordered_set<uint32_t> seen_;
};

// Under the drain lock: reads the ring from *cursor to its head.
void Collect(void* log, uint64_t* cursor, const ChangeFilter& filter, Batch* batch, bool* resync) {
  const uint64_t head = __atomic_load_n(&HeaderOf(log)->head, __ATOMIC_RELAXED);
  if (*cursor > head || head - *cursor > kChangeLogCapacity) {
    // Overwritten already, or a cursor of another table, or one never
    // handed out: ahead of the ring, it would take old marks for new.
    *cursor = head;
    *resync = true;
    return;
  }
  const uint32_t* ring = RingOf(log);
  for (uint64_t position = *cursor; position != head; ++position) {
    const uint32_t ident = __atomic_load_n(&ring[RingSlotOf(position)], __ATOMIC_RELAXED);
    if (ident == kResyncMark) {
      *resync = true;
    } else if (filter.Accepts(ident)) {
      batch->Add(ident);
    }
  }
  *cursor = head;
}

}  // namespace

size_t ChangeLogBytes() {
  const size_t bytes = sizeof(ChangeLogHeader) + sizeof(LaneHead) * kLaneCount +
                       sizeof(uint32_t) * (size_t{kLaneCount} * kLaneCapacity + kChangeLogCapacity);
  return (bytes + kPageSize - 1) / kPageSize * kPageSize;
}

void InitChangeLog(void* mapped) {
  ChangeLogHeader* header = HeaderOf(mapped);
  __atomic_store_n(&header->drain_lock, 0u, __ATOMIC_RELAXED);
  __atomic_store_n(&header->capacity, kChangeLogCapacity, __ATOMIC_RELAXED);
  __atomic_store_n(&header->lane_count, kLaneCount, __ATOMIC_RELAXED);
  __atomic_store_n(&header->lane_capacity, kLaneCapacity, __ATOMIC_RELAXED);
  // The magic last: a reader that sees it sees a complete header.
  __atomic_store_n(&header->magic, kChangeLogMagic, __ATOMIC_RELEASE);
}

bool IsChangeLog(const void* mapped, size_t length) {
  if (mapped == nullptr || length < ChangeLogBytes()) return false;
  const auto* header = static_cast<const ChangeLogHeader*>(mapped);
  return __atomic_load_n(&header->magic, __ATOMIC_ACQUIRE) == kChangeLogMagic &&
         __atomic_load_n(&header->capacity, __ATOMIC_RELAXED) == kChangeLogCapacity &&
         __atomic_load_n(&header->lane_count, __ATOMIC_RELAXED) == kLaneCount &&
         __atomic_load_n(&header->lane_capacity, __ATOMIC_RELAXED) == kLaneCapacity;
}

namespace {

// A thread's last failure to take a log's drain lock for a mark: until
// `until` its marks in that log are dropped without trying.
struct BackOff {
  const void* log;
  int64_t until;
};
__thread BackOff t_back_off = {nullptr, 0};

// A mark without a lane. One that cannot go in is counted as dropped: the
// next drain tells waiters to re-read everything instead, and sleepers are
// woken for it by the caller.
void AppendOrDrop(void* log, uint32_t ident) {
  ChangeLogHeader* header = HeaderOf(log);
  const int64_t now = MonotonicNs();
  if (t_back_off.log != log || now >= t_back_off.until) {
    DrainLock lock(header, now + kLockPatienceNs, now + kWriterPatienceNs);
    if (lock.held()) {
      Append(log, ident);
      return;
    }
    t_back_off = BackOff{log, now + kWriterBackOffNs};
  }
  __atomic_fetch_add(&header->marks_dropped, 1, __ATOMIC_SEQ_CST);
}

}  // namespace

void MendChangeLog(void* mapped) {
  ChangeLogHeader* header = HeaderOf(mapped);
  __atomic_store_n(&header->capacity, kChangeLogCapacity, __ATOMIC_RELAXED);
  __atomic_store_n(&header->lane_count, kLaneCount, __ATOMIC_RELAXED);
  __atomic_store_n(&header->lane_capacity, kLaneCapacity, __ATOMIC_RELAXED);
  // What was overwritten may have held marks: a resync at the next drain.
  __atomic_fetch_add(&header->marks_dropped, 1, __ATOMIC_SEQ_CST);
  __atomic_store_n(&header->magic, kChangeLogMagic, __ATOMIC_RELEASE);
}

namespace change_log_internal {

int32_t MarkWithoutCachedLane(void* log, uint32_t ident) {
  if (__atomic_load_n(&lanes_internal::t_lane_cache.lane_less, __ATOMIC_RELAXED) != log) {
    lanes_internal::ClaimLane(log);
  }
  ChangeLogHeader* header = HeaderOf(log);
  if (const lanes_internal::LaneCache* lane = CachedLane(log)) {
    PublishInLane(lane->head, lane->ring, ident);
  } else {
    AppendOrDrop(log, ident);
  }
  // Against the waiter's "sleepers = 1, then look": a rare path, so it pays
  // the fence itself rather than count on the waiter's. The look at the
  // flag is a locked read-modify-write, which is that fence (and, unlike a
  // fence of its own, something ThreadSanitizer follows).
  if (__atomic_fetch_add(&header->sleepers, 0, __ATOMIC_SEQ_CST) != 0) WakeSleepers(header);
  return 0;
}

int32_t WakeSleepers(ChangeLogHeader* header) {
  if (__atomic_exchange_n(&header->sleepers, 0, __ATOMIC_SEQ_CST) != 0) {
    __atomic_fetch_add(&header->wake_word, 1, __ATOMIC_SEQ_CST);
    FutexWakeAll(&header->wake_word);
  }
  return 0;
}

}  // namespace change_log_internal

uint64_t CurrentChangeCursor(void* change_log) {
  if (change_log == nullptr) return 0;
  ChangeLogHeader* header = HeaderOf(change_log);
  DrainLock lock(header, MonotonicNs() + kLockPatienceNs);
  if (lock.held()) DrainLanes(change_log, true);
  return __atomic_load_n(&header->head, __ATOMIC_ACQUIRE);
}

WaitOutcome WaitForChanges(void* change_log, uint64_t* cursor, int timeout_ms,
                           const ChangeFilter& filter, std::vector<uint32_t>* idents,
                           bool* resync) {
  idents->clear();
  *resync = false;
  if (change_log == nullptr) return WaitOutcome::kTimedOut;
  ChangeLogHeader* header = HeaderOf(change_log);
  const int64_t deadline = MonotonicNs() + int64_t{timeout_ms < 0 ? 0 : timeout_ms} * 1'000'000;
  // A look (timeout 0) still waits for a drain in progress; a lock that
  // nobody lets go costs at most the timeout or the patience, once.
  const int64_t give_up_at = std::max(deadline, MonotonicNs() + kLockPatienceNs);
  Batch batch(idents);
  bool slept = false;    // the first sleep of the wait is behind it
  bool napping = false;  // the last sleep was a nap
  for (;;) {
    bool drained = false;
    {
      const int64_t now = MonotonicNs();
      DrainLock lock(header, give_up_at);
      if (lock.held()) {
        DrainLanes(change_log, now >= deadline);
        ResyncForDroppedMarks(change_log);
        Collect(change_log, cursor, filter, &batch, resync);
        drained = true;
      }
    }
    if (!drained) {
      // The lock's patience ends no earlier than the deadline: what changed
      // since the last look (if any) is unknown, and "nothing changed"
      // might be wrong.
      *resync = true;
      return WaitOutcome::kChanged;
    }
    if (*resync || !idents->empty()) {
      if (napping) t_nap_record.Found(true, 0);
      return WaitOutcome::kChanged;
    }
    const int64_t remaining = deadline - MonotonicNs();
    if (remaining <= 0) return WaitOutcome::kTimedOut;
    if (!slept && NewsWithinSpin(change_log, *cursor, deadline)) continue;
    if (napping) t_nap_record.Found(false, 0);
    const uint32_t word = __atomic_load_n(&header->wake_word, __ATOMIC_SEQ_CST);
    __atomic_store_n(&header->sleepers, 1, __ATOMIC_SEQ_CST);
    // The first sleep may be a nap without the fence, while naps have been
    // ending with news: a writer that missed the flag costs it at most the
    // nap. Other sleeps are fenced.
    napping = !slept && t_nap_record.ShouldLook();
    slept = true;
    const bool fenced = !napping && FenceLaneWriters();
    if (AnythingNew(change_log, *cursor)) continue;
    FutexWait(&header->wake_word, word, fenced ? remaining : std::min(remaining, kUnfencedSleepNs));
  }
}

}  // namespace kelto
