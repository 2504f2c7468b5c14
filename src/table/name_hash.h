// Hashing and comparing variable names, as every access by name does:
// short ASCII text, taken a word at a time, all inline.
#ifndef KELTO_TABLE_NAME_HASH_H_
#define KELTO_TABLE_NAME_HASH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelto {

// Every caller has checked the length first; gcc cannot always see that
// through strnlen and would warn of reads past a short buffer on paths that
// never run.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
inline uint64_t LoadWord(const char* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

inline uint32_t LoadHalfWord(const char* bytes) {
  uint32_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}
#pragma GCC diagnostic pop

// The 128-bit product folded to 64 bits: every bit of either factor reaches
// the low bits (the slot) and the high bits (the fingerprint) alike. On
// x86-64 one mulq gives both halves; gcc spills its __int128 to the stack
// when the hash is inlined into a busy function.
inline uint64_t FoldedProduct(uint64_t a, uint64_t b) {
#if defined(__x86_64__)
  uint64_t low = a;
  uint64_t high;
  __asm__("mulq %[b]" : "+a"(low), "=d"(high) : [b] "r"(b) : "cc");
  return low ^ high;
#else
  __extension__ typedef unsigned __int128 WideProduct;
  const WideProduct product = static_cast<WideProduct>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
#endif
}

// Every byte of these has its top bit set, so no word of ASCII text can
// cancel one and make a factor zero.
inline constexpr uint64_t kNameHashSeed = 0xE9A4C3F18BD297B5;
inline constexpr uint64_t kNameHashWord = 0xB7E1D58FA3C6F08D;

// One multiplication per 16 bytes and one to finish: a name of up to 16
// characters costs two loads and one multiplication. The first and last
// words overlap for lengths that are not multiples of 8, so no byte past
// `length` is ever read.
inline uint64_t HashName(const char* text, size_t length) {
  uint64_t state = kNameHashSeed ^ length;
  uint64_t first;
  uint64_t last;
  if (length > 16) {
    size_t done = 0;
    do {
      state =
          FoldedProduct(LoadWord(text + done) ^ kNameHashWord, LoadWord(text + done + 8) ^ state);
      done += 16;
    } while (length - done > 16);
    first = LoadWord(text + length - 16);
    last = LoadWord(text + length - 8);
  } else if (length >= 8) {
    first = LoadWord(text);
    last = LoadWord(text + length - 8);
  } else if (length >= 4) {
    first = LoadHalfWord(text);
    last = LoadHalfWord(text + length - 4);
  } else if (length > 0) {
    const auto byte = [&](size_t at) {
      return static_cast<uint64_t>(static_cast<uint8_t>(text[at]));
    };
    first = byte(0) << 16 | byte(length / 2) << 8 | byte(length - 1);
    last = 0;
  } else {
    first = 0;
    last = 0;
  }
  return FoldedProduct(first ^ kNameHashWord, last ^ state);
}

// Whether the `length` bytes at `a` and `b` are equal; both must be readable
// for `length` bytes. Inline and 16 bytes at a time with the same
// overlapping loads as HashName: names are short, a library call costs more
// than comparing them, and a loop that runs as often as the hash's lets the
// branch predictor carry the hash's exit over to this one.
inline bool SameBytes(const char* a, const char* b, size_t length) {
  const auto differ16 = [a, b](size_t at) {
    return ((LoadWord(a + at) ^ LoadWord(b + at)) |
            (LoadWord(a + at + 8) ^ LoadWord(b + at + 8))) != 0;
  };
  if (length > 16) {
    size_t done = 0;
    do {
      if (differ16(done)) return false;
      done += 16;
    } while (length - done > 16);
    return !differ16(length - 16);
  }
  if (length >= 8) {
    return ((LoadWord(a) ^ LoadWord(b)) | (LoadWord(a + length - 8) ^ LoadWord(b + length - 8))) ==
           0;
  }
  if (length >= 4) {
    return ((LoadHalfWord(a) ^ LoadHalfWord(b)) |
            (LoadHalfWord(a + length - 4) ^ LoadHalfWord(b + length - 4))) == 0;
  }
  for (size_t at = 0; at < length; ++at) {
    if (a[at] != b[at]) return false;
  }
  return true;
}

}  // namespace kelto

#endif  // KELTO_TABLE_NAME_HASH_H_
