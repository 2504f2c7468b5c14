// A named POSIX shared-memory segment whose content lives exactly as long as
// some process holds it, as a named mapping does on other systems. The
// protocol is described in named_segment.cc.
#ifndef KELTO_TABLE_UNIX_NAMED_SEGMENT_H_
#define KELTO_TABLE_UNIX_NAMED_SEGMENT_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kelto {

enum class SegmentFailure {
  kNone,
  kEmpty,        // a size of 0 was asked for
  kInvalidName,  // not usable as a shared-memory object name
  kLockFile,     // the companion lock file could not be opened
  kGateTimeout,  // another process held the gate too long
  kOpen,         // the segment exists but could not be opened
  kCreate,       // the segment could not be created
  kReserve,      // no room for the segment's memory
  kTooSmall,     // the existing segment is smaller than asked for
  kMap,          // mmap failed
  kNotHeld,      // attach-only: no process holds a segment of that name
};

enum class SegmentAttachMode {
  kCreateOrAttach,  // a process opening the table
  kAttachOnly,      // an observer: never creates, never resets
};

// One process's hold on the segment: the mapping and the descriptor whose
// read lock marks the hold.
struct SegmentHold {
  char* view = nullptr;
  size_t mapped_length = 0;  // the segment's real size
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

struct SegmentResult {
  SegmentFailure failure = SegmentFailure::kNone;
  int error_number = 0;      // errno of the failing call, if any
  uint64_t actual_size = 0;  // with kTooSmall: the existing segment's size
  char gate[272] = {};       // with kGateTimeout and kLockFile: the lock file's path
};

// Attaches to the segment `name` (without leading slash), creating it zeroed
// when nobody holds it. `min_size` is the size this process needs; a larger
// existing segment is accepted, a smaller one is refused. In kAttachOnly mode
// `min_size` may be 0 and the whole existing segment is mapped.
SegmentResult AttachSegment(const char* name, uint64_t min_size, SegmentAttachMode mode,
                            SegmentHold* hold);

// Unmaps and gives up the hold; the last holder removes the segment.
void DetachSegment(const char* name, SegmentHold* hold);

// In a forked child: forgets the parent's hold without releasing it. The
// mapping is not inherited (MADV_DONTFORK), so only the descriptor is closed.
void AbandonSegment(SegmentHold* hold);

// A one-line human-readable account of a failure, for logs and messages.
void DescribeSegmentFailure(const SegmentResult& result, uint64_t min_size, char* buffer,
                            size_t buffer_size);

}  // namespace kelto

#endif  // KELTO_TABLE_UNIX_NAMED_SEGMENT_H_
