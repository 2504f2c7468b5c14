// A named, paging-file-backed file mapping: the Windows kernel keeps its
// content exactly as long as some process holds a handle to it or a view of
// it, crashes included, so nothing is ever left behind to clean up. The
// interface is the one src/table/unix/named_segment.h gives the library.
#ifndef KELTO_TABLE_WINDOWS_NAMED_SEGMENT_H_
#define KELTO_TABLE_WINDOWS_NAMED_SEGMENT_H_

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kelto {

// In UTF-8 bytes; the kernel's limit on an object name is far above it.
inline constexpr size_t kMaxSegmentNameLength = 247;

enum class SegmentFailure {
  kNone,
  kEmpty,        // a size of 0 was asked for
  kInvalidName,  // not usable as a mapping name
  kGateTimeout,  // another process held the gate too long
  kCreate,       // the mapping could not be created or opened
  kTooSmall,     // the existing mapping is smaller than asked for
  kMap,          // MapViewOfFile failed
  kMismatch,     // the items check refused the live segment
};

enum class SegmentAttachMode {
  kCreateOrAttach,  // a program opening the table: keeps it alive
  kAttachOnly,      // an observer: never creates
};

// One hold on the segment: the view and the mapping's handle. There is no
// change log on Windows yet: `changes` stays null.
struct SegmentHold {
  char* view = nullptr;
  size_t mapped_length = 0;  // the view's real size
  void* mapping = nullptr;   // HANDLE
  char* changes = nullptr;
};

struct SegmentResult {
  SegmentFailure failure = SegmentFailure::kNone;
  unsigned long error_number = 0;  // GetLastError() of the failing call, if any
  uint64_t actual_size = 0;        // with kTooSmall: the existing mapping's size
  char detail[640] = {};           // with kMismatch: why, as text
};

// As on Linux: run under the gate once the view exists; false refuses the
// segment with a reason in `why`.
using SegmentItemsCheck =
    std::function<bool(char* view, uint64_t length, bool fresh, char* why, size_t why_size)>;

// Attaches to the mapping `name` (UTF-8; in the session's namespace unless
// it starts with Global\ or Local\), creating it zeroed at `min_size` bytes
// when no process holds it. A smaller existing mapping is refused.
SegmentResult AttachSegment(const char* name, uint64_t min_size, SegmentAttachMode mode,
                            SegmentHold* hold, const SegmentItemsCheck& check = {});

// Unmaps the view and closes the handle; the kernel frees the mapping with
// the last of them.
void DetachSegment(const char* name, SegmentHold* hold);

// Closes the handle but leaves the view mapped, for threads that may still
// use it while the process ends or the library is unloaded.
void ReleaseSegmentKeepingView(const char* name, SegmentHold* hold);

// Nothing to do: no process starts as a copy of another.
void AbandonSegment(SegmentHold* hold);

// While one exists, no other thread of the process attaches or detaches.
// Scopes nest.
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

#endif  // KELTO_TABLE_WINDOWS_NAMED_SEGMENT_H_
