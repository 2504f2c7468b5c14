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

__thread LaneCache t_lane_cache __attribute__((tls_model("initial-exec"))) = {nullptr, 0, kNoLane, nullptr, nullptr};
uint64_t g_lane_epoch = 1;

}  // namespace lanes_internal

namespace {

using lanes_internal::g_lane_epoch;
using lanes_internal::kNoLane;
using lanes_internal::LaneCache;
using lanes_internal::t_lane_cache;

static_assert(kLaneCount <= 64, "one bit per lane in a process's bitmap");

// A log this process may write lanes of.
struct Admitted {
  void* log;
  int fd;
  LaneLockFn lock;
  uint64_t admission;   // the epoch it was admitted at: a thread's claim names it
  uint64_t held = 0;    // lanes this process's threads hold
};

// A lane a thread holds, to give back when the thread ends.
struct Claim {
  const void* log;
  uint64_t admission;
  int32_t lane;
};

// The registry is never destroyed: threads may end, and give their lanes
// back, while the process exits.
struct Registry {
  std::mutex mutex;
  std::vector<Admitted> admitted;
  pthread_key_t thread_claims;
  bool writers_fenced = false;  // this process registered for membarrier
};

Registry& TheRegistry();

void NewEpoch() { __atomic_add_fetch(&g_lane_epoch, 1, __ATOMIC_RELAXED); }

Admitted* Find(Registry& registry, const void* log) {
  for (Admitted& admitted : registry.admitted) {
    if (admitted.log == log) return &admitted;
  }
  return nullptr;
}

void GiveBack(Admitted& admitted, int32_t lane) {
  admitted.held &= ~(uint64_t{1} << lane);
  admitted.lock(admitted.fd, static_cast<uint32_t>(lane), false);
}

// At a thread's end: the lanes it holds in logs that are still admitted.
void GiveBackThreadClaims(void* value) {
  auto* claims = static_cast<std::vector<Claim>*>(value);
  Registry& registry = TheRegistry();
  {
    std::lock_guard<std::mutex> hold(registry.mutex);
    for (const Claim& claim : *claims) {
      Admitted* admitted = Find(registry, claim.log);
      if (admitted != nullptr && admitted->admission == claim.admission) {
        GiveBack(*admitted, claim.lane);
      }
    }
  }
  delete claims;
}

std::vector<Claim>& ThreadClaims(Registry& registry) {
  auto* claims = static_cast<std::vector<Claim>*>(pthread_getspecific(registry.thread_claims));
  if (claims == nullptr) {
    claims = new std::vector<Claim>();
    pthread_setspecific(registry.thread_claims, claims);
  }
  return *claims;
}

// A forked child has none of its parent's mappings of logs (they are kept
// out of children) and must not write in its parent's lanes.
void ForgetLanesInChild() {
  Registry& registry = TheRegistry();
  new (&registry.mutex) std::mutex();
  registry.admitted.clear();
  registry.writers_fenced = false;
  if (auto* claims = static_cast<std::vector<Claim>*>(pthread_getspecific(registry.thread_claims))) {
    claims->clear();
  }
  NewEpoch();
}

Registry& TheRegistry() {
  static Registry* registry = [] {
    auto* made = new Registry();
    pthread_key_create(&made->thread_claims, &GiveBackThreadClaims);
    pthread_atfork(nullptr, nullptr, &ForgetLanesInChild);
    return made;
  }();
  return *registry;
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
  NewEpoch();
  registry.admitted.push_back(Admitted{log, fd, lock, __atomic_load_n(&g_lane_epoch, __ATOMIC_RELAXED)});
}

void RetireLaneWriters(void* log) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.mutex);
  NewEpoch();
  auto& admitted = registry.admitted;
  for (auto it = admitted.begin(); it != admitted.end(); ++it) {
    if (it->log != log) continue;
    for (uint32_t lane = 0; lane < kLaneCount; ++lane) {
      if ((it->held >> lane) & 1) GiveBack(*it, static_cast<int32_t>(lane));
    }
    admitted.erase(it);
    return;
  }
}

bool FenceLaneWriters() {
  static const bool available =
      (syscall(__NR_membarrier, MEMBARRIER_CMD_QUERY, 0, 0) & MEMBARRIER_CMD_GLOBAL_EXPEDITED) != 0;
  return available && syscall(__NR_membarrier, MEMBARRIER_CMD_GLOBAL_EXPEDITED, 0, 0) == 0;
}

namespace lanes_internal {

int32_t ClaimLane(void* log) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> hold(registry.mutex);
  const uint64_t epoch = __atomic_load_n(&g_lane_epoch, __ATOMIC_RELAXED);
  int32_t lane = kNoLane;
  Admitted* admitted = Find(registry, log);
  if (admitted != nullptr) {
    std::vector<Claim>& claims = ThreadClaims(registry);
    // Claims in logs retired since are void.
    std::erase_if(claims, [&](const Claim& claim) {
      const Admitted* still = Find(registry, claim.log);
      return still == nullptr || still->admission != claim.admission;
    });
    const auto mine = std::find_if(claims.begin(), claims.end(), [&](const Claim& claim) {
      return claim.log == log && claim.admission == admitted->admission;
    });
    if (mine != claims.end()) {
      lane = mine->lane;
    } else if (registry.writers_fenced) {
      lane = TakeFreeLane(*admitted);
      if (lane != kNoLane) claims.push_back(Claim{log, admitted->admission, lane});
    }
  }
  t_lane_cache = LaneCache{log, epoch, lane, nullptr, nullptr};
  if (lane != kNoLane) {
    const auto index = static_cast<uint32_t>(lane);
    t_lane_cache.head = &change_log_internal::LaneHeadsOf(log)[index].head;
    t_lane_cache.ring = change_log_internal::LaneRingOf(log, index);
  }
  return lane;
}

}  // namespace lanes_internal
}  // namespace kelto
