// The named segment as the library uses it, the same on every platform.
// What a hold and a failure hold is the platform's own: table/unix/ (a
// POSIX shared-memory object) and table/windows/ (a paging-file-backed
// file mapping).
#ifndef KELTO_TABLE_NAMED_SEGMENT_H_
#define KELTO_TABLE_NAMED_SEGMENT_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#if defined(_WIN32)
#include "table/windows/named_segment.h"
#else
#include "table/unix/named_segment.h"
#endif

namespace kelto {

enum class SegmentAttachMode {
  kCreateOrAttach,  // a program opening the table: keeps it alive
  kAttachOnly,      // an observer: never creates, never resets, never removes
};

// Run by a program's attach under the gate, once the segment is mapped, so
// that no other program ever sees the items half written: it writes this
// program's items where they are still blank and checks the others. It
// returns false to refuse the segment, with a reason in `why`. `fresh`: this
// attach made the segment a moment ago, so every byte of it is still zero.
using SegmentItemsCheck =
    std::function<bool(char* view, uint64_t length, bool fresh, char* why, size_t why_size)>;

// Attaches to the segment `name` (without leading slash; on Windows UTF-8,
// in the session's namespace unless it starts with Global\ or Local\). A program
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

// In a forked child: forgets the parent's hold without releasing it. The
// mapping is not inherited (MADV_DONTFORK) and the descriptor was closed as
// the child started. Nothing to do on Windows, where no process starts as
// a copy of another.
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

#endif  // KELTO_TABLE_NAMED_SEGMENT_H_
