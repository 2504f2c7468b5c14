#include "table/shared_memory.h"

#include <cstring>

#include "table/var_item.h"

namespace kelto {

SharedMemory::SharedMemory(uint32_t size, const char* name, const SegmentItemsCheck& check)
    : size_(size) {
  std::memset(name_, 0, sizeof name_);
  std::strncpy(name_, name, sizeof name_ - 1);
  result_ = AttachSegment(name_, size, SegmentAttachMode::kCreateOrAttach, &hold_, check);
}

SharedMemory::~SharedMemory() { DetachSegment(name_, &hold_); }

uint32_t SharedMemory::ItemCount() const { return hold_.view != nullptr ? size_ / kItemSize : 0; }

void SharedMemory::Describe(char* buffer, unsigned buffer_size) const {
  DescribeSegmentFailure(result_, size_, buffer, buffer_size);
}

void SharedMemory::Abandon() { AbandonSegment(&hold_); }

void SharedMemory::ReleaseKeepingView() { ReleaseSegmentKeepingView(name_, &hold_); }

}  // namespace kelto
