#include "table/value_copy.h"

#include <bit>
#include <cstring>
#include <utility>

namespace kelto::value_copy_internal {
namespace {

constexpr int kWords = kValueSize / sizeof(uint64_t);

void LoadField(const VarItem& item, char (&buffer)[kValueSize]) {
  for (int i = 0; i < kWords; ++i) LoadWord<uint64_t>(item.value + 8 * i, buffer + 8 * i);
}

void StoreBytes(VarItem& item, const char* source, size_t count) {
  for (size_t i = 0; i < count; ++i) __atomic_store_n(&item.value[i], source[i], __ATOMIC_RELAXED);
}

// The text of a string field, as strncpy of the field with byte 63 forced
// to 0 would give it, but a word at a time: each word is loaded once, and
// the bytes after the terminator are cleared with a mask instead of being
// scanned one by one.
void ReadTextByWords(const VarItem& item, char* destination) {
  constexpr uint64_t kLowBits = 0x0101010101010101u;
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  bool ended = false;
  for (int i = 0; i < kWords; ++i) {
    uint64_t word = 0;
    if (!ended) {
      word =
          __atomic_load_n(reinterpret_cast<const uint64_t*>(item.value + 8 * i), __ATOMIC_RELAXED);
      if (i == kWords - 1) word &= ~uint64_t{0} >> 8;  // byte 63 is always the end
      // The lowest flagged byte is the first zero byte of the word.
      const uint64_t zero_bytes = (word - kLowBits) & ~word & kHighBits;
      if (zero_bytes != 0) {
        const int kept_bits = std::countr_zero(zero_bytes) & ~7;
        word &= kept_bits == 0 ? 0 : ~uint64_t{0} >> (64 - kept_bits);
        ended = true;
      }
    }
    std::memcpy(destination + 8 * i, &word, sizeof word);
  }
}

// Bytes text[offset] to text[length - 1] (1 to 7 of them) as the low-order
// bytes of a word, without reading outside text[0] .. text[length - 1]:
// overlapping loads instead of a byte loop or a call to memcpy.
uint64_t LoadTextTail(const char* text, size_t offset, size_t length) {
  const size_t count = length - offset;
  if (length >= 8) {
    uint64_t word;
    std::memcpy(&word, text + length - 8, sizeof word);
    return word >> (8 * (8 - count));
  }
  // A text shorter than a word: offset is 0 and count is its length.
  if (count >= 4) {
    uint32_t low;
    uint32_t high;
    std::memcpy(&low, text, sizeof low);
    std::memcpy(&high, text + count - 4, sizeof high);
    return low | uint64_t{high} << (8 * (count - 4));
  }
  if (count >= 2) {
    uint16_t low;
    uint16_t high;
    std::memcpy(&low, text, sizeof low);
    std::memcpy(&high, text + count - 2, sizeof high);
    return low | uint64_t{high} << (8 * (count - 2));
  }
  return static_cast<unsigned char>(text[0]);
}

// Bytes offset .. offset + 7 of a text of `length` bytes followed by zeros.
uint64_t TextWord(const char* text, size_t offset, size_t length) {
  uint64_t word = 0;
  if (offset + sizeof word <= length) {
    std::memcpy(&word, text + offset, sizeof word);
  } else if (offset < length) {
    if constexpr (std::endian::native == std::endian::little) {
      word = LoadTextTail(text, offset, length);
    } else {
      std::memcpy(&word, text + offset, length - offset);
    }
  }
  return word;
}

// All words are computed before the first is stored: the stores then issue
// back to back, which measured markedly faster than a loop doing both.
template <size_t... Index>
void StoreText(VarItem& item, const char* text, size_t length, std::index_sequence<Index...>) {
  const uint64_t words[] = {TextWord(text, 8 * Index, length)...};
  (__atomic_store_n(reinterpret_cast<uint64_t*>(item.value + 8 * Index), words[Index],
                    __ATOMIC_RELAXED),
   ...);
}

}  // namespace

void LoadOtherSize(const VarItem& item, int32_t size, char* destination) {
  char buffer[kValueSize];
  LoadField(item, buffer);
  std::memcpy(destination, buffer, static_cast<size_t>(size));
}

void StoreOtherSize(VarItem& item, int32_t size, const char* source) {
  StoreBytes(item, source, static_cast<size_t>(size));
}

void ReadText(const VarItem& item, char* destination) {
  if constexpr (std::endian::native == std::endian::little) {
    ReadTextByWords(item, destination);
  } else {
    char buffer[kValueSize];
    LoadField(item, buffer);
    buffer[kValueSize - 1] = '\0';
    std::strncpy(destination, buffer, kValueSize);
  }
}

// The source is read no further than its terminator (or 63 bytes), and
// each word of the field is stored once, zeros after the text.
void WriteTextByIdent(VarItem& item, const char* source) {
  StoreText(item, source, strnlen(source, kValueSize - 1), std::make_index_sequence<kWords>());
}

void WriteTextByName(VarItem& item, int32_t size, const char* source) {
  const size_t capacity = static_cast<size_t>(size < kStringCapacity ? size : kStringCapacity);
  const size_t length = std::strlen(source);
  if (length > capacity) {
    StoreBytes(item, source, capacity);
    __atomic_store_n(&item.value[kValueSize - 1], '\0', __ATOMIC_RELAXED);
  } else {
    StoreBytes(item, source, length + 1);
  }
}

}  // namespace kelto::value_copy_internal
