// The lifetime protocol of the named segment.
//
// POSIX shared-memory objects outlive their processes, but the table must
// behave like a mapping that dies with its last holder: whoever opens after
// every holder has gone (by Close, exit or SIGKILL) must start from zeros,
// and there must never be two segments under one name at once.
//
// Two objects in the shared-memory file system take part:
//   NAME       the segment. Every holder keeps a descriptor of it open with
//              an open-file-description read lock on byte 0: that lock IS the
//              hold. The kernel drops it when the process ends in any way.
//   NAME.lock  the gate: a write lock on its byte 0 serialises every attach
//              and detach of every process. It is never removed by us.
//
// Attach, under the gate:
//   1. Open NAME if it exists. If a non-blocking write lock on it succeeds,
//      nobody holds it: it is stale (left by processes that all died), so
//      unlink it and continue as if it did not exist. Otherwise take a read
//      lock, which succeeds because holders only ever hold read locks outside
//      the gate, and attach to it as it is.
//   2. If NAME does not exist, create it with O_EXCL, mode 0600, reserve its
//      memory (so a full file system fails here and not with SIGBUS later),
//      and take the read lock before the gate is released.
//   3. Check that the locked segment is still the one at NAME; if it is
//      not, close it and start again at 1 (see the removal case below).
// Detach, under the gate:
//   unmap; if our read lock can be upgraded to a write lock, no other holder
//   is left: unlink NAME, provided the object at the path is still ours.
//   Closing the descriptor then drops the hold.
//
// Why it holds up:
//   - Open-file-description locks (F_OFD_*) belong to the descriptor we open,
//     not to the process: closing some other descriptor of the same file, as
//     classic POSIX locks would, cannot drop them, and a second Open in the
//     same process is a holder of its own.
//   - A crash at any step releases every lock the process had. A half-made
//     segment then has no holder and is replaced by the next attach; the
//     detach-time unlink is only tidiness, correctness rests on step 1.
//   - The gate is waited for with a deadline: a process stopped while it
//     holds the gate makes others fail their Open, not hang.
//   - Someone may remove the files under us (rm, logind's RemoveIPC). After
//     taking the gate we check that the lock file we locked is the one at the
//     path, so every later attach meets under one gate; and a last holder
//     unlinks NAME only if NAME is still its own segment. A process that was
//     already inside the old gate still runs beside the first one inside the
//     new gate, so after taking the read lock an attach checks that its
//     segment is still the one at the path, and starts over if not; without
//     that, it could keep a segment the other had just unlinked, apart from
//     everyone who comes later. One window stays open: between finding its
//     segment at NAME and unlinking NAME (shm_unlink works by name), a
//     removal followed by a complete attach of another process would let the
//     unlink take that process's new segment. No system call closes it; it
//     is a few instructions wide.
//   - segment_protocol.pml beside this file models the protocol for spin,
//     with kills at every step, a process stopped inside the gate and a
//     removal of the files.
//   - fork shares open file descriptions, hence locks, with the child. The
//     library makes a child forget the parent's hold (AbandonSegment, run
//     from an atfork handler) and MADV_DONTFORK keeps the mapping out of it;
//     every descriptor is close-on-exec.
#include "table/unix/named_segment.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelto {
namespace {

constexpr int kGateTimeoutMs = 5000;
// Each retry needs another removal of the files under us; give up after a few.
constexpr int kHoldAttempts = 4;
constexpr mode_t kOwnerOnly = 0600;
// shm_open names: one slash, then at most NAME_MAX bytes; leave room for
// the ".lock" suffix of the gate.
constexpr size_t kMaxNameLength = 255 - 5;

struct ObjectNames {
  char segment[kMaxNameLength + 2];
  char gate[kMaxNameLength + 7];
};

bool EndsWithGateSuffix(const char* name, size_t length) {
  return length >= 5 && strcmp(name + length - 5, ".lock") == 0;
}

// A name ending in ".lock" would be the gate of another table.
bool ComposeNames(const char* name, ObjectNames* names) {
  const size_t length = strnlen(name, kMaxNameLength + 1);
  if (length == 0 || length > kMaxNameLength || strchr(name, '/') != nullptr ||
      EndsWithGateSuffix(name, length)) {
    return false;
  }
  snprintf(names->segment, sizeof names->segment, "/%s", name);
  snprintf(names->gate, sizeof names->gate, "/%s.lock", name);
  return true;
}

bool SetLock(int fd, short type, off_t start) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

long MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void SleepMicroseconds(long microseconds) {
  struct timespec pause = {microseconds / 1000000L, (microseconds % 1000000L) * 1000L};
  nanosleep(&pause, nullptr);
}

// Opens an existing object first: with fs.protected_regular, O_CREAT on
// another user's file in a sticky directory fails even where a plain open
// would succeed.
int OpenOrCreateOwnerOnly(const char* object) {
  for (;;) {
    int fd = shm_open(object, O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = shm_open(object, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
    if (fd >= 0) {
      fchmod(fd, kOwnerOnly);  // the umask must not widen or narrow it
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
}

// Only objects of our own user are joined. A gate or segment that another
// user made, even with a mode that lets us in, could feed us their values or
// read ours: the table is reachable by the user who made it and no other.
bool OwnedByUs(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_uid == geteuid();
}

bool SameObject(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when `fd` is still the object found at `object`'s path.
bool IsAtPath(int fd, const char* object) {
  struct stat ours, current;
  if (fstat(fd, &ours) != 0) return false;
  const int probe = shm_open(object, O_RDONLY | O_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool same = fstat(probe, &current) == 0 && SameObject(ours, current);
  close(probe);
  return same;
}

// Returns the gate's descriptor with its write lock taken, or -1 (errno set,
// ETIMEDOUT when the deadline passed). Closing the descriptor opens the gate.
int EnterGate(const char* gate) {
  const long deadline = MonotonicMs() + kGateTimeoutMs;
  long pause = 50;
  for (;;) {
    const int fd = OpenOrCreateOwnerOnly(gate);
    if (fd < 0) return -1;
    if (!OwnedByUs(fd)) {
      close(fd);
      errno = EPERM;
      return -1;
    }
    if (SetLock(fd, F_WRLCK, 0)) {
      if (IsAtPath(fd, gate)) return fd;
      close(fd);  // removed under us: meet the others at the new file
      continue;
    }
    const int error = errno;
    close(fd);
    if (error != EAGAIN && error != EACCES) {
      errno = error;
      return -1;
    }
    if (MonotonicMs() >= deadline) {
      errno = ETIMEDOUT;
      return -1;
    }
    SleepMicroseconds(pause);
    if (pause < 20000) pause *= 2;
  }
}

// Attach and detach run under this lock, and fork waits for it: a child
// forked while another thread is inside either would inherit the gate's
// descriptor, and with it the gate's lock, for as long as the child lives.
pthread_mutex_t g_protocol_lock = PTHREAD_MUTEX_INITIALIZER;

void LockProtocol() { pthread_mutex_lock(&g_protocol_lock); }
void UnlockProtocol() { pthread_mutex_unlock(&g_protocol_lock); }

[[maybe_unused]] const int g_fork_waits_for_protocol =
    pthread_atfork(&LockProtocol, &UnlockProtocol, &UnlockProtocol);

class ProtocolGuard {
 public:
  ProtocolGuard() { LockProtocol(); }
  ~ProtocolGuard() { UnlockProtocol(); }
  ProtocolGuard(const ProtocolGuard&) = delete;
  ProtocolGuard& operator=(const ProtocolGuard&) = delete;
};

SegmentResult Failure(SegmentFailure failure, int error_number = 0) {
  SegmentResult result;
  result.failure = failure;
  result.error_number = error_number;
  return result;
}

// Creates a fresh, zero-filled segment and takes its hold.
SegmentResult CreateSegment(const char* object, uint64_t size, int* fd_out) {
  const int fd = shm_open(object, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
  if (fd < 0) return Failure(SegmentFailure::kCreate, errno);
  fchmod(fd, kOwnerOnly);
  const int reserve_error = posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (reserve_error != 0 || !SetLock(fd, F_RDLCK, 0)) {
    const int error = reserve_error != 0 ? reserve_error : errno;
    shm_unlink(object);
    close(fd);
    return Failure(SegmentFailure::kReserve, error);
  }
  *fd_out = fd;
  return {};
}

// Finds the live segment under the gate and takes a hold on it, replacing a
// stale one. On success *fd_out holds the read lock.
SegmentResult HoldExistingOrCreate(const char* object, uint64_t min_size, SegmentAttachMode mode,
                                   int* fd_out) {
  const int fd = shm_open(object, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0 && errno != ENOENT) return Failure(SegmentFailure::kOpen, errno);
  if (fd >= 0) {
    if (!OwnedByUs(fd)) {
      close(fd);
      return Failure(SegmentFailure::kOpen, EPERM);
    }
    if (!SetLock(fd, F_WRLCK, 0)) {
      if (SetLock(fd, F_RDLCK, 0)) {
        *fd_out = fd;
        return {};
      }
      const int error = errno;
      close(fd);
      return Failure(SegmentFailure::kOpen, error);
    }
    // Nobody holds it: its content belongs to processes that are gone.
    if (mode == SegmentAttachMode::kAttachOnly) {
      close(fd);
      return Failure(SegmentFailure::kNotHeld);
    }
    shm_unlink(object);
    close(fd);
  }
  if (mode == SegmentAttachMode::kAttachOnly) return Failure(SegmentFailure::kNotHeld);
  return CreateSegment(object, min_size, fd_out);
}

SegmentResult MapHeldSegment(int fd, uint64_t min_size, SegmentHold* hold) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Failure(SegmentFailure::kOpen, errno);
  const uint64_t actual = static_cast<uint64_t>(st.st_size);
  if (actual < min_size || actual == 0) {
    SegmentResult result = Failure(SegmentFailure::kTooSmall);
    result.actual_size = actual;
    return result;
  }
  void* view = mmap(nullptr, actual, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return Failure(SegmentFailure::kMap, errno);
  madvise(view, actual, MADV_DONTFORK);
  hold->view = static_cast<char*>(view);
  hold->mapped_length = actual;
  hold->fd = fd;
  hold->device = st.st_dev;
  hold->inode = st.st_ino;
  return {};
}

// Called under the gate with our hold's descriptor.
void ReleaseHold(const char* object, SegmentHold* hold) {
  if (SetLock(hold->fd, F_WRLCK, 0) && IsAtPath(hold->fd, object)) shm_unlink(object);
  close(hold->fd);
}

}  // namespace

SegmentResult AttachSegment(const char* name, uint64_t min_size, SegmentAttachMode mode,
                            SegmentHold* hold) {
  *hold = SegmentHold{};
  if (min_size == 0 && mode == SegmentAttachMode::kCreateOrAttach) {
    return Failure(SegmentFailure::kEmpty);
  }
  ObjectNames names;
  if (!ComposeNames(name, &names)) return Failure(SegmentFailure::kInvalidName);
  const ProtocolGuard guard;
  const int gate = EnterGate(names.gate);
  if (gate < 0) {
    const int error = errno;
    SegmentResult result = Failure(
        error == ETIMEDOUT ? SegmentFailure::kGateTimeout : SegmentFailure::kLockFile, error);
    snprintf(result.gate, sizeof result.gate, "/dev/shm%s", names.gate);
    return result;
  }
  int fd = -1;
  SegmentResult result;
  for (int attempt = 1;; ++attempt) {
    result = HoldExistingOrCreate(names.segment, min_size, mode, &fd);
    if (result.failure != SegmentFailure::kNone || IsAtPath(fd, names.segment)) break;
    // Unlinked between our open and our lock: only a removal of the lock
    // file lets another process in at the same time. Meet the others at
    // whatever is at the path now.
    close(fd);
    fd = -1;
    if (attempt == kHoldAttempts) {
      result = Failure(SegmentFailure::kOpen, ESTALE);
      break;
    }
  }
  if (result.failure == SegmentFailure::kNone) {
    result = MapHeldSegment(fd, min_size, hold);
    if (result.failure != SegmentFailure::kNone) {
      SegmentHold unmapped;
      unmapped.fd = fd;
      ReleaseHold(names.segment, &unmapped);
    }
  }
  close(gate);
  return result;
}

void DetachSegment(const char* name, SegmentHold* hold) {
  if (hold->fd < 0) return;
  const ProtocolGuard guard;
  munmap(hold->view, hold->mapped_length);
  ObjectNames names;
  const int gate = ComposeNames(name, &names) ? EnterGate(names.gate) : -1;
  if (gate >= 0) {
    ReleaseHold(names.segment, hold);
    close(gate);
  } else {
    // Without the gate we may not unlink; dropping the hold is still safe,
    // since the next attach replaces a segment that nobody holds.
    close(hold->fd);
  }
  *hold = SegmentHold{};
}

void AbandonSegment(SegmentHold* hold) {
  // The parent still has this open file description, so closing the child's
  // copy of the descriptor leaves the parent's lock in place.
  if (hold->fd >= 0) close(hold->fd);
  *hold = SegmentHold{};
}

void DescribeSegmentFailure(const SegmentResult& result, uint64_t min_size, char* buffer,
                            size_t buffer_size) {
  const char* reason = result.error_number != 0 ? strerror(result.error_number) : "";
  switch (result.failure) {
    case SegmentFailure::kNone: snprintf(buffer, buffer_size, "no failure"); break;
    case SegmentFailure::kEmpty:
      snprintf(buffer, buffer_size, "no variables defined, so no segment");
      break;
    case SegmentFailure::kInvalidName:
      snprintf(buffer, buffer_size,
               "segment name is empty, too long, contains '/' or ends in \".lock\"");
      break;
    case SegmentFailure::kLockFile:
      snprintf(buffer, buffer_size, "cannot open the segment's lock file %s: %s", result.gate,
               reason);
      break;
    case SegmentFailure::kGateTimeout:
      snprintf(buffer, buffer_size,
               "timed out after %d ms waiting for the lock on %s "
               "(another process holds it, perhaps stopped)",
               kGateTimeoutMs, result.gate);
      break;
    case SegmentFailure::kOpen:
      snprintf(buffer, buffer_size, "cannot open the segment: %s", reason);
      break;
    case SegmentFailure::kCreate:
      snprintf(buffer, buffer_size, "cannot create the segment: %s", reason);
      break;
    case SegmentFailure::kReserve:
      snprintf(buffer, buffer_size, "cannot reserve %llu bytes for the segment: %s",
               static_cast<unsigned long long>(min_size), reason);
      break;
    case SegmentFailure::kTooSmall:
      snprintf(buffer, buffer_size,
               "existing segment has %llu bytes, fewer than the %llu bytes needed",
               static_cast<unsigned long long>(result.actual_size),
               static_cast<unsigned long long>(min_size));
      break;
    case SegmentFailure::kMap:
      snprintf(buffer, buffer_size, "cannot map the segment: %s", reason);
      break;
    case SegmentFailure::kNotHeld:
      snprintf(buffer, buffer_size, "no process holds the segment");
      break;
  }
}

}  // namespace kelto
