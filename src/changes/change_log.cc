#include "changes/change_log.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <unordered_set>

namespace kelto {
namespace {

using change_log_internal::EntriesOf;
using change_log_internal::SlotOf;

constexpr size_t kPageSize = 4096;
// How long a reader waits for a reserved entry to be stamped before it
// takes its writer for dead. A live writer stamps within nanoseconds of
// reserving; only a kill (or a very long preemption) between the two lasts.
constexpr int64_t kStampPatienceNs = 1'000'000;

ChangeLogHeader* HeaderOf(void* change_log) { return static_cast<ChangeLogHeader*>(change_log); }
const ChangeLogHeader* HeaderOf(const void* change_log) {
  return static_cast<const ChangeLogHeader*>(change_log);
}
uint32_t TagOf(uint64_t entry) { return static_cast<uint32_t>(entry >> 32); }
uint32_t TagFor(uint64_t seq) { return static_cast<uint32_t>(seq + 1); }

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
  // to look at the ring again.
  syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

// The entry of `seq`, once its writer stamped it; false when the writer
// seems dead (or a later lap overwrote it). `patience_ns` is shared by all
// entries of one wait, so many dead writers cost about a millisecond, not
// one each.
bool LoadStamped(const uint64_t* slot, uint64_t seq, int64_t* patience_end, uint64_t* entry) {
  for (int spins = 0;; ++spins) {
    *entry = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (TagOf(*entry) == TagFor(seq)) return true;
    if (*patience_end == 0) *patience_end = MonotonicNs() + kStampPatienceNs;
    if (MonotonicNs() >= *patience_end) return false;
    if (spins > 64) sched_yield();
  }
}

struct Collected {
  bool resync = false;
};

// Reads the entries [*cursor, head) into `idents` and moves the cursor.
Collected Collect(void* change_log, uint64_t* cursor, uint64_t head,
                  const std::function<bool(uint32_t)>& filter, std::vector<uint32_t>* idents,
                  std::unordered_set<uint32_t>* seen) {
  Collected collected;
  if (head - *cursor > kChangeLogCapacity) {
    // The entries we have not read yet are overwritten already.
    *cursor = head;
    collected.resync = true;
    return collected;
  }
  const uint64_t* entries = EntriesOf(change_log);
  int64_t patience_end = 0;
  for (uint64_t seq = *cursor; seq != head; ++seq) {
    uint64_t entry = 0;
    if (!LoadStamped(&entries[SlotOf(seq)], seq, &patience_end, &entry)) {
      collected.resync = true;
      continue;
    }
    const auto ident = static_cast<uint32_t>(entry);
    if (filter && !filter(ident)) continue;
    if (seen->insert(ident).second) idents->push_back(ident);
  }
  *cursor = head;
  return collected;
}

}  // namespace

size_t ChangeLogBytes() {
  const size_t bytes = sizeof(ChangeLogHeader) + size_t{kChangeLogCapacity} * sizeof(uint64_t);
  return (bytes + kPageSize - 1) / kPageSize * kPageSize;
}

void InitChangeLog(void* mapped) {
  ChangeLogHeader* header = HeaderOf(mapped);
  __atomic_store_n(&header->capacity, kChangeLogCapacity, __ATOMIC_RELAXED);
  // The magic last: a reader that sees it sees a complete header.
  __atomic_store_n(&header->magic, kChangeLogMagic, __ATOMIC_RELEASE);
}

bool IsChangeLog(const void* mapped, size_t length) {
  if (mapped == nullptr || length < ChangeLogBytes()) return false;
  const ChangeLogHeader* header = HeaderOf(mapped);
  return __atomic_load_n(&header->magic, __ATOMIC_ACQUIRE) == kChangeLogMagic &&
         __atomic_load_n(&header->capacity, __ATOMIC_RELAXED) == kChangeLogCapacity;
}

namespace change_log_internal {

void WakeSleepers(ChangeLogHeader* header) {
  if (__atomic_exchange_n(&header->sleepers, 0, __ATOMIC_SEQ_CST) != 0) {
    __atomic_fetch_add(&header->wake_word, 1, __ATOMIC_SEQ_CST);
    FutexWakeAll(&header->wake_word);
  }
}

}  // namespace change_log_internal

uint64_t CurrentChangeCursor(const void* change_log) {
  if (change_log == nullptr) return 0;
  return __atomic_load_n(&HeaderOf(change_log)->head, __ATOMIC_ACQUIRE);
}

WaitOutcome WaitForChanges(void* change_log, uint64_t* cursor, int timeout_ms,
                           const std::function<bool(uint32_t)>& filter,
                           std::vector<uint32_t>* idents, bool* resync) {
  idents->clear();
  *resync = false;
  if (change_log == nullptr) return WaitOutcome::kTimedOut;
  ChangeLogHeader* header = HeaderOf(change_log);
  const int64_t deadline = MonotonicNs() + int64_t{timeout_ms < 0 ? 0 : timeout_ms} * 1'000'000;
  std::unordered_set<uint32_t> seen;
  for (;;) {
    const uint64_t head = __atomic_load_n(&header->head, __ATOMIC_ACQUIRE);
    if (head != *cursor) {
      const Collected collected = Collect(change_log, cursor, head, filter, idents, &seen);
      if (collected.resync || !idents->empty()) {
        *resync = collected.resync;
        return WaitOutcome::kChanged;
      }
      continue;  // only changes the filter refused: look again, then sleep
    }
    const int64_t remaining = deadline - MonotonicNs();
    if (remaining <= 0) return WaitOutcome::kTimedOut;
    const uint32_t word = __atomic_load_n(&header->wake_word, __ATOMIC_SEQ_CST);
    __atomic_store_n(&header->sleepers, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&header->head, __ATOMIC_SEQ_CST) != *cursor) continue;
    FutexWait(&header->wake_word, word, remaining);
  }
}

}  // namespace kelto
