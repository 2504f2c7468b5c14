// The lifetime protocol of the named segment.
//
// POSIX shared-memory objects outlive their processes, but the table must
// behave like a mapping that dies with its last program: whoever opens after
// every program has gone (by Close, exit or SIGKILL) must start from zeros,
// there must never be two segments under one name at once, and once the
// last program has gone nothing of the table is left in the file system.
//
// Three objects in the shared-memory file system take part:
//   NAME          the segment. A program (KeltoOpen) keeps a descriptor of it
//                 open with an open-file-description read lock on byte 0:
//                 that lock IS the hold, and only programs keep the table
//                 alive. An observer (a tool that only looks) holds byte 1
//                 instead. The kernel drops a lock when its process ends.
//   NAME.lock     the gate: a write lock on its byte 0 serialises every
//                 attach and detach of every process. Empty, mode 0600.
//   NAME.changes  the change log, made and removed with the segment.
//
// A program's attach, under the gate:
//   1. Open NAME if it exists. If a non-blocking write lock on byte 0
//      succeeds, no program holds it: it is stale. It is unlinked and
//      replaced only if this library made it: it is not older than the gate
//      (we create the gate before the segment and remove it after, so a gate
//      that was there when this attach came counts as older than any of our
//      segments, and one this attach made counts from its making; another
//      process may have made a segment under it before we took it), and its
//      owner, mode and size are a table's. Anything else is another
//      program's object and is left untouched.
//      Otherwise take a read lock on byte 0, which succeeds because programs
//      only ever hold read locks outside the gate, and attach as it is.
//   2. If NAME does not exist, create it with O_EXCL, mode 0600, reserve its
//      memory (so a full file system fails here and not with SIGBUS later),
//      and take the read lock before the gate is released.
//   3. Check that the locked segment is still the one at NAME; if it is
//      not, close it and start again at 1 (see the removal case below).
//   4. Map it and let the caller write or check its items, still under the
//      gate, so that nobody ever sees them half written.
//   5. Map the change log NAME.changes: a segment made in step 2 gets a
//      fresh one (any leftover unlinked first), a live one keeps its own
//      unless it is missing or unusable. Without one the table still works.
// A program's detach, under the gate:
//   unmap; if our read lock on byte 0 can be upgraded to a write lock, no
//   other program is left: unlink NAME, provided the object at the path is
//   still ours, then NAME.changes and last the gate. Closing the descriptor
//   then drops the hold. An attach that ends without a hold removes the gate
//   the same way when it leaves the name free.
// An observer's attach opens the gate without creating it (no gate, no live
// table), enters it, opens NAME, asks the kernel (F_OFD_GETLK) whether some
// program holds byte 0, and only then takes its read lock on byte 1 and maps
// the change log if there is one (never creating it). It never
// unlinks anything; it detaches without the gate.
//
// Why it holds up:
//   - Open-file-description locks (F_OFD_*) belong to the descriptor we open,
//     not to the process: closing some other descriptor of the same file, as
//     classic POSIX locks would, cannot drop them, and a second Open in the
//     same process is a holder of its own.
//   - "Stale" and "last" look at byte 0 alone, so observers never keep a
//     table alive, nor make a program think it is not the last one.
//   - A crash at any step releases every lock the process had. A half-made
//     segment then has no holder and is replaced by the next attach; the
//     detach-time unlink is only tidiness, correctness rests on step 1.
//     Files are created gate first and removed gate last, so a killed
//     process never leaves a segment of ours without its gate.
//   - The gate is waited for with a deadline: a process stopped while it
//     holds the gate makes others fail their Open, not hang.
//   - The gate is removed only by the process holding its lock, and after
//     taking the gate everyone checks that the lock file it locked is the
//     one at the path; a process that locked a removed gate starts over at
//     the new one. The same check copes with someone else removing the files
//     under us (rm, logind's RemoveIPC), and a last program unlinks NAME only
//     if NAME is still its own segment. A process that was already inside
//     the old gate still runs beside the first one inside a new gate, so
//     after taking the read lock an attach checks that its segment is still
//     the one at the path, and starts over if not; without that, it could
//     keep a segment the other had just unlinked, apart from everyone who
//     comes later. One window stays open: between finding its segment at
//     NAME and unlinking NAME (shm_unlink works by name), a removal followed
//     by a complete attach of another process would let the unlink take that
//     process's new segment. No system call closes it; it is a few
//     instructions wide.
//   - segment_protocol.pml beside this file models the protocol for spin,
//     with kills at every step, a process stopped inside the gate, observers
//     and a removal of the files.
//   - fork shares open file descriptions, hence locks, with the child. Every
//     descriptor of the protocol that outlives a call is listed, under the
//     lock that fork waits for, and the child closes them all as it starts;
//     MADV_DONTFORK keeps the mapping out of it; every descriptor is
//     close-on-exec.
#include "table/named_segment.h"

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "table/segment_reasons.h"
#include "table/unix/change_log_object.h"
#include "table/unix/system_calls.h"
#include "table/var_item.h"

