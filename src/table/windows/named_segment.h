// A named, paging-file-backed file mapping: the Windows kernel keeps its
// content exactly as long as some process holds a handle to it or a view of
// it, crashes included, so nothing is ever left behind to clean up: what a
// hold and a failure are here. The interface is table/named_segment.h.
#ifndef KELTO_TABLE_WINDOWS_NAMED_SEGMENT_H_
#define KELTO_TABLE_WINDOWS_NAMED_SEGMENT_H_

#include <cstddef>
#include <cstdint>

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

}  // namespace kelto

#endif  // KELTO_TABLE_WINDOWS_NAMED_SEGMENT_H_
