// Moving values between an item in the segment and a caller's buffer.
//
// Other processes read and write the same items at any moment, so values of
// 1, 2, 4 and 8 bytes move as one aligned atomic access each: no reader ever
// sees half of a write. Strings move word by word; a reader may see a string
// that is being rewritten, but every access stays inside the 64-byte field.
#ifndef KELTO_TABLE_VALUE_COPY_H_
#define KELTO_TABLE_VALUE_COPY_H_

#include <cstring>

#include "table/var_item.h"

namespace kelto {
namespace value_copy_internal {

template <typename Word>
void LoadWord(const char* field, char* destination) {
  const Word word = __atomic_load_n(reinterpret_cast<const Word*>(field), __ATOMIC_RELAXED);
  std::memcpy(destination, &word, sizeof word);
}

template <typename Word>
void StoreWord(char* field, const char* source) {
  Word word;
  std::memcpy(&word, source, sizeof word);
  __atomic_store_n(reinterpret_cast<Word*>(field), word, __ATOMIC_RELAXED);
}

// Out of line: strings, and values of a size other than 1, 2, 4 or 8.
void ReadText(const VarItem& item, char* destination);
void WriteTextByIdent(VarItem& item, const char* source);
void WriteTextByName(VarItem& item, int32_t size, const char* source);
void LoadOtherSize(const VarItem& item, int32_t size, char* destination);
void StoreOtherSize(VarItem& item, int32_t size, const char* source);

}  // namespace value_copy_internal

// Every access ends in one of the copies below, so their common cases are
// inline: a number moves with one load and one store, without a call.

// The item's value size, clamped to the value field: the size lives in
// shared memory, where any process with the raw view can write nonsense.
inline int32_t ValueSize(const VarItem& item) {
  const int32_t size = __atomic_load_n(&item.size, __ATOMIC_RELAXED);
  if (size < 0) return 0;
  return size > static_cast<int32_t>(kValueSize) ? static_cast<int32_t>(kValueSize) : size;
}

// The shape the item itself claims, its size clamped to the value field:
// for tools that show a segment as it is, without definitions of their own.
inline ItemShape ShapeInSegment(const VarItem& item) {
  return ItemShape{item.type, static_cast<uint8_t>(ValueSize(item))};
}

// A string is copied as text: up to 64 bytes, zeros after the terminator,
// byte 63 forced to 0 (the destination needs 64 bytes). Other types move
// exactly their size. `shape` is the variable's, as the reader defines it.
inline void ReadValue(const VarItem& item, ItemShape shape, char* destination) {
  using namespace value_copy_internal;
  if (shape.type == kStringType) return ReadText(item, destination);
  const int32_t size = shape.size;
  switch (size) {
    case 1: return LoadWord<uint8_t>(item.value, destination);
    case 2: return LoadWord<uint16_t>(item.value, destination);
    case 4: return LoadWord<uint32_t>(item.value, destination);
    case 8: return LoadWord<uint64_t>(item.value, destination);
    default: return LoadOtherSize(item, size, destination);
  }
}

namespace value_copy_internal {

inline void StorePlain(VarItem& item, int32_t size, const char* source) {
  switch (size) {
    case 1: return StoreWord<uint8_t>(item.value, source);
    case 2: return StoreWord<uint16_t>(item.value, source);
    case 4: return StoreWord<uint32_t>(item.value, source);
    case 8: return StoreWord<uint64_t>(item.value, source);
    default: return StoreOtherSize(item, size, source);
  }
}

}  // namespace value_copy_internal

// By ident a string source is read up to 64 bytes (it needs no terminator
// within them) and the rest of the field is zeroed.
inline void WriteValueByIdent(VarItem& item, ItemShape shape, const char* source) {
  using namespace value_copy_internal;
  if (shape.type == kStringType) return WriteTextByIdent(item, source);
  StorePlain(item, shape.size, source);
}

// By name a string source is measured whole; a text longer than the item's
// size is cut to it, a shorter one is copied with its terminator and the
// bytes after it are left as they were.
inline void WriteValueByName(VarItem& item, ItemShape shape, const char* source) {
  using namespace value_copy_internal;
  if (shape.type == kStringType) return WriteTextByName(item, shape.size, source);
  StorePlain(item, shape.size, source);
}

// The same, by the shape the item claims (clamped to the field).
inline void ReadValue(const VarItem& item, char* destination) {
  ReadValue(item, ShapeInSegment(item), destination);
}
inline void WriteValueByName(VarItem& item, const char* source) {
  WriteValueByName(item, ShapeInSegment(item), source);
}

}  // namespace kelto

#endif  // KELTO_TABLE_VALUE_COPY_H_
