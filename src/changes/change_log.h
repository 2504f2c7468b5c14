// The change log: "ident changed" marks in a shared-memory object beside the
// segment, so that an observer can sleep until a variable changes and learn
// which ones did, at a cost that grows with the number of changes rather
// than with the size of the table.
//
// A writer never touches a line that another writer touches: each writing
// thread owns a lane (a small ring of its own marks with a head only it
// moves), so a mark is two plain stores and a load. Waiters, not writers,
// pay for merging: a waiter that looks first drains every lane, under a
// lock shared by the waiters, into one sequenced ring, whose positions are
// the cursors callers hold. A thread that finds no free lane (or a log that
// was mapped without lane owners) appends to that ring itself, under the
// same lock.
//
// A writer's "publish the lane head, then look whether anyone sleeps" needs
// a full fence between the store and the load. The writer does not pay it:
// a waiter about to sleep forces that fence on every writing process with
// membarrier(MEMBARRIER_CMD_GLOBAL_EXPEDITED) (see lanes.h), after it said
// it sleeps and before its last look at the lanes.
//
// Readers never block writers and a lane that overflows before anyone
// drained it, or a waiter more than a ring behind, is told to re-read
// everything instead of being given a wrong list.
#ifndef KELTO_CHANGES_CHANGE_LOG_H_
#define KELTO_CHANGES_CHANGE_LOG_H_

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "changes/lanes.h"

