#include "table/store_value.h"

namespace kelto::store_value_internal {

int32_t StoreAnyAndMark(VarItem& item, char type, uint8_t size, StoreRule rule, const char* source,
                        void* change_log, uint32_t ident) {
  const ItemShape shape{type, size};
  if (rule == StoreRule::kByIdent) {
    WriteValueByIdent(item, shape, source);
  } else {
    WriteValueByName(item, shape, source);
  }
  return MarkChange(change_log, ident);
}

}  // namespace kelto::store_value_internal
