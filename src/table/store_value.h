// The one way a value reaches the table: stored, then marked in the change
// log. Every write of every exported family and of the live API ends here,
// so no write can be seen by readers and missed by waiters.
#ifndef KELTO_TABLE_STORE_VALUE_H_
#define KELTO_TABLE_STORE_VALUE_H_

#include <cstdint>

#include "changes/change_log.h"
#include "table/value_copy.h"
#include "table/var_item.h"

namespace kelto {

// How a string source is taken (see WriteValueByIdent and WriteValueByName).
enum class StoreRule { kByIdent, kByName };

namespace store_value_internal {

// Out of line: strings and values of odd sizes, then the mark.
int32_t StoreAnyAndMark(VarItem& item, ItemShape shape, StoreRule rule, const char* source,
                        void* change_log, uint32_t ident);

inline bool MovesAsOneWord(ItemShape shape) {
  return shape.type != kStringType &&
         (shape.size == 1 || shape.size == 2 || shape.size == 4 || shape.size == 8);
}

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
  if (__builtin_expect(!store_value_internal::MovesAsOneWord(shape), 0)) {
    return store_value_internal::StoreAnyAndMark(item, shape, rule, source, change_log, ident);
  }
  value_copy_internal::StorePlain(item, shape.size, source);
  return MarkChange(change_log, ident);
}

}  // namespace kelto

#endif  // KELTO_TABLE_STORE_VALUE_H_
