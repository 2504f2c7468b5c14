#include "table/value_copy.h"

#include <cstring>

namespace kelto {
namespace {

constexpr int kWords = kValueSize / sizeof(uint64_t);

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

bool IsString(const VarItem& item) { return item.type == kStringType; }

void LoadField(const VarItem& item, char (&buffer)[kValueSize]) {
  for (int i = 0; i < kWords; ++i) LoadWord<uint64_t>(item.value + 8 * i, buffer + 8 * i);
}

void StoreField(VarItem& item, const char (&buffer)[kValueSize]) {
  for (int i = 0; i < kWords; ++i) StoreWord<uint64_t>(item.value + 8 * i, buffer + 8 * i);
}

void StoreBytes(VarItem& item, const char* source, size_t count) {
  for (size_t i = 0; i < count; ++i) __atomic_store_n(&item.value[i], source[i], __ATOMIC_RELAXED);
}

void LoadPlain(const VarItem& item, int32_t size, char* destination) {
  switch (size) {
    case 1: return LoadWord<uint8_t>(item.value, destination);
    case 2: return LoadWord<uint16_t>(item.value, destination);
    case 4: return LoadWord<uint32_t>(item.value, destination);
    case 8: return LoadWord<uint64_t>(item.value, destination);
    default: {
      char buffer[kValueSize];
      LoadField(item, buffer);
      std::memcpy(destination, buffer, static_cast<size_t>(size));
    }
  }
}

void StorePlain(VarItem& item, int32_t size, const char* source) {
  switch (size) {
    case 1: return StoreWord<uint8_t>(item.value, source);
    case 2: return StoreWord<uint16_t>(item.value, source);
    case 4: return StoreWord<uint32_t>(item.value, source);
    case 8: return StoreWord<uint64_t>(item.value, source);
    default: StoreBytes(item, source, static_cast<size_t>(size));
  }
}

}  // namespace

int32_t ValueSize(const VarItem& item) {
  const int32_t size = __atomic_load_n(&item.size, __ATOMIC_RELAXED);
  if (size < 0) return 0;
  return size > static_cast<int32_t>(kValueSize) ? static_cast<int32_t>(kValueSize) : size;
}

void ReadValue(const VarItem& item, char* destination) {
  if (!IsString(item)) return LoadPlain(item, ValueSize(item), destination);
  char buffer[kValueSize];
  LoadField(item, buffer);
  buffer[kValueSize - 1] = '\0';
  std::strncpy(destination, buffer, kValueSize);
}

void WriteValueByIdent(VarItem& item, const char* source) {
  if (!IsString(item)) return StorePlain(item, ValueSize(item), source);
  char buffer[kValueSize] = {};
  std::memcpy(buffer, source, strnlen(source, kValueSize));
  buffer[kValueSize - 1] = '\0';
  StoreField(item, buffer);
}

void WriteValueByName(VarItem& item, const char* source) {
  if (!IsString(item)) return StorePlain(item, ValueSize(item), source);
  const size_t capacity = static_cast<size_t>(
      ValueSize(item) < kStringCapacity ? ValueSize(item) : kStringCapacity);
  const size_t length = std::strlen(source);
  if (length > capacity) {
    StoreBytes(item, source, capacity);
    __atomic_store_n(&item.value[kValueSize - 1], '\0', __ATOMIC_RELAXED);
  } else {
    StoreBytes(item, source, length + 1);
  }
}

}  // namespace kelto
