// Reason lines of a refused segment that every platform words the same way.
#ifndef KELTO_TABLE_SEGMENT_REASONS_H_
#define KELTO_TABLE_SEGMENT_REASONS_H_

#include <cstddef>
#include <cstdint>

namespace kelto {

// An existing segment of `actual_size` bytes where `needed_size` are needed.
void DescribeTooSmallSegment(uint64_t actual_size, uint64_t needed_size, char* buffer,
                             size_t buffer_size);

}  // namespace kelto

#endif  // KELTO_TABLE_SEGMENT_REASONS_H_
