#include "system_call_faults.h"

#include <sys/mman.h>

#include <cstdlib>

namespace kelto::testing {
namespace {

struct State {
  SystemCalls real = {};
  Fault fault;
  int uses[kCallKinds] = {};
  bool fired = false;
  bool installed = false;
};
State g_state;

// Counts the use and says whether it is the one to fail, with errno set.
bool FailsNow(Call call) {
  const int use = ++g_state.uses[static_cast<int>(call)];
  const Fault& fault = g_state.fault;
  if (call != fault.call || fault.nth == 0 || use < fault.nth) return false;
  const int step = use - fault.nth;
  if (step % fault.every != 0 || step / fault.every >= fault.times) return false;
  g_state.fired = true;
  errno = g_state.fault.error;
  return true;
}

int ShmOpen(const char* name, int flags, mode_t mode) {
  return FailsNow(Call::kShmOpen) ? -1 : g_state.real.shm_open(name, flags, mode);
}
int ShmUnlink(const char* name) {
  return FailsNow(Call::kShmUnlink) ? -1 : g_state.real.shm_unlink(name);
}
int Fstat(int fd, struct stat* st) {
  return FailsNow(Call::kFstat) ? -1 : g_state.real.fstat(fd, st);
}
int Stat(const char* path, struct stat* st) {
  return FailsNow(Call::kStat) ? -1 : g_state.real.stat(path, st);
}
int Lstat(const char* path, struct stat* st) {
  return FailsNow(Call::kLstat) ? -1 : g_state.real.lstat(path, st);
}
int Lock(int fd, int command, struct flock* lock) {
  return FailsNow(Call::kLock) ? -1 : g_state.real.lock(fd, command, lock);
}
int Fallocate(int fd, off_t offset, off_t length) {
  return FailsNow(Call::kFallocate) ? g_state.fault.error
                                    : g_state.real.posix_fallocate(fd, offset, length);
}
void* Mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  return FailsNow(Call::kMmap) ? MAP_FAILED
                               : g_state.real.mmap(address, length, protection, flags, fd, offset);
}

}  // namespace

const char* CallName(Call call) {
  static const char* const kNames[kCallKinds] = {
      "shm_open", "shm_unlink", "fstat", "stat", "lstat", "fcntl", "posix_fallocate", "mmap"};
  return kNames[static_cast<int>(call)];
}

InjectedFault::InjectedFault(Fault fault) {
  if (g_state.installed) std::abort();  // one at a time
  g_state = State{};
  g_state.real = g_system_calls;
  g_state.fault = fault;
  g_state.installed = true;
  g_system_calls = {&ShmOpen, &ShmUnlink, &Fstat, &Stat, &Lstat, &Lock, &Fallocate, &Mmap};
}

InjectedFault::~InjectedFault() {
  g_system_calls = g_state.real;
  g_state.installed = false;
}

bool InjectedFault::fired() const { return g_state.fired; }
int InjectedFault::uses(Call call) const { return g_state.uses[static_cast<int>(call)]; }

}  // namespace kelto::testing
