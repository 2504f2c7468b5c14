#include "table/segment_reasons.h"

#include <cstdio>

namespace kelto {

void DescribeTooSmallSegment(uint64_t actual_size, uint64_t needed_size, char* buffer,
                             size_t buffer_size) {
  std::snprintf(
      buffer, buffer_size, "existing segment has %llu bytes, fewer than the %llu bytes needed",
      static_cast<unsigned long long>(actual_size), static_cast<unsigned long long>(needed_size));
}

}  // namespace kelto
