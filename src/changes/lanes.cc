#include "changes/lanes.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

#include "changes/change_log.h"

namespace kelto {
namespace lanes_internal {

__thread LaneCache t_lane_cache __attribute__((tls_model("initial-exec"))) = {};

}  // namespace lanes_internal

namespace {

using lanes_internal::LaneCache;
using lanes_internal::t_lane_cache;

constexpr int32_t kNoLane = -1;
static_assert(kLaneCount <= 64, "one bit per lane in a process's bitmap");

// A log this process may write lanes of.
struct Admitted {
  void* log;
  int fd;
  LaneLockFn lock;
  uint64_t admission;  // a log at a reused address is another admission
  uint64_t held = 0;   // lanes this process's threads hold
};

// A lane a thread holds, to give back when the thread ends.
struct Claim {
  uint64_t admission;
  int32_t lane;
};

struct ThreadLanes;
void ForgetThread(ThreadLanes* thread);

// What the registry knows of a thread: its claims and its cache. Made on
// the thread's first claim and given back when the thread ends, as a
// thread_local with a destructor rather than through a pthread key: the C++
// runtime keeps the library loaded until every thread that holds one has
// ended, so a host that unloads the library while such threads live never
// has them run code that is gone, and a load uses up no key of the host's.
struct ThreadLanes {
  ThreadLanes() = default;
  ThreadLanes(const ThreadLanes&) = delete;
  ThreadLanes& operator=(const ThreadLanes&) = delete;
  ~ThreadLanes() {
    if (cache != nullptr) ForgetThread(this);
  }
  std::vector<Claim> claims;
  LaneCache* cache = nullptr;  // null until the thread's first claim (or in a new child)
};

thread_local ThreadLanes t_thread_lanes;

// The registry is never destroyed: threads may end, and give their lanes
// back, while the process exits. Its lists give their memory back when they
// empty, so that loading and unloading the library leaves nothing behind.
struct Registry {
  std::mutex mutex;
  std::vector<Admitted> admitted;
  std::vector<ThreadLanes*> threads;  // those with a cache to empty at a retirement
  uint64_t admissions = 0;
  bool writers_fenced = false;  // this process registered for membarrier
  // In a forked child: the parent's registry, left alone on purpose (see
  // ForgetLanesInChild) and kept reachable from here, so that a leak
  // checker in a child, or a child's child, does not report it.
  const Registry* forked_from = nullptr;
};

Registry& TheRegistry();

Admitted* FindAdmitted(Registry& registry, const void* log) {
  for (Admitted& admitted : registry.admitted) {
    if (admitted.log == log) return &admitted;
  }
  return nullptr;
}

Admitted* FindAdmission(Registry& registry, uint64_t admission) {
  for (Admitted& admitted : registry.admitted) {
    if (admitted.admission == admission) return &admitted;
  }
  return nullptr;
}

void GiveBack(Admitted& admitted, int32_t lane) {
  admitted.held &= ~(uint64_t{1} << lane);
  admitted.lock(admitted.fd, static_cast<uint32_t>(lane), false);
}

// At a thread's end: the lanes it holds in logs that are still admitted.
void ForgetThread(ThreadLanes* thread) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.mutex);
  for (const Claim& claim : thread->claims) {
    if (Admitted* admitted = FindAdmission(registry, claim.admission)) {
      GiveBack(*admitted, claim.lane);
    }
  }
  thread->claims.clear();
  thread->cache = nullptr;
  std::erase(registry.threads, thread);
  if (registry.threads.empty()) std::vector<ThreadLanes*>().swap(registry.threads);
}

ThreadLanes& ThisThread(Registry& registry) {
  ThreadLanes& thread = t_thread_lanes;
  if (thread.cache == nullptr) {
    thread.cache = &t_lane_cache;
    registry.threads.push_back(&thread);
  }
  return thread;
}

Registry* g_registry = nullptr;

// A forked child has none of its parent's mappings of logs (they are kept
// out of children) and must not write in its parent's lanes. Its one
// thread is the one that forked. Another thread of the parent may have
// been changing the registry at the fork (fork cannot wait for it: Open
// holds the table's lock while it takes the registry's), so the child
// starts a new one and leaves the copy alone.
void ForgetLanesInChild() {
  Registry* parents = g_registry;
  g_registry = new Registry();
  g_registry->forked_from = parents;
  t_thread_lanes.claims.clear();
  t_thread_lanes.cache = nullptr;
  t_lane_cache = LaneCache{};
}

Registry& TheRegistry() {
  static const bool made = [] {
    // In the library's own storage, not on the heap: a load leaves nothing
    // behind when it is unloaded.
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    g_registry = new (storage) Registry();
    pthread_atfork(nullptr, nullptr, &ForgetLanesInChild);
    return true;
  }();
  (void)made;
  return *g_registry;
}

