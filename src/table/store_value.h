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

// Stores `source` into `item` (the variable `ident`) with the writer's shape
// of it, then marks `ident` in `change_log` (null: the table has none). The
// mark comes after the store, so a waiter woken by it reads the new value.
inline void StoreValue(VarItem& item, ItemShape shape, StoreRule rule, const char* source,
                       void* change_log, uint32_t ident) {
  if (rule == StoreRule::kByIdent) {
    WriteValueByIdent(item, shape, source);
  } else {
    WriteValueByName(item, shape, source);
  }
  MarkChange(change_log, ident);
}

}  // namespace kelto

#endif  // KELTO_TABLE_STORE_VALUE_H_
