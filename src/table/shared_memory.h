// The process's view of the shared segment.
#ifndef KELTO_TABLE_SHARED_MEMORY_H_
#define KELTO_TABLE_SHARED_MEMORY_H_

#include <cstdint>

#include "table/named_segment.h"

namespace kelto {

// Creates or attaches to the named segment on construction and gives up the
// hold on destruction. Never throws and never logs: the outcome is GetError()
// and, for the log, Describe().
class SharedMemory {
 public:
  static constexpr int32_t kNoView = 2;

  // `check` writes and checks the items under the segment's gate (see
  // SegmentItemsCheck); without it the items are left as they are.
  SharedMemory(uint32_t size, const char* name, const SegmentItemsCheck& check = {});
  virtual ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  char* GetPointer() const { return hold_.view; }
  // The mapped change log beside the segment, or null.
  char* ChangeLog() const { return hold_.changes; }
  // The size this process asked for, not the real size of an older segment.
  uint32_t GetSize() const { return size_; }
  // 0 when the view exists, kNoView otherwise.
  int32_t GetError() const { return hold_.view != nullptr ? 0 : kNoView; }
  // Items reachable through this view: 0 when there is no view.
  uint32_t ItemCount() const;
  // Why there is no view, as one line of text.
  void Describe(char* buffer, unsigned buffer_size) const;
  // In a forked child: forget the parent's hold without releasing it.
  void Abandon();
  // While the process ends: give up the hold but leave the view mapped for
  // threads that may still use it.
  void ReleaseKeepingView();

 private:
  char name_[256];
  uint32_t size_;
  SegmentHold hold_;
  SegmentResult result_;
};

}  // namespace kelto

#endif  // KELTO_TABLE_SHARED_MEMORY_H_
