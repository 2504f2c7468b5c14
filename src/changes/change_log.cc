// The change log's protocol is modelled for spin in change_log.pml beside
// this file (run by .ci/steps/30-model-check.sh). Atomics are taken as
// sequentially consistent there. Two pairs depend on it: the waiter's
// "sleepers = 1, then look at the lanes" against a lane writer's "publish,
// then look at sleepers", made so by the waiter's membarrier (the writer
// pays nothing), and the same against a lane-less writer, whose append
// under the drain lock and seq_cst fence make it so.
#include "changes/change_log.h"

#include <errno.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <unordered_set>

namespace kelto {
namespace {

using change_log_internal::HeaderOf;
using change_log_internal::LaneHeadsOf;
using change_log_internal::LaneRingOf;
using change_log_internal::LaneSlotOf;
using change_log_internal::RingOf;
using change_log_internal::RingSlotOf;

constexpr size_t kPageSize = 4096;
// When no fence can be forced on writers, a waiter looks again this often.
constexpr int64_t kUnfencedSleepNs = 1'000'000;
// A waiter looks this long before it sleeps: an answer that comes within
// it costs no system call on either side, and a waiter that sleeps pays a
// membarrier, whose interrupt also stops every writing process for a moment.
constexpr int64_t kSpinNs = 20'000;
// Up to here the idents of a batch are checked for repeats one by one.
constexpr size_t kSmallBatch = 32;
// The longest a writer, or a waiter past its own timeout, waits for the
// drain lock, and how often a waiter that cannot take it at all (its bytes
// are garbage) looks again.
constexpr int64_t kLockPatienceNs = 1'000'000'000;
constexpr int64_t kBrokenLockRetryNs = 10'000'000;

int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

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

void InitDrainLock(pthread_mutex_t* lock) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(lock, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

#if defined(__SANITIZE_THREAD__)
#define KELTO_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KELTO_THREAD_SANITIZER 1
#endif
#endif

// Locks `lock`, giving up at `give_up_at` (CLOCK_MONOTONIC, ns).
int LockUntil(pthread_mutex_t* lock, int64_t give_up_at) {
  struct timespec until;
#ifdef KELTO_THREAD_SANITIZER
  // ThreadSanitizer follows timedlock but not clocklock, and would take
  // the unlock for one of a lock nobody took. Its builds are tests, where
  // nobody sets the clock: the deadline is moved to the real-time clock.
  // It takes a dead owner's lock for locked only from trylock.
  const int tried = pthread_mutex_trylock(lock);
  if (tried != EBUSY) return tried;
  clock_gettime(CLOCK_REALTIME, &until);
  const int64_t at = static_cast<int64_t>(until.tv_sec) * 1'000'000'000 + until.tv_nsec +
                     std::max<int64_t>(give_up_at - MonotonicNs(), 0);
  until.tv_sec = static_cast<time_t>(at / 1'000'000'000);
  until.tv_nsec = static_cast<long>(at % 1'000'000'000);
  return pthread_mutex_timedlock(lock, &until);
#else
  until.tv_sec = static_cast<time_t>(give_up_at / 1'000'000'000);
  until.tv_nsec = static_cast<long>(give_up_at % 1'000'000'000);
  return pthread_mutex_clocklock(lock, CLOCK_MONOTONIC, &until);
#endif
}

// The drain lock is robust: a process killed while holding it leaves the
// ring consistent enough (at worst a lane's marks are moved twice, and a
// mark reported twice is harmless), so the next holder carries on.
//
// A holder that is stopped (a debugger, SIGSTOP) rather than killed, or a
// lock word overwritten to name a live process, would hold everyone else
// for ever. So nobody waits for it longer than `give_up_at`
// (CLOCK_MONOTONIC, ns): a waiter then asks for a resync, a writer flags
// its mark as dropped (which the next drain turns into a resync), and
// nothing hangs. A drain holds the lock for a few milliseconds at most, far
// less than any patience below. The lock's other bytes are the C library's
// own, and garbage written there is not defended against.
class DrainLock {
 public:
  DrainLock(ChangeLogHeader* header, int64_t give_up_at) : header_(header) {
    int result = LockUntil(&header_->drain_lock, give_up_at);
    if (result == EOWNERDEAD) result = pthread_mutex_consistent(&header_->drain_lock);
    held_ = result == 0;
  }
  ~DrainLock() {
    if (held_) pthread_mutex_unlock(&header_->drain_lock);
  }
  DrainLock(const DrainLock&) = delete;
  DrainLock& operator=(const DrainLock&) = delete;
  bool held() const { return held_; }

 private:
  ChangeLogHeader* header_;
  bool held_ = false;
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

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Looks for news for up to kSpinNs (never past `deadline`), on machines
// with a second processor to bring it.
bool NewsWithinSpin(void* log, uint64_t cursor, int64_t deadline) {
  static const bool worth_it = sysconf(_SC_NPROCESSORS_ONLN) > 1;
  if (!worth_it) return false;
  const int64_t end = std::min(deadline, MonotonicNs() + kSpinNs);
  for (int looks = 0;; ++looks) {
    if (AnythingNew(log, cursor)) return true;
    if ((looks & 15) == 15 && MonotonicNs() >= end) return false;
    CpuRelax();
  }
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
  InitDrainLock(&header->drain_lock);
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

namespace change_log_internal {

int32_t MarkWithoutCachedLane(void* log, uint32_t ident) {
  if (__atomic_load_n(&lanes_internal::t_lane_cache.lane_less, __ATOMIC_RELAXED) != log) {
    lanes_internal::ClaimLane(log);
  }
  ChangeLogHeader* header = HeaderOf(log);
  if (const lanes_internal::LaneCache* lane = CachedLane(log)) {
    PublishInLane(lane->head, lane->ring, ident);
  } else {
    DrainLock lock(header, MonotonicNs() + kLockPatienceNs);
    if (lock.held()) {
      Append(log, ident);
    } else {
      // The mark cannot go in: the next drain tells waiters to re-read
      // everything instead, and sleepers are woken for it below.
      __atomic_fetch_add(&header->marks_dropped, 1, __ATOMIC_SEQ_CST);
    }
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
  Batch batch(idents);
  bool looked = false;  // drained at least once
  for (;;) {
    bool drained = false;
    {
      const int64_t now = MonotonicNs();
      // A look (timeout 0) still waits for a drain in progress.
      DrainLock lock(header, std::max(deadline, now + kLockPatienceNs));
      if (lock.held()) {
        DrainLanes(change_log, now >= deadline);
        ResyncForDroppedMarks(change_log);
        Collect(change_log, cursor, filter, &batch, resync);
        drained = true;
        looked = true;
      }
    }
    if (*resync || !idents->empty()) return WaitOutcome::kChanged;
    const int64_t remaining = deadline - MonotonicNs();
    if (remaining <= 0) {
      if (looked) return WaitOutcome::kTimedOut;
      // Nothing could be looked at: "nothing changed" might be wrong.
      *resync = true;
      return WaitOutcome::kChanged;
    }
    if (!drained) {
      // A lock that refused at once: its news cannot be read, and looking
      // for news without it would spin until the deadline.
      const int64_t pause = std::min(remaining, kBrokenLockRetryNs);
      const struct timespec nap = {0, static_cast<long>(pause)};
      nanosleep(&nap, nullptr);
      continue;
    }
    if (NewsWithinSpin(change_log, *cursor, deadline)) continue;
    const uint32_t word = __atomic_load_n(&header->wake_word, __ATOMIC_SEQ_CST);
    __atomic_store_n(&header->sleepers, 1, __ATOMIC_SEQ_CST);
    const bool fenced = FenceLaneWriters();
    if (AnythingNew(change_log, *cursor)) continue;
    FutexWait(&header->wake_word, word, fenced ? remaining : std::min(remaining, kUnfencedSleepNs));
  }
}

}  // namespace kelto
