// A named POSIX shared-memory segment whose content lives exactly as long as
// some program holds it, as a named mapping does on other systems: what a
// hold and a failure are here. The interface is table/named_segment.h; the
// protocol is described in named_segment.cc.
#ifndef KELTO_TABLE_UNIX_NAMED_SEGMENT_H_
#define KELTO_TABLE_UNIX_NAMED_SEGMENT_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kelto {

// A segment name may be this long at most: its companions NAME.lock and
// NAME.changes must still fit a file name.
inline constexpr size_t kMaxSegmentNameLength = 247;

enum class SegmentFailure {
  kNone,
  kEmpty,         // a size of 0 was asked for
  kInvalidName,   // not usable as a segment name
  kLockFile,      // the companion lock file could not be opened
  kGateTimeout,   // another process held the gate too long
  kOpen,          // the segment exists but could not be opened
  kCreate,        // the segment could not be created
  kReserve,       // no room for the segment's memory
  kTooSmall,      // the existing segment is smaller than asked for
  kMap,           // mmap failed
  kNotHeld,       // attach-only: no program holds a segment of that name
  kForeignOwner,  // the lock file or the segment belongs to another user
  kNotOurs,       // an object at the name that no program of this library made
  kMismatch,      // the items check refused the live segment
};

// One hold on the segment: the mapping and the descriptor whose read lock
// marks the hold (byte 0 for a program, byte 1 for an observer).
struct SegmentHold {
  char* view = nullptr;
  size_t mapped_length = 0;  // the segment's real size
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  bool observer = false;
  // The change log NAME.changes, mapped beside the segment; null when the
  // table has none (an observer of a table without one, or no room for it).
  char* changes = nullptr;
  size_t changes_length = 0;
  int changes_fd = -1;
};

struct SegmentResult {
  SegmentFailure failure = SegmentFailure::kNone;
  int error_number = 0;      // errno of the failing call, if any
  uint64_t actual_size = 0;  // with kTooSmall: the existing segment's size
  char gate[272] = {};       // with kGateTimeout and kLockFile: the lock file's path
  // With kForeignOwner and kNotOurs: the object's path, and its owner.
  char object[272] = {};
  uid_t owner = 0;
  // With kNotOurs and kMismatch: why, as text.
  char detail[640] = {};
};

// True while the object at the name is still this hold's segment and some
// program holds it. Creates nothing and takes no lock; for observers, which
// must notice that the last program has gone.
bool SegmentStillLive(const char* name, const SegmentHold& hold);

}  // namespace kelto

#endif  // KELTO_TABLE_UNIX_NAMED_SEGMENT_H_
