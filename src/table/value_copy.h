// Moving values between an item in the segment and a caller's buffer.
//
// Other processes read and write the same items at any moment, so values of
// 1, 2, 4 and 8 bytes move as one aligned atomic access each: no reader ever
// sees half of a write. Strings move word by word; a reader may see a string
// that is being rewritten, but every access stays inside the 64-byte field.
#ifndef KELTO_TABLE_VALUE_COPY_H_
#define KELTO_TABLE_VALUE_COPY_H_

#include "table/var_item.h"

namespace kelto {

// The item's value size, clamped to the value field: the size lives in
// shared memory, where any process with the raw view can write nonsense.
int32_t ValueSize(const VarItem& item);

// A string is copied as text: up to 64 bytes, zeros after the terminator,
// byte 63 forced to 0 (the destination needs 64 bytes). Other types move
// exactly their size.
void ReadValue(const VarItem& item, char* destination);

// By ident a string source is read up to 64 bytes (it needs no terminator
// within them) and the rest of the field is zeroed.
void WriteValueByIdent(VarItem& item, const char* source);

// By name a string source is measured whole; a text longer than the item's
// size is cut to it, a shorter one is copied with its terminator and the
// bytes after it are left as they were.
void WriteValueByName(VarItem& item, const char* source);

}  // namespace kelto

#endif  // KELTO_TABLE_VALUE_COPY_H_
