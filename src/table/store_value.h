// The one way a value reaches the table: stored, then marked in the change
// log. Every write of every exported family and of the live API ends here,
// so no write can be seen by readers and missed by waiters.
#ifndef KELTO_TABLE_STORE_VALUE_H_
#define KELTO_TABLE_STORE_VALUE_H_

#include <cstdint>

#include "changes/change_marks.h"
#include "table/value_copy.h"
#include "table/var_item.h"

namespace kelto {

// How a string source is taken (see WriteValueByIdent and WriteValueByName).
enum class StoreRule { kByIdent, kByName };

namespace store_value_internal {

// Out of line: strings and values of odd sizes, then the mark. The shape
// comes as its two bytes, which the caller has in registers already, and
// the rule is in the name: with six arguments, all in registers, the call
// stays a tail call.
int32_t StoreAnyByIdentAndMark(VarItem& item, char type, uint8_t size, const char* source,
                               void* change_log, uint32_t ident);
int32_t StoreAnyByNameAndMark(VarItem& item, char type, uint8_t size, const char* source,
                              void* change_log, uint32_t ident);

}  // namespace store_value_internal

// Stores `source` into `item` (the variable `ident`) with the writer's shape
// of it, then marks `ident` in `change_log` (null: the table has none). The
// mark comes after the store, so a waiter woken by it reads the new value.
//
// Returns 0, for a write to end in `return StoreValue(...)`: every call in
// it is then a tail call, and the common case (a number, by a thread that
// has its lane) runs without a stack frame.
inline int32_t StoreValue(VarItem& item, ItemShape shape, StoreRule rule, const char* source,
                          void* change_log, uint32_t ident) {
  using value_copy_internal::StoreWord;
  if (__builtin_expect(shape.type != kStringType, 1)) {
    switch (shape.size) {
      case 1: StoreWord<uint8_t>(item.value, source); return MarkChange(change_log, ident);
      case 2: StoreWord<uint16_t>(item.value, source); return MarkChange(change_log, ident);
      case 4: StoreWord<uint32_t>(item.value, source); return MarkChange(change_log, ident);
      case 8: StoreWord<uint64_t>(item.value, source); return MarkChange(change_log, ident);
      default: break;
    }
  }
  if (rule == StoreRule::kByIdent) {
    return store_value_internal::StoreAnyByIdentAndMark(item, shape.type, shape.size, source,
                                                        change_log, ident);
  }
  return store_value_internal::StoreAnyByNameAndMark(item, shape.type, shape.size, source,
                                                     change_log, ident);
}

}  // namespace kelto

#endif  // KELTO_TABLE_STORE_VALUE_H_
