#include "table/store_value.h"

namespace kelto::store_value_internal {

int32_t StoreAnyByIdentAndMark(VarItem& item, char type, uint8_t size, const char* source,
                               void* change_log, uint32_t ident) {
  WriteValueByIdent(item, ItemShape{type, size}, source);
  return MarkChange(change_log, ident);
}

int32_t StoreAnyByNameAndMark(VarItem& item, char type, uint8_t size, const char* source,
                              void* change_log, uint32_t ident) {
  WriteValueByName(item, ItemShape{type, size}, source);
  return MarkChange(change_log, ident);
}

}  // namespace kelto::store_value_internal
