// One item of the live table as read at one moment: other processes keep
// writing, so every output is made from a copy, never from the segment.
#ifndef KELTOCTL_ITEM_SNAPSHOT_H_
#define KELTOCTL_ITEM_SNAPSHOT_H_

#include <cstdint>
#include <string>

#include "table/var_item.h"

namespace keltoctl {

struct ItemSnapshot {
  uint32_t ident = 0;
  std::string name;  // raw bytes, without the terminator
  char type = 0;
  int32_t size = 0;
  // The value as the library reads it; bytes it did not read are zero.
  char value[kelto::kValueSize] = {};
};

}  // namespace keltoctl

#endif  // KELTOCTL_ITEM_SNAPSHOT_H_
