// The item layout of the segment and the type letters that size its values.
#ifndef KELTO_TABLE_VAR_ITEM_H_
#define KELTO_TABLE_VAR_ITEM_H_

#include <cstdint>

#include "kelto.h"

namespace kelto {

using VarItem = KeltoVarItem;

inline constexpr uint32_t kItemSize = KELTO_ITEM_SIZE;
inline constexpr uint32_t kNameSize = KELTO_NAME_SIZE;
inline constexpr uint32_t kValueSize = KELTO_VALUE_SIZE;
inline constexpr char kStringType = '$';
// A string holds at most this many characters; byte 63 is its terminator.
inline constexpr int32_t kStringCapacity = 63;

static_assert(offsetof(VarItem, value) % 8 == 0 && kItemSize % 8 == 0,
              "every value must be 8-byte aligned for single-access loads and stores");

// Value size of a type letter; 0 for anything not in the table, including
// lower case and every byte of 0x80 and above.
constexpr int32_t SizeOfTypeLetter(char letter) {
  switch (letter) {
    case '$': return 63;
    case 'B':
    case 'H':
    case 'O': return 1;
    case 'M':
    case 'W': return 2;
    case 'L': return 4;
    case 'D': return 8;
    default: return 0;
  }
}

// A variable as this process's own definitions give it: its copies follow
// this, never the type and size in shared memory, which another program or a
// raw-view writer may change at any moment.
struct ItemShape {
  char type;
  uint8_t size;
};
static_assert(sizeof(ItemShape) == 2, "one compact entry per ident");

constexpr ItemShape ShapeOfTypeLetter(char letter) {
  return ItemShape{letter, static_cast<uint8_t>(SizeOfTypeLetter(letter))};
}

inline VarItem* ItemAt(char* view, uint32_t ident) {
  return reinterpret_cast<VarItem*>(view + static_cast<uint64_t>(ident) * kItemSize);
}

}  // namespace kelto

#endif  // KELTO_TABLE_VAR_ITEM_H_