namespace kelto {

inline constexpr uint64_t kChangeLogMagic = 0x32676f6c676e6863;  // "chnglog2"
inline constexpr uint32_t kChangeLogCapacity = 1u << 16;         // the sequenced ring
inline constexpr uint32_t kLaneCount = 64;
inline constexpr uint32_t kLaneCapacity = 1u << 12;  // marks a lane holds before a drain
inline constexpr uint32_t kMarksPerLine = 64 / sizeof(uint32_t);
inline constexpr uint32_t kLanePrefetchDistance = 2 * kMarksPerLine;
// A ring entry that stands for "changes were lost here: re-read everything".
inline constexpr uint32_t kResyncMark = 0xffffffffu;

namespace change_log_internal {

// A waiter's sleep without a fence on writers (a nap) ends by this time at
// the latest: a writer may have missed the sleepers flag. It is the first
// sleep of a wait while such naps end with news (a wait answered soon then
// costs no membarrier, whose interrupts take tens of microseconds on a busy
// virtual machine), and every sleep where the kernel cannot fence. No
// shorter than the tick of a 250 Hz kernel: a timeout due before the next
// tick makes the kernel set the processor's timer as the sleep begins and
// again as the wake-up cancels it, which on a virtual machine cost a
// quarter of a wake-up (measured: 10 µs with a 1 ms nap, 7.4 µs with this).
inline constexpr int64_t kUnfencedSleepNs = 4'000'000;

}  // namespace change_log_internal

// Layout of the shared change log. Every field is accessed with __atomic
// builtins: every process that maps the object reads and writes them, and
// nothing in it is trusted beyond the checks its readers make.
struct ChangeLogHeader {
  uint64_t magic;  // kChangeLogMagic
  uint32_t capacity;
  uint32_t lane_count;
  uint32_t lane_capacity;
  uint32_t lanes_in_use;            // one past the highest lane ever claimed
  uint32_t marks_dropped;           // marks that could not go in; resync
  alignas(64) uint32_t wake_word;   // futex word, bumped when sleepers are woken
  uint32_t sleepers;                // nonzero while some waiter may sleep on wake_word
  alignas(64) uint32_t drain_lock;  // see drain_lock.h
  // Where a C library mutex was: the fields after it keep their places.
  unsigned char drain_lock_rest[sizeof(pthread_mutex_t) - sizeof(uint32_t)];
  uint64_t head;                             // next position of the ring; moved under drain_lock
  alignas(64) uint64_t drained[kLaneCount];  // per lane: marks moved to the ring so far
};

// Processes of different builds share the object: the fields of the first
// line may grow into its padding, never move what follows.
static_assert(offsetof(ChangeLogHeader, wake_word) == 64, "the header's second line is fixed");
static_assert(offsetof(ChangeLogHeader, head) == 128 + sizeof(pthread_mutex_t),
              "the ring's head stays where it was");

// One cache line per lane: its head is written by its owner alone.
struct alignas(64) LaneHead {
  uint64_t head;  // marks ever published in the lane
};

// Bytes of the object: header, lane heads, lane rings and the ring, rounded
// up to a page.
size_t ChangeLogBytes();
// Writes the header of a fresh, zeroed object of ChangeLogBytes() bytes.
void InitChangeLog(void* mapped);
// True when `mapped` (of `length` bytes) holds a change log this code can
// use: magic, capacities and size are checked, so a foreign or damaged
// object is never read past its end.
bool IsChangeLog(const void* mapped, size_t length);
// Writes the header's constants again into a log of the right size whose
// header was overwritten, and asks its waiters for a resync: others may be
// marking in it, so it is mended where it is rather than replaced by a log
// they would never see.
void MendChangeLog(void* mapped);

namespace change_log_internal {

inline ChangeLogHeader* HeaderOf(void* log) { return static_cast<ChangeLogHeader*>(log); }
inline LaneHead* LaneHeadsOf(void* log) {
  return reinterpret_cast<LaneHead*>(static_cast<char*>(log) + sizeof(ChangeLogHeader));
}
inline uint32_t* LaneRingOf(void* log, uint32_t lane) {
  char* rings = reinterpret_cast<char*>(LaneHeadsOf(log) + kLaneCount);
  return reinterpret_cast<uint32_t*>(rings) + size_t{lane} * kLaneCapacity;
}
inline uint32_t* RingOf(void* log) { return LaneRingOf(log, kLaneCount); }

// The masks are the constants, never the header's fields: those live in
// shared memory, where anyone with the object can write nonsense, and an
// index must stay inside its ring whatever they say.
inline uint32_t LaneSlotOf(uint64_t position) {
  return static_cast<uint32_t>(position) & (kLaneCapacity - 1);
}
inline uint32_t RingSlotOf(uint64_t position) {
  return static_cast<uint32_t>(position) & (kChangeLogCapacity - 1);
}

// Out of line: a thread's first mark on a log, a mark without a lane, and
// a mark that finds a sleeper. They return 0, as MarkChange does.
int32_t MarkWithoutCachedLane(void* log, uint32_t ident);
int32_t WakeSleepers(ChangeLogHeader* header);

// Publishes `ident` in the calling thread's own lane: plain stores on x86,
// the head last. Both are released: a drainer that reads a slot the owner
// has since reused must also see the head that tells it so.
inline void PublishInLane(uint64_t* head, uint32_t* ring, uint32_t ident) {
  const uint64_t position = __atomic_load_n(head, __ATOMIC_RELAXED);
  uint32_t* slot = &ring[LaneSlotOf(position)];
  __atomic_store_n(slot, ident, __ATOMIC_RELEASE);
  // A lane line is written again only a whole lane of marks later, by when
  // it has left the level-1 cache; a writer would wait for it every 16
  // marks. Asked for two lines ahead, it is there in time: measured, a
  // by-name write to a table of 16 variables costs a fifth less. Past the
  // lane's end this asks for the next lane's line, which is mapped too, and
  // costs this lane a miss per lap, rather than every mark a mask.
  __builtin_prefetch(slot + kLanePrefetchDistance, 1, 3);
  __atomic_store_n(head, position + 1, __ATOMIC_RELEASE);
}

}  // namespace change_log_internal

// Called after every value store, by the core's one write path and by the
// live API's. Null-safe: a table without a change log marks nothing.
// Inline: it is part of every write, and its common case is a check of the
// thread's cached lane, two stores and one load. Returns 0, so that a write
// can end in `return MarkChange(...)`, a tail call.
inline int32_t MarkChange(void* change_log, uint32_t ident) {
  using namespace change_log_internal;
  if (change_log == nullptr) return 0;
  const lanes_internal::LaneCache* lane = CachedLane(change_log);
  if (__builtin_expect(lane == nullptr, 0)) return MarkWithoutCachedLane(change_log, ident);
  PublishInLane(lane->head, lane->ring, ident);
  // Keeps the compiler from moving the load above the head's store; the
  // processor's own reordering is undone by the sleeping waiter's
  // membarrier.
  __atomic_signal_fence(__ATOMIC_SEQ_CST);
  if (__builtin_expect(__atomic_load_n(&HeaderOf(change_log)->sleepers, __ATOMIC_RELAXED) != 0,
                       0)) {
    return WakeSleepers(HeaderOf(change_log));
  }
  return 0;
}

// The position after the last change so far: a new waiter starts here and
// sees only later changes. 0 for a null log.
uint64_t CurrentChangeCursor(void* change_log);

enum class WaitOutcome { kChanged, kTimedOut };

// Which idents a waiter wants; null `accepts` takes every ident.
struct ChangeFilter {
  bool (*accepts)(const void* context, uint32_t ident) = nullptr;
  const void* context = nullptr;
  bool Accepts(uint32_t ident) const { return accepts == nullptr || accepts(context, ident); }
};

// Waits until a change newer than *cursor exists (one whose ident passes
// `filter`), or `timeout_ms` passes (0: only look). A caller that must
// notice other events loops over short waits.
//
// kChanged: `idents` holds the changed idents (each once, in order of first
// change) and *cursor has moved past them. `resync` is true when changes
// may have been lost (the caller fell more than a ring behind, or a lane
// overflowed before anyone drained it): the caller re-reads everything it
// cares about; `idents` may then be incomplete or empty.
// kTimedOut: nothing for the caller; *cursor may still have moved past
// changes that the filter refused.
// A waiter that cannot take the drain lock (its holder stopped, or a live
// thread's id written over it) waits no longer than its timeout, or a
// second if that is longer, without spinning; having not looked at all, it
// returns kChanged with `resync` and an unmoved cursor.
WaitOutcome WaitForChanges(void* change_log, uint64_t* cursor, int timeout_ms,
                           const ChangeFilter& filter, std::vector<uint32_t>* idents, bool* resync);

}  // namespace kelto

#endif  // KELTO_CHANGES_CHANGE_LOG_H_
