#include "table/unix/system_calls.h"

#include <sys/mman.h>

namespace kelto {
namespace {

// fcntl takes its argument through "...": a function of fixed arguments
// stands in for it in the table.
int LockCall(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }

}  // namespace

SystemCalls g_system_calls = {
    &::shm_open, &::shm_unlink, &::fstat, &::stat, &::lstat, &LockCall, &::posix_fallocate, &::mmap,
};

}  // namespace kelto