namespace kelto {
namespace {

constexpr int kGateTimeoutMs = 5000;
// Each retry needs another removal of the files under us; give up after a few.
constexpr int kHoldAttempts = 4;
constexpr mode_t kOwnerOnly = 0600;
constexpr off_t kProgramByte = 0;
constexpr off_t kObserverByte = 1;
// Where shm_open keeps its objects, for looking at them without opening.
constexpr const char* kShmDirectory = "/dev/shm";

struct ObjectNames {
  char segment[kMaxSegmentNameLength + 2];
  char gate[kMaxSegmentNameLength + 7];
  char changes[kMaxSegmentNameLength + 10];
};

bool EndsWith(const char* name, size_t length, const char* suffix) {
  const size_t suffix_length = strlen(suffix);
  return length >= suffix_length && strcmp(name + length - suffix_length, suffix) == 0;
}

// A name ending in ".lock" or ".changes" would be a companion of another
// table, and "." and ".." are no object at all.
bool ComposeNames(const char* name, ObjectNames* names) {
  const size_t length = strnlen(name, kMaxSegmentNameLength + 1);
  if (length == 0 || length > kMaxSegmentNameLength || strchr(name, '/') != nullptr ||
      strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || EndsWith(name, length, ".lock") ||
      EndsWith(name, length, ".changes")) {
    return false;
  }
  snprintf(names->segment, sizeof names->segment, "/%s", name);
  snprintf(names->gate, sizeof names->gate, "/%s.lock", name);
  snprintf(names->changes, sizeof names->changes, "/%s.changes", name);
  return true;
}

// Object names are short enough that the path always fits; a path that
// somehow did not is cut rather than overrun.
void PathOf(const char* object, char* path, size_t path_size) {
  const int length = snprintf(path, path_size, "%s%s", kShmDirectory, object);
  if (length < 0 || static_cast<size_t>(length) >= path_size) path[path_size - 1] = '\0';
}

bool SetLock(int fd, short type, off_t start) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = 1;
  return sys::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// True when a lock of another open file description covers byte 0: some
// program holds the segment. Our own locks never count.
bool ProgramHolds(int fd) {
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = kProgramByte;
  probe.l_len = 1;
  return sys::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
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
int OpenOrCreateOwnerOnly(const char* object, bool* created) {
  *created = false;
  for (;;) {
    int fd = sys::shm_open(object, O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = sys::shm_open(object, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
    if (fd >= 0) {
      fchmod(fd, kOwnerOnly);  // the umask must not widen or narrow it
      *created = true;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
}

bool SameObject(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when `fd` is still the object found at `object`'s path.
bool IsAtPath(int fd, const char* object) {
  struct stat ours, current;
  if (sys::fstat(fd, &ours) != 0) return false;
  const int probe = sys::shm_open(object, O_RDONLY | O_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool same = sys::fstat(probe, &current) == 0 && SameObject(ours, current);
  close(probe);
  return same;
}

bool NothingAt(const char* object) {
  char path[300];
  PathOf(object, path, sizeof path);
  struct stat st;
  return sys::lstat(path, &st) != 0 && errno == ENOENT;
}

SegmentResult Failure(SegmentFailure failure, int error_number = 0) {
  SegmentResult result;
  result.failure = failure;
  result.error_number = error_number;
  return result;
}

// Only objects of our own user are joined. A gate or segment that another
// user made, even with a mode that lets us in, could feed us their values or
// read ours: the table is reachable by the user who made it and no other.
// Such an object is reported with its owner, whose leftovers only that user
// can remove.
SegmentResult ForeignOwner(const char* object, uid_t owner) {
  SegmentResult result = Failure(SegmentFailure::kForeignOwner);
  PathOf(object, result.object, sizeof result.object);
  result.owner = owner;
  return result;
}

// After an open failed with `error`: another user's object, or plain failure.
SegmentResult OpenFailure(const char* object, SegmentFailure failure, int error) {
  char path[300];
  PathOf(object, path, sizeof path);
  struct stat st;
  if (error == EACCES && sys::stat(path, &st) == 0 && st.st_uid != geteuid()) {
    return ForeignOwner(object, st.st_uid);
  }
  return Failure(failure, error);
}

// fstat of a segment we opened: kNone when it is our user's.
SegmentResult CheckOwner(int fd, const char* object, struct stat* st) {
  if (sys::fstat(fd, st) != 0) return Failure(SegmentFailure::kOpen, errno);
  if (st->st_uid != geteuid()) return ForeignOwner(object, st->st_uid);
  return {};
}

SegmentResult NotOurs(const char* object, const char* why) {
  SegmentResult result = Failure(SegmentFailure::kNotOurs);
  PathOf(object, result.object, sizeof result.object);
  snprintf(result.detail, sizeof result.detail, "%s", why);
  return result;
}

// True when `a` last changed before `b`: a segment older than the gate we
// made was not made under any gate of ours. (A zero `b` is older than all.)
bool OlderThan(const struct stat& a, const struct stat& b) {
  return a.st_ctim.tv_sec < b.st_ctim.tv_sec ||
         (a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec < b.st_ctim.tv_nsec);
}

// A gate stat left zero: the gate was there before this attach.
bool IsUnset(const struct stat& gate) {
  return gate.st_ctim.tv_sec == 0 && gate.st_ctim.tv_nsec == 0;
}

// What this library makes: owned by us, mode 0600; a gate is empty, a
// segment a whole number of items.
const char* WhyNotOurs(const struct stat& st, bool segment) {
  if (!S_ISREG(st.st_mode) || (st.st_mode & 07777) != kOwnerOnly) return "its mode is not 0600";
  if (!segment && st.st_size != 0) return "it is not empty";
  if (segment && (st.st_size == 0 || st.st_size % kItemSize != 0)) {
    return "its size is not a whole number of 328-byte items";
  }
  return nullptr;
}

// Returns the gate's descriptor with its write lock taken, or -1 with the
// failure in *result. Closing the descriptor opens the gate. Programs
// create a missing gate (*created tells); observers do not (kNotHeld).
int EnterGate(const ObjectNames& names, bool create, bool* created, SegmentResult* result) {
  const long deadline = MonotonicMs() + kGateTimeoutMs;
  long pause = 50;
  for (;;) {
    bool made = false;
    const int fd = create ? OpenOrCreateOwnerOnly(names.gate, &made)
                          : sys::shm_open(names.gate, O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
      const int error = errno;
      if (!create && error == ENOENT) {
        *result = Failure(SegmentFailure::kNotHeld);
      } else {
        *result = OpenFailure(names.gate, SegmentFailure::kLockFile, error);
      }
      break;
    }
    struct stat st;
    if (sys::fstat(fd, &st) != 0) {
      *result = Failure(SegmentFailure::kLockFile, errno);
      close(fd);
      break;
    }
    if (st.st_uid != geteuid() || WhyNotOurs(st, false) != nullptr) {
      *result = st.st_uid != geteuid() ? ForeignOwner(names.gate, st.st_uid)
                                       : NotOurs(names.gate, WhyNotOurs(st, false));
      close(fd);
      break;
    }
    if (SetLock(fd, F_WRLCK, 0)) {
      if (IsAtPath(fd, names.gate)) {
        if (created != nullptr) *created = made;
        return fd;
      }
      close(fd);  // removed under us: meet the others at the new file
      continue;
    }
    const int error = errno;
    close(fd);
    if (error != EAGAIN && error != EACCES) {
      *result = Failure(SegmentFailure::kLockFile, error);
      break;
    }
    if (MonotonicMs() >= deadline) {
      *result = Failure(SegmentFailure::kGateTimeout, ETIMEDOUT);
      break;
    }
    SleepMicroseconds(pause);
    if (pause < 20000) pause *= 2;
  }
  if (result->failure == SegmentFailure::kLockFile ||
      result->failure == SegmentFailure::kGateTimeout) {
    PathOf(names.gate, result->gate, sizeof result->gate);
  }
  return -1;
}

// Attach and detach run under this lock, and fork waits for it: a child
// forked while another thread is inside either would inherit the gate's
// descriptor, and with it the gate's lock, for as long as the child lives.
// Recursive, so that the library can hold it over a whole Open or Close.
pthread_mutex_t g_protocol_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

void LockProtocol() { pthread_mutex_lock(&g_protocol_lock); }
void UnlockProtocol() { pthread_mutex_unlock(&g_protocol_lock); }

// The child's only thread is not the one that locked it (a recursive mutex
// knows its owner), so the child starts with a fresh lock instead.
void ResetProtocolInChild() {
  pthread_mutexattr_t recursive;
  pthread_mutexattr_init(&recursive);
  pthread_mutexattr_settype(&recursive, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&g_protocol_lock, &recursive);
  pthread_mutexattr_destroy(&recursive);
}

// The descriptors of every hold of the process, changed only under the
// protocol lock. Whatever another thread is doing (an Open that has attached
// anew but not yet let go of the old hold, a Close on its way to the gate),
// a child closes every one of them as it starts, so it never holds the table
// for its parent. Never freed: it may be needed while the process ends.
std::vector<int>& HoldDescriptors() {
  static auto* descriptors = new std::vector<int>();
  return *descriptors;
}

bool ListHoldDescriptor(int fd) {
  try {
    HoldDescriptors().push_back(fd);
    return true;
  } catch (...) {
    return false;
  }
}

// The lock is let go of explicitly before the close: a child forked a
// moment ago may not yet have closed its copy of the descriptor, and its
// copy would keep the open file description, and so the lock, alive; the
// next Close would then not see that it is the last.
void CloseHoldDescriptor(int fd) {
  std::vector<int>& descriptors = HoldDescriptors();
  descriptors.erase(std::remove(descriptors.begin(), descriptors.end(), fd), descriptors.end());
  struct flock all = {};
  all.l_type = F_UNLCK;
  all.l_whence = SEEK_SET;
  sys::fcntl(fd, F_OFD_SETLK, &all);
  close(fd);
}

// The parent still has these open file descriptions, so closing the
// child's copies leaves the parent's locks in place.
void CloseHoldsInChild() {
  for (const int fd : HoldDescriptors()) close(fd);
  HoldDescriptors().clear();
  ResetProtocolInChild();
}

[[maybe_unused]] const int g_fork_waits_for_protocol =
    pthread_atfork(&LockProtocol, &UnlockProtocol, &CloseHoldsInChild);

using ProtocolGuard = SegmentProtocolScope;

// Creates a fresh, zero-filled segment and takes its hold.
SegmentResult CreateSegment(const char* object, uint64_t size, int* fd_out, bool* created) {
  const int fd = sys::shm_open(object, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
  if (fd < 0) return Failure(SegmentFailure::kCreate, errno);
  fchmod(fd, kOwnerOnly);
  const int reserve_error = sys::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (reserve_error != 0 || !SetLock(fd, F_RDLCK, kProgramByte)) {
    const int error = reserve_error != 0 ? reserve_error : errno;
    sys::shm_unlink(object);
    close(fd);
    return Failure(SegmentFailure::kReserve, error);
  }
  *fd_out = fd;
  *created = true;
  return {};
}

// A program finds the live segment under the gate and takes a hold on it,
// replacing a stale one of ours. On success *fd_out holds the read lock.
// ESTALE: the holder it saw went away before the read lock; look again.
SegmentResult HoldForProgramOnce(const char* object, uint64_t min_size, const struct stat& gate,
                                 int* fd_out, bool* created) {
  *created = false;
  const int fd = sys::shm_open(object, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0 && errno != ENOENT) return OpenFailure(object, SegmentFailure::kOpen, errno);
  if (fd >= 0) {
    struct stat st;
    if (SegmentResult foreign = CheckOwner(fd, object, &st);
        foreign.failure != SegmentFailure::kNone) {
      close(fd);
      return foreign;
    }
    if (!SetLock(fd, F_WRLCK, kProgramByte)) {
      // Held by a program, or write-locked for a moment by one that is
      // deciding on it under another gate (after a removal of the files).
      // If the holder has gone (killed, or let go without taking it) by the
      // time we have our read lock, it may be stale: look at it again.
      if (SetLock(fd, F_RDLCK, kProgramByte) && !ProgramHolds(fd)) {
        close(fd);
        return Failure(SegmentFailure::kOpen, ESTALE);
      }
      if (SetLock(fd, F_RDLCK, kProgramByte)) {
        *fd_out = fd;
        return {};
      }
      const int error = errno;
      close(fd);
      return Failure(SegmentFailure::kOpen, error);
    }
    // No program holds it. Ours, its content belongs to programs that are
    // gone; anything else is never ours to remove. An empty one of ours
    // beside a gate that was there before us is a creator killed before it
    // reserved the segment: refused, it would cost the name its gate, and
    // the table would be refused for good.
    const bool killed_creator =
        st.st_size == 0 && IsUnset(gate) && WhyNotOurs(st, false) == nullptr;
    const char* why = OlderThan(st, gate) ? "no lock file was beside it"
                      : killed_creator    ? nullptr
                                          : WhyNotOurs(st, true);
    close(fd);
    if (why != nullptr) return NotOurs(object, why);
    sys::shm_unlink(object);
  }
  return CreateSegment(object, min_size, fd_out, created);
}

SegmentResult HoldForProgram(const char* object, uint64_t min_size, const struct stat& gate,
                             int* fd_out, bool* created) {
  SegmentResult result;
  for (int attempt = 0; attempt < kHoldAttempts; ++attempt) {
    result = HoldForProgramOnce(object, min_size, gate, fd_out, created);
    if (result.failure != SegmentFailure::kOpen || result.error_number != ESTALE) break;
  }
  return result;
}

// An observer takes byte 1 of the segment that some program holds.
SegmentResult HoldForObserver(const char* object, int* fd_out) {
  const int fd = sys::shm_open(object, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0 && errno == ENOENT) return Failure(SegmentFailure::kNotHeld);
  if (fd < 0) return OpenFailure(object, SegmentFailure::kOpen, errno);
  struct stat st;
  if (SegmentResult foreign = CheckOwner(fd, object, &st);
      foreign.failure != SegmentFailure::kNone) {
    close(fd);
    return foreign;
  }
  if (!ProgramHolds(fd)) {
    close(fd);
    return Failure(SegmentFailure::kNotHeld);
  }
  if (!SetLock(fd, F_RDLCK, kObserverByte)) {
    const int error = errno;
    close(fd);
    return Failure(SegmentFailure::kOpen, error);
  }
  *fd_out = fd;
  return {};
}

// Takes the hold through `take` and checks that it is on the object at the
// path. Unlinked between our open and our lock: only a removal of the lock
// file lets another process in at the same time. Meet the others at
// whatever is at the path now.
template <typename Take>
SegmentResult HoldAtPath(const char* object, Take take, int* fd_out) {
  for (int attempt = 1;; ++attempt) {
    int fd = -1;
    SegmentResult result = take(&fd);
    if (result.failure != SegmentFailure::kNone) return result;
    if (IsAtPath(fd, object)) {
      *fd_out = fd;
      return result;
    }
    close(fd);
    if (attempt == kHoldAttempts) return Failure(SegmentFailure::kOpen, ESTALE);
  }
}

// Maps the held segment into *hold, which then owns `fd`; on failure `fd`
// is left to the caller.
SegmentResult MapHeldSegment(int fd, uint64_t min_size, bool observer, SegmentHold* hold) {
  struct stat st;
  if (sys::fstat(fd, &st) != 0) return Failure(SegmentFailure::kOpen, errno);
  const uint64_t actual = static_cast<uint64_t>(st.st_size);
  if (actual < min_size || actual == 0) {
    SegmentResult result = Failure(SegmentFailure::kTooSmall);
    result.actual_size = actual;
    return result;
  }
  void* view = sys::mmap(nullptr, actual, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return Failure(SegmentFailure::kMap, errno);
  if (!ListHoldDescriptor(fd)) {
    munmap(view, actual);
    return Failure(SegmentFailure::kMap, ENOMEM);
  }
  madvise(view, actual, MADV_DONTFORK);
  // A program reads and writes every item at Open. The pages of a fresh
  // segment are reserved but not yet cleared, which keeps the kernel from
  // mapping their neighbours along with them: without this, every page
  // would be one write fault of its own. Only a hint; an older kernel
  // refuses it and the faults happen as before.
  if (!observer) madvise(view, actual, MADV_POPULATE_WRITE);
  hold->view = static_cast<char*>(view);
  hold->mapped_length = actual;
  hold->fd = fd;
  hold->device = st.st_dev;
  hold->inode = st.st_ino;
  hold->observer = observer;
  return {};
}

// Under the gate, with the segment mapped: maps its change log into the
// hold. A table without one still works; it only has no feed.
void HoldChangeLog(const char* object, ChangeLogUse use, SegmentHold* hold) {
  const ChangeLogMapping mapping = MapChangeLog(object, use);
  if (mapping.log == nullptr) return;
  if (!ListHoldDescriptor(mapping.fd)) {
    UnmapChangeLog(mapping);
    close(mapping.fd);
    return;
  }
  hold->changes = mapping.log;
  hold->changes_length = mapping.length;
  hold->changes_fd = mapping.fd;
}

void UnmapHeldChangeLog(const SegmentHold& hold) {
  UnmapChangeLog(ChangeLogMapping{hold.changes, hold.changes_length, hold.changes_fd});
}

// Under the gate, once the name holds no segment: the companions go too,
// the change log if it is ours and the gate last, so that nothing of the
// table is left. Whoever waits on the removed gate starts over at a new one.
void RemoveCompanions(const ObjectNames& names, int gate, bool with_changes = true) {
  const int changes = with_changes ? sys::shm_open(names.changes, O_RDONLY | O_CLOEXEC, 0) : -1;
  if (changes >= 0) {
    struct stat st;
    if (sys::fstat(changes, &st) == 0 && st.st_uid == geteuid() && S_ISREG(st.st_mode) &&
        (st.st_mode & 07777) == kOwnerOnly) {
      sys::shm_unlink(names.changes);
    }
    close(changes);
  }
  if (IsAtPath(gate, names.gate)) sys::shm_unlink(names.gate);
}

// Called under the gate with a program's hold descriptor, listed or not:
// the last program removes the segment, if the object at the path is still
// its own, and the companions.
void ReleaseProgramHold(const ObjectNames& names, int gate, int fd) {
  if (SetLock(fd, F_WRLCK, kProgramByte)) {
    if (IsAtPath(fd, names.segment)) sys::shm_unlink(names.segment);
    if (NothingAt(names.segment)) RemoveCompanions(names, gate);
  }
  CloseHoldDescriptor(fd);
}

SegmentResult AttachProgram(const ObjectNames& names, uint64_t min_size, SegmentHold* hold,
                            const SegmentItemsCheck& check) {
  SegmentResult result;
  bool made_gate = false;
  const int gate = EnterGate(names, true, &made_gate, &result);
  if (gate < 0) return result;
  // A gate that was there when we came is older than any segment of ours;
  // one we made ourselves only counts from its making on.
  struct stat gate_made = {};
  if (made_gate) sys::fstat(gate, &gate_made);
  int fd = -1;
  bool created = false;
  result = HoldAtPath(
      names.segment,
      [&](int* taken) {
        return HoldForProgram(names.segment, min_size, gate_made, taken, &created);
      },
      &fd);
  if (result.failure == SegmentFailure::kNone) {
    result = MapHeldSegment(fd, min_size, false, hold);
  }
  if (result.failure == SegmentFailure::kNone && check) {
    bool taken = false;
    try {
      taken = check(hold->view, hold->mapped_length, created, result.detail, sizeof result.detail);
    } catch (...) {
      snprintf(result.detail, sizeof result.detail, "the items could not be checked");
    }
    if (!taken) {
      result.failure = SegmentFailure::kMismatch;
      munmap(hold->view, hold->mapped_length);
      *hold = SegmentHold{};
    }
  }
  // A fresh segment gets a fresh change log: a leftover one would hand its
  // old marks to the first waiter of the new table.
  if (result.failure == SegmentFailure::kNone) {
    HoldChangeLog(names.changes, created ? ChangeLogUse::kCreateFresh : ChangeLogUse::kOpenOrCreate,
                  hold);
  }
  if (result.failure != SegmentFailure::kNone) {
    if (fd >= 0) {
      ReleaseProgramHold(names, gate, fd);
    } else if (NothingAt(names.segment) || result.failure == SegmentFailure::kNotOurs) {
      // A refused name leaves nothing behind; an object that is not ours
      // keeps no gate of ours beside it, which would make it look ours.
      RemoveCompanions(names, gate, result.failure != SegmentFailure::kNotOurs);
    }
  }
  close(gate);
  return result;
}

SegmentResult AttachObserver(const ObjectNames& names, SegmentHold* hold) {
  SegmentResult result;
  const int gate = EnterGate(names, false, nullptr, &result);
  if (gate < 0) return result;
  int fd = -1;
  result = HoldAtPath(
      names.segment, [&](int* taken) { return HoldForObserver(names.segment, taken); }, &fd);
  if (result.failure == SegmentFailure::kNone) {
    result = MapHeldSegment(fd, 0, true, hold);
    if (result.failure != SegmentFailure::kNone) close(fd);
  }
  if (result.failure == SegmentFailure::kNone) {
    HoldChangeLog(names.changes, ChangeLogUse::kOpenOnly, hold);
  }
  close(gate);
  return result;
}

// Gives up the hold; the caller has dealt with the mapping.
void Release(const char* name, SegmentHold* hold) {
  if (hold->changes_fd >= 0) CloseHoldDescriptor(hold->changes_fd);
  hold->changes_fd = -1;
  ObjectNames names;
  const bool named = ComposeNames(name, &names);
  if (hold->observer || !named) {
    CloseHoldDescriptor(hold->fd);
    return;
  }
  SegmentResult ignored;
  const int gate = EnterGate(names, true, nullptr, &ignored);
  if (gate >= 0) {
    ReleaseProgramHold(names, gate, hold->fd);
    close(gate);
  } else {
    // Without the gate we may not unlink; dropping the hold is still safe,
    // since the next attach replaces a segment that nobody holds.
    CloseHoldDescriptor(hold->fd);
  }
}

const char* UserName(uid_t uid, char* buffer, size_t buffer_size) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char scratch[1024];
  if (getpwuid_r(uid, &entry, scratch, sizeof scratch, &found) == 0 && found != nullptr) {
    snprintf(buffer, buffer_size, "%s", found->pw_name);
  } else {
    snprintf(buffer, buffer_size, "%u", static_cast<unsigned>(uid));
  }
  return buffer;
}

}  // namespace

SegmentProtocolScope::SegmentProtocolScope() { LockProtocol(); }
SegmentProtocolScope::~SegmentProtocolScope() { UnlockProtocol(); }

SegmentResult AttachSegment(const char* name, uint64_t min_size, SegmentAttachMode mode,
                            SegmentHold* hold, const SegmentItemsCheck& check) {
  *hold = SegmentHold{};
  if (min_size == 0 && mode == SegmentAttachMode::kCreateOrAttach) {
    return Failure(SegmentFailure::kEmpty);
  }
  ObjectNames names;
  if (!ComposeNames(name, &names)) return Failure(SegmentFailure::kInvalidName);
  const ProtocolGuard guard;
  return mode == SegmentAttachMode::kAttachOnly ? AttachObserver(names, hold)
                                                : AttachProgram(names, min_size, hold, check);
}

void DetachSegment(const char* name, SegmentHold* hold) {
  if (hold->fd < 0) return;
  const ProtocolGuard guard;
  munmap(hold->view, hold->mapped_length);
  UnmapHeldChangeLog(*hold);
  Release(name, hold);
  *hold = SegmentHold{};
}

void ReleaseSegmentKeepingView(const char* name, SegmentHold* hold) {
  if (hold->fd < 0) return;
  const ProtocolGuard guard;
  Release(name, hold);
  hold->fd = -1;
}

bool SegmentStillLive(const char* name, const SegmentHold& hold) {
  ObjectNames names;
  if (hold.fd < 0 || !ComposeNames(name, &names)) return false;
  // By path, so that no descriptor exists that a fork could hand on.
  char path[300];
  PathOf(names.segment, path, sizeof path);
  struct stat st;
  if (sys::stat(path, &st) != 0 || st.st_dev != hold.device || st.st_ino != hold.inode) {
    return false;
  }
  return !hold.observer || ProgramHolds(hold.fd);
}

void AbandonSegment(SegmentHold* hold) { *hold = SegmentHold{}; }

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
               "segment name is empty, \".\" or \"..\", longer than %zu bytes, contains '/' "
               "or ends in \".lock\" or \".changes\"",
               kMaxSegmentNameLength);
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
      DescribeTooSmallSegment(result.actual_size, min_size, buffer, buffer_size);
      break;
    case SegmentFailure::kMap:
      snprintf(buffer, buffer_size, "cannot map the segment: %s", reason);
      break;
    case SegmentFailure::kNotHeld:
      snprintf(buffer, buffer_size, "no process holds the segment");
      break;
    case SegmentFailure::kForeignOwner: {
      char user[64];
      snprintf(buffer, buffer_size,
               "%s belongs to user %s (uid %u), not to this user; only that user can use or "
               "remove it",
               result.object, UserName(result.owner, user, sizeof user),
               static_cast<unsigned>(result.owner));
      break;
    }
    case SegmentFailure::kNotOurs:
      snprintf(buffer, buffer_size, "%s was not made by kelto (%s) and is left untouched",
               result.object, result.detail);
      break;
    case SegmentFailure::kMismatch: snprintf(buffer, buffer_size, "%s", result.detail); break;
  }
}

}  // namespace kelto
