// Which lane of a change log the calling thread writes its marks in.
//
// A lane is owned by one thread of one process at a time. Across processes
// the owner keeps a lock that the kernel drops when the process dies (the
// log's mapper provides it, see AdmitLaneWriters); within a process a
// bitmap under a mutex says which lanes its threads hold. A thread keeps its
// lane until it ends or the log is unmapped.
//
// Every thread caches (log, lane) in thread-local storage, so a mark finds
// its lane with two compares. The cache is keyed by an epoch that moves
// whenever a log is admitted or retired and in a forked child: a mapping at
// a reused address, or a child with its parent's thread-local state, never
// writes into a lane it does not own.
#ifndef KELTO_CHANGES_LANES_H_
#define KELTO_CHANGES_LANES_H_

#include <cstdint>

namespace kelto {

// Takes (own = true) or gives back (own = false) `lane` of the log mapped
// from `fd`, for this process, without waiting: false when another process
// has it. The lock must go with the process.
using LaneLockFn = bool (*)(int fd, uint32_t lane, bool own);

// Lets this process's threads claim lanes of `log` (a mapped change log).
// Called by whoever maps it, before any mark on it.
void AdmitLaneWriters(void* log, int fd, LaneLockFn lock);
// Before `log` is unmapped: its lanes are given back, and no thread writes
// in them again.
void RetireLaneWriters(void* log);

// Makes every thread of every process that marks in a lane run a full
// memory barrier: a waiter calls it between "I sleep" and its last look at
// the lanes. False when the kernel refuses: the caller must then not sleep
// for long, since a writer may have missed its flag.
bool FenceLaneWriters();

namespace lanes_internal {

inline constexpr int32_t kNoLane = -1;

// Where the thread's marks in `log` go: the lane's head and ring, resolved
// once, so that a mark does no address arithmetic of its own.
struct LaneCache {
  const void* log;
  uint64_t epoch;
  int32_t lane;    // kNoLane: this thread marks `log` without a lane
  uint64_t* head;  // null when lane is kNoLane
  uint32_t* ring;
};

// Initial-exec: a mark reads these with one instruction each, without the
// call a dynamic TLS access makes in a shared library.
extern __thread LaneCache t_lane_cache __attribute__((tls_model("initial-exec")));
extern uint64_t g_lane_epoch;

// Fills the thread's cache for `log`, claiming a lane if one is free.
int32_t ClaimLane(void* log);

}  // namespace lanes_internal

// True when the calling thread's cache speaks of `log`.
inline bool LaneCached(const void* log) {
  using namespace lanes_internal;
  const LaneCache& cache = t_lane_cache;
  return cache.log == log && cache.epoch == __atomic_load_n(&g_lane_epoch, __ATOMIC_RELAXED);
}

// The calling thread's lane of `log`, or null when the cache does not know
// `log` (call ClaimLane) or the thread has no lane.
inline const lanes_internal::LaneCache* CachedLane(const void* log) {
  const lanes_internal::LaneCache& cache = lanes_internal::t_lane_cache;
  return LaneCached(log) && cache.head != nullptr ? &cache : nullptr;
}

}  // namespace kelto

#endif  // KELTO_CHANGES_LANES_H_
