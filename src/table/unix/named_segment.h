// A named POSIX shared-memory segment whose content lives exactly as long as
// some program holds it, as a named mapping does on other systems. The
// protocol is described in named_segment.cc.
#ifndef KELTO_TABLE_UNIX_NAMED_SEGMENT_H_
#define KELTO_TABLE_UNIX_NAMED_SEGMENT_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

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

enum class SegmentAttachMode {
  kCreateOrAttach,  // a program opening the table: keeps it alive
  kAttachOnly,      // an observer: never creates, never resets, never removes
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

// Run by a program's attach under the gate, once the segment is mapped, so
// that no other program ever sees the items half written: it writes this
// program's items where they are still blank and checks the others. It
// returns false to refuse the segment, with a reason in `why`. `fresh`: this
// attach made the segment a moment ago, so every byte of it is still zero.
using SegmentItemsCheck =
    std::function<bool(char* view, uint64_t length, bool fresh, char* why, size_t why_size)>;

// Attaches to the segment `name` (without leading slash). A program
// (kCreateOrAttach) creates it zeroed when no program holds it; `min_size`
// is the size it needs, a larger existing segment is accepted, a smaller one
// refused. An observer (kAttachOnly) creates no file at all; `min_size` may
// be 0 and the whole existing segment is mapped.
SegmentResult AttachSegment(const char* name, uint64_t min_size, SegmentAttachMode mode,
                            SegmentHold* hold, const SegmentItemsCheck& check = {});

// Unmaps and gives up the hold. The last program removes the segment and
// its companion files; an observer removes nothing.
void DetachSegment(const char* name, SegmentHold* hold);

// Gives up the hold as DetachSegment does but leaves the view mapped: for a
// process that is ending while its threads may still use the view.
void ReleaseSegmentKeepingView(const char* name, SegmentHold* hold);

// True while the object at the name is still this hold's segment and some
// program holds it. Creates nothing and takes no lock; for observers, which
// must notice that the last program has gone.
bool SegmentStillLive(const char* name, const SegmentHold& hold);

// In a forked child: forgets the parent's hold without releasing it. The
// mapping is not inherited (MADV_DONTFORK) and the descriptor was closed as
// the child started.
void AbandonSegment(SegmentHold* hold);

// While one exists, no other thread of the process attaches or detaches,
// and fork waits: a child never starts in the middle of what it guards.
// Scopes nest; the library holds one over each whole Open and Close, so a
// child never sees the library's own state half changed either.
class SegmentProtocolScope {
 public:
  SegmentProtocolScope();
  ~SegmentProtocolScope();
  SegmentProtocolScope(const SegmentProtocolScope&) = delete;
  SegmentProtocolScope& operator=(const SegmentProtocolScope&) = delete;
};

// A one-line human-readable account of a failure, for logs and messages.
void DescribeSegmentFailure(const SegmentResult& result, uint64_t min_size, char* buffer,
                            size_t buffer_size);

}  // namespace kelto

#endif  // KELTO_TABLE_UNIX_NAMED_SEGMENT_H_
