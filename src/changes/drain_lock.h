// The change log's drain lock: one 32-bit word of the log, holding its
// holder's thread id (0: free) and a bit for "someone sleeps on it".
//
// Every process of the user maps the log read-write, so any value may be
// found in the word. Nothing of it is trusted beyond that: a holder that no
// longer exists (killed, or a value nobody wrote) is taken over, and a
// holder that exists but never lets go (stopped, or a live id written over
// the word) costs a caller at most its own patience, never a crash or a
// hang. Unlike a process-shared C library mutex, no other byte of the
// log decides how the lock behaves.
#ifndef KELTO_CHANGES_DRAIN_LOCK_H_
#define KELTO_CHANGES_DRAIN_LOCK_H_

#include <cstdint>

namespace kelto {

// Takes the lock in `word`, giving up at `give_up_at` (CLOCK_MONOTONIC, ns),
// or at `others_give_up_at` while another process's thread holds it that
// is not running: a thread of the caller's own process, or one that was
// switched out in the middle of its drain, is no stranger that may never
// let go. Spins a moment, then sleeps on the word in short steps, looking
// each time whether the holder still exists.
bool TakeDrainLock(uint32_t* word, int64_t give_up_at, int64_t others_give_up_at);
// Lets go of a lock this thread took, waking its sleepers.
void ReleaseDrainLock(uint32_t* word);

int64_t MonotonicNs();

// Tells the processor that the caller spins on a word, so that it yields
// to the sibling thread of its core and leaves the spin without a
// misprediction.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace kelto

#endif  // KELTO_CHANGES_DRAIN_LOCK_H_