// Registration is cheap in a process of one thread and costs milliseconds
// (an RCU grace period) in one of several, so it happens when the library
// is loaded, and again when a log is admitted if that did not work (a
// forked child starts unregistered): never in a writer's first mark.
bool RegisterForFences(Registry& registry) {
  if (!registry.writers_fenced) {
    registry.writers_fenced =
        syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED, 0, 0) == 0;
  }
  return registry.writers_fenced;
}

// Lanes are taken lowest first, so that waiters look at few of them.
int32_t TakeFreeLane(Admitted& admitted) {
  for (uint32_t lane = 0; lane < kLaneCount; ++lane) {
    if ((admitted.held >> lane) & 1) continue;
    if (!admitted.lock(admitted.fd, lane, true)) continue;
    admitted.held |= uint64_t{1} << lane;
    auto* header = static_cast<ChangeLogHeader*>(admitted.log);
    uint32_t in_use = __atomic_load_n(&header->lanes_in_use, __ATOMIC_RELAXED);
    while (in_use < lane + 1 &&
           !__atomic_compare_exchange_n(&header->lanes_in_use, &in_use, lane + 1, false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
    }
    return static_cast<int32_t>(lane);
  }
  return kNoLane;
}

// The thread's lane of `admitted`: the one it holds, or a free one.
int32_t LaneOf(Registry& registry, ThreadLanes& thread, Admitted& admitted) {
  // Claims in logs retired since are void.
  std::erase_if(thread.claims, [&](const Claim& claim) {
    return FindAdmission(registry, claim.admission) == nullptr;
  });
  for (const Claim& claim : thread.claims) {
    if (claim.admission == admitted.admission) return claim.lane;
  }
  if (!registry.writers_fenced) return kNoLane;
  const int32_t lane = TakeFreeLane(admitted);
  if (lane != kNoLane) thread.claims.push_back(Claim{admitted.admission, lane});
  return lane;
}

__attribute__((constructor)) void RegisterWhenLoaded() {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.mutex);
  RegisterForFences(registry);
}

}  // namespace

void AdmitLaneWriters(void* log, int fd, LaneLockFn lock) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.mutex);
  RegisterForFences(registry);
  registry.admitted.push_back(Admitted{log, fd, lock, ++registry.admissions});
}

void RetireLaneWriters(void* log) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.mutex);
  for (ThreadLanes* thread : registry.threads) {
    LaneCache& cache = *thread->cache;
    if (__atomic_load_n(&cache.log, __ATOMIC_RELAXED) == log) {
      __atomic_store_n(&cache.log, nullptr, __ATOMIC_RELAXED);
    }
    if (__atomic_load_n(&cache.lane_less, __ATOMIC_RELAXED) == log) {
      __atomic_store_n(&cache.lane_less, nullptr, __ATOMIC_RELAXED);
    }
  }
  Admitted* admitted = FindAdmitted(registry, log);
  if (admitted == nullptr) return;
  for (uint32_t lane = 0; lane < kLaneCount; ++lane) {
    if ((admitted->held >> lane) & 1) GiveBack(*admitted, static_cast<int32_t>(lane));
  }
  std::erase_if(registry.admitted, [&](const Admitted& each) { return each.log == log; });
  if (registry.admitted.empty()) std::vector<Admitted>().swap(registry.admitted);
}

bool FenceLaneWriters() {
  static const bool available =
      (syscall(__NR_membarrier, MEMBARRIER_CMD_QUERY, 0, 0) & MEMBARRIER_CMD_GLOBAL_EXPEDITED) != 0;
  return available && syscall(__NR_membarrier, MEMBARRIER_CMD_GLOBAL_EXPEDITED, 0, 0) == 0;
}

namespace lanes_internal {

void ClaimLane(void* log) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.mutex);
  ThreadLanes& thread = ThisThread(registry);
  Admitted* admitted = FindAdmitted(registry, log);
  const int32_t lane = admitted != nullptr ? LaneOf(registry, thread, *admitted) : kNoLane;
  if (lane == kNoLane) {
    // Marks go to the ring under the lock; a log mapped without lane
    // owners (admitted by nobody) is marked the same way.
    __atomic_store_n(&t_lane_cache.lane_less, log, __ATOMIC_RELAXED);
    return;
  }
  const auto index = static_cast<uint32_t>(lane);
  t_lane_cache.head = &change_log_internal::LaneHeadsOf(log)[index].head;
  t_lane_cache.ring = change_log_internal::LaneRingOf(log, index);
  __atomic_store_n(&t_lane_cache.log, log, __ATOMIC_RELAXED);
}

}  // namespace lanes_internal
}  // namespace kelto
