#include "table/unix/change_log_object.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "changes/change_log.h"
#include "changes/lanes.h"
#include "table/unix/system_calls.h"

namespace kelto {
namespace {

constexpr mode_t kOwnerOnly = 0600;

// Ours: a regular file of our user, mode 0600, exactly the size we make.
// Anything else is never mapped, so a foreign or truncated object can
// neither feed us marks nor make an access run past its end (SIGBUS).
bool LooksOurs(int fd) {
  struct stat st;
  return sys::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
         (st.st_mode & 07777) == kOwnerOnly && static_cast<size_t>(st.st_size) == ChangeLogBytes();
}

// A lane of the log is owned through a lock on its byte of the object:
// open-file-description locks conflict between descriptions even in one
// process (the core and the live API map the log separately) and go with
// the last descriptor, so a killed writer's lanes become free.
bool LockLane(int fd, uint32_t lane, bool own) {
  struct flock lock = {};
  lock.l_type = own ? F_WRLCK : F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(lane);
  lock.l_len = 1;
  return sys::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Maps `fd`, taking it over; empty (and fd closed) unless it holds a change
// log. MAP_POPULATE: the first lap of the ring costs no page faults in a
// writer's path.
ChangeLogMapping MapDescriptor(int fd, bool initialise) {
  const size_t length = ChangeLogBytes();
  void* mapped =
      sys::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
  if (mapped == MAP_FAILED) {
    close(fd);
    return {};
  }
  if (initialise) {
    InitChangeLog(mapped);
  } else if (!IsChangeLog(mapped, length)) {
    // Ours by size, owner and mode, but its header was overwritten: others
    // may be marking in it, and a new log in its place would be one they
    // never see, so it is mended where it is.
    MendChangeLog(mapped);
  }
  if (!IsChangeLog(mapped, length)) {
    munmap(mapped, length);
    close(fd);
    return {};
  }
  madvise(mapped, length, MADV_DONTFORK);
  AdmitLaneWriters(mapped, fd, &LockLane);
  return ChangeLogMapping{static_cast<char*>(mapped), length, fd};
}

// A fresh, zeroed object with its memory reserved, so that a full file
// system fails here and never with SIGBUS at a later mark.
ChangeLogMapping CreateFresh(const char* object) {
  sys::shm_unlink(object);
  const int fd =
      sys::shm_open(object, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kOwnerOnly);
  if (fd < 0) return {};
  fchmod(fd, kOwnerOnly);  // the umask must not change it
  if (sys::posix_fallocate(fd, 0, static_cast<off_t>(ChangeLogBytes())) != 0) {
    sys::shm_unlink(object);
    close(fd);
    return {};
  }
  // Made by us a moment ago: one that cannot be mapped is not left behind.
  ChangeLogMapping mapping = MapDescriptor(fd, true);
  if (mapping.log == nullptr) sys::shm_unlink(object);
  return mapping;
}

ChangeLogMapping OpenExisting(const char* object) {
  const int fd = sys::shm_open(object, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd < 0) return {};
  if (!LooksOurs(fd)) {
    close(fd);
    return {};
  }
  return MapDescriptor(fd, false);
}

}  // namespace

ChangeLogMapping MapChangeLog(const char* object, ChangeLogUse use) {
  switch (use) {
    case ChangeLogUse::kCreateFresh: return CreateFresh(object);
    case ChangeLogUse::kOpenOnly: return OpenExisting(object);
    case ChangeLogUse::kOpenOrCreate: {
      const ChangeLogMapping existing = OpenExisting(object);
      return existing.log != nullptr ? existing : CreateFresh(object);
    }
  }
  return {};
}

void UnmapChangeLog(const ChangeLogMapping& mapping) {
  if (mapping.log == nullptr) return;
  RetireLaneWriters(mapping.log);
  munmap(mapping.log, mapping.length);
}

}  // namespace kelto
