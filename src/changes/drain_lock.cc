#include "changes/drain_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace kelto {
namespace {

// The layout of a robust futex word, which is what the C library's mutex
// kept here before: a program of an older build finds the same meaning.
constexpr uint32_t kSleepers = 0x80000000u;
constexpr uint32_t kHolderMask = 0x3fffffffu;
// A drain takes microseconds: this many looks before sleeping.
constexpr int kSpins = 200;
// A sleep on the word lasts at most this long, so that a holder that died
// without waking anyone is noticed.
constexpr int64_t kSleepStepNs = 5'000'000;

// Asked once per thread: a waiter takes the lock twice per wake-up, and
// the system call costs a microsecond on a virtual machine, a fifth of a
// wake-up. A forked child's thread has an id of its own, so the child's
// one thread forgets the parent's.
__thread uint32_t t_thread_id = 0;

void ForgetThreadIdInChild() { t_thread_id = 0; }

uint32_t ThisThreadId() {
  if (t_thread_id == 0) {
    [[maybe_unused]] static const int registered =
        pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);
    t_thread_id = static_cast<uint32_t>(syscall(SYS_gettid)) & kHolderMask;
  }
  return t_thread_id;
}

// The thread of this process that holds a drain lock, if any: a holder
// named in a word is taken for one of ours only when it really is inside
// the lock, not because garbage in the word happens to name one of our
// threads. (With several logs held at once only the last is known, which
// costs the others' writers the shorter patience.)
uint32_t g_holder_here = 0;

enum class Holder { kNobody, kOurs, kOthers };

// Who the thread named in the word is. kill() with a thread's id looks the
// thread up; EPERM is someone else's, and so alive. The caller's own id is
// never its own lock: it takes no lock twice.
Holder HolderOf(uint32_t holder, uint32_t me) {
  if (holder == 0 || holder == me) return Holder::kNobody;
  if (holder == __atomic_load_n(&g_holder_here, __ATOMIC_RELAXED)) return Holder::kOurs;
  const auto id = static_cast<pid_t>(holder);
  return kill(id, 0) == 0 || errno == EPERM ? Holder::kOthers : Holder::kNobody;
}

// Whether the thread is running or waiting for a processor: a holder of
// another process that is, was switched out in the middle of its drain and
// will let go soon. One that sleeps, is stopped or is gone (or a live id
// written over the word, which names a thread busy with something else)
// is given up on.
bool Running(uint32_t thread) {
  char path[48];
  snprintf(path, sizeof path, "/proc/%u/stat", thread);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char stat[512];
  const ssize_t length = read(fd, stat, sizeof stat - 1);
  close(fd);
  if (length <= 0) return false;
  stat[length] = '\0';
  // "tid (name) S ...": the name may hold anything, the state follows the
  // last parenthesis.
  const char* name_end = strrchr(stat, ')');
  return name_end != nullptr && name_end[1] == ' ' && name_end[2] == 'R';
}

void FutexWait(uint32_t* word, uint32_t expected, int64_t timeout_ns) {
  struct timespec timeout;
  timeout.tv_sec = static_cast<time_t>(timeout_ns / 1'000'000'000);
  timeout.tv_nsec = static_cast<long>(timeout_ns % 1'000'000'000);
  syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

// One attempt on the word as it was seen: free, or held by nobody alive.
bool TakeOver(uint32_t* word, uint32_t seen, uint32_t me) {
  if (!__atomic_compare_exchange_n(word, &seen, me | (seen & kSleepers), false, __ATOMIC_SEQ_CST,
                                   __ATOMIC_RELAXED)) {
    return false;
  }
  __atomic_store_n(&g_holder_here, me, __ATOMIC_RELAXED);
  return true;
}

}  // namespace

int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool TakeDrainLock(uint32_t* word, int64_t give_up_at, int64_t others_give_up_at) {
  const uint32_t me = ThisThreadId();
  for (int spin = 0; spin < kSpins; ++spin) {
    const uint32_t seen = __atomic_load_n(word, __ATOMIC_RELAXED);
    if ((seen & kHolderMask) == 0 && TakeOver(word, seen, me)) return true;
    CpuRelax();
  }
  for (;;) {
    const uint32_t seen = __atomic_load_n(word, __ATOMIC_RELAXED);
    const Holder holder = HolderOf(seen & kHolderMask, me);
    if (holder == Holder::kNobody) {
      if (TakeOver(word, seen, me)) return true;
      continue;
    }
    const int64_t now = MonotonicNs();
    if (now >= give_up_at) return false;
    int64_t remaining = give_up_at - now;
    if (holder == Holder::kOthers) {
      if (now < others_give_up_at) {
        remaining = std::min(remaining, others_give_up_at - now);
      } else if (!Running(seen & kHolderMask)) {
        return false;
      }
    }
    uint32_t expected = seen;
    const uint32_t flagged = seen | kSleepers;
    if (seen != flagged && !__atomic_compare_exchange_n(word, &expected, flagged, false,
                                                        __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
      continue;
    }
    FutexWait(word, flagged, std::min(remaining, kSleepStepNs));
  }
}

void ReleaseDrainLock(uint32_t* word) {
  const uint32_t was = __atomic_exchange_n(word, 0, __ATOMIC_SEQ_CST);
  uint32_t holder = was & kHolderMask;
  __atomic_compare_exchange_n(&g_holder_here, &holder, 0u, false, __ATOMIC_RELAXED,
                              __ATOMIC_RELAXED);
  if ((was & kSleepers) != 0) {
    // Shared, not FUTEX_PRIVATE: the sleepers are in other processes.
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  }
}

}  // namespace kelto
