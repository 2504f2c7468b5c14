// The system calls of the segment's attach and detach, reached through a
// table that white-box tests can change: a test makes one call fail (or be
// interrupted) at a chosen use, to run the failure paths that no real
// system takes on demand. Only attach and detach use it; the accesses to
// the table never make a system call.
//
// The wrappers repeat a call that a signal interrupted (EINTR), as every
// caller would have to: reserving a large segment, above all, can be
// interrupted by any signal the program handles, and one program's timer
// must not make its Open fail.
#ifndef KELTO_TABLE_UNIX_SYSTEM_CALLS_H_
#define KELTO_TABLE_UNIX_SYSTEM_CALLS_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

namespace kelto {

struct SystemCalls {
  int (*shm_open)(const char* name, int flags, mode_t mode);
  int (*shm_unlink)(const char* name);
  int (*fstat)(int fd, struct stat* st);
  int (*stat)(const char* path, struct stat* st);
  int (*lstat)(const char* path, struct stat* st);
  // fcntl with a lock argument: F_OFD_SETLK, F_OFD_GETLK.
  int (*lock)(int fd, int command, struct flock* lock);
  // Returns the error number, as posix_fallocate does.
  int (*posix_fallocate)(int fd, off_t offset, off_t length);
  void* (*mmap)(void* address, size_t length, int protection, int flags, int fd, off_t offset);
};

// The real calls unless a test has put others in.
extern SystemCalls g_system_calls;

// The calls as the segment code makes them, each repeated after EINTR.
namespace sys {

template <typename Call>
int Repeated(Call call) {
  int result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

inline int shm_open(const char* name, int flags, mode_t mode) {
  return Repeated([&] { return g_system_calls.shm_open(name, flags, mode); });
}
inline int shm_unlink(const char* name) {
  return Repeated([&] { return g_system_calls.shm_unlink(name); });
}
inline int fstat(int fd, struct stat* st) {
  return Repeated([&] { return g_system_calls.fstat(fd, st); });
}
inline int stat(const char* path, struct stat* st) {
  return Repeated([&] { return g_system_calls.stat(path, st); });
}
inline int lstat(const char* path, struct stat* st) {
  return Repeated([&] { return g_system_calls.lstat(path, st); });
}
inline int fcntl(int fd, int command, struct flock* lock) {
  return Repeated([&] { return g_system_calls.lock(fd, command, lock); });
}
inline int posix_fallocate(int fd, off_t offset, off_t length) {
  int error;
  do {
    error = g_system_calls.posix_fallocate(fd, offset, length);
  } while (error == EINTR);
  return error;
}
// mmap is never interrupted.
inline void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  return g_system_calls.mmap(address, length, protection, flags, fd, offset);
}

}  // namespace sys
}  // namespace kelto

#endif  // KELTO_TABLE_UNIX_SYSTEM_CALLS_H_
