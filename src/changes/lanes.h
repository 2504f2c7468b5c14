// Which lane of a change log the calling thread writes its marks in.
//
// A lane is owned by one thread of one process at a time. Across processes
// the owner keeps a lock that the kernel drops when the process dies (the
// log's mapper provides it, see AdmitLaneWriters); within a process a
// bitmap under a mutex says which lanes its threads hold. A thread keeps its
// lane until it ends or the log is unmapped.
//
// Every thread caches its lane's head and ring in thread-local storage, so
// a mark finds them with one compare. The registry knows every thread's
// cache and empties those of a log it retires, and a forked child empties
// its own: a mapping at a reused address, or a child with its parent's
// thread-local state, never writes into a lane it does not own.
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

// Where the thread's marks in `log` go, resolved once, so that a mark does
// no address arithmetic of its own.
struct LaneCache {
  const void* log;  // null: no lane cached
  uint64_t* head;
  uint32_t* ring;
  const void* lane_less;  // a log this thread marks without a lane (all were taken)
};

// Initial-exec: a mark reads it with one instruction per field, without the
// call a dynamic TLS access makes in a shared library.
extern __thread LaneCache t_lane_cache __attribute__((tls_model("initial-exec")));

// Fills the thread's cache for `log`, claiming a lane if one is free.
void ClaimLane(void* log);

}  // namespace lanes_internal

// The calling thread's lane of `log`, or null when it has none cached: the
// thread then calls ClaimLane, or marks without a lane if `lane_less` says
// so. Another thread may empty the cache (RetireLaneWriters), hence the
// atomic load.
inline const lanes_internal::LaneCache* CachedLane(const void* log) {
  const lanes_internal::LaneCache& cache = lanes_internal::t_lane_cache;
  return __atomic_load_n(&cache.log, __ATOMIC_RELAXED) == log ? &cache : nullptr;
}

}  // namespace kelto

#endif  // KELTO_CHANGES_LANES_H_
