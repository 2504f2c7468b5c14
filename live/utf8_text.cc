#include "live/utf8_text.h"

namespace kelto::live {
namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

struct Lead {
  size_t length;       // 0: not a lead byte
  char32_t bits;       // the lead's share of the code point
  unsigned char low;   // the range of the second byte, which rules out
  unsigned char high;  // overlong forms, surrogates and beyond U+10FFFF
};

Lead LeadOf(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2, byte & 0x1Fu, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0x0, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0xD, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, byte & 0x0Fu, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x0, 0x90, 0xBF};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, byte & 0x07u, 0x80, 0xBF};
  if (byte == 0xF4) return {4, 0x4, 0x80, 0x8F};
  return {0, 0, 0, 0};
}

}  // namespace

size_t Utf8CharacterAt(std::string_view bytes, size_t at, char32_t* code_point) {
  const auto first = static_cast<unsigned char>(bytes[at]);
  if (first < 0x80) {
    *code_point = first;
    return 1;
  }
  const Lead lead = LeadOf(first);
  if (lead.length == 0 || bytes.size() - at < lead.length) return 0;
  const auto second = static_cast<unsigned char>(bytes[at + 1]);
  if (second < lead.low || second > lead.high) return 0;
  char32_t value = lead.bits;
  for (size_t i = 1; i < lead.length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[at + i]);
    if (!IsContinuation(next)) return 0;
    value = (value << 6) | (next & 0x3Fu);
  }
  *code_point = value;
  return lead.length;
}

bool IsShownAsItself(char32_t code_point) {
  if (code_point < 0xA0) return code_point >= 0x20 && code_point < 0x7F;  // no C0, DEL, C1
  switch (code_point) {
    case 0x061C:  // Arabic letter mark
    case 0x200E:  // left-to-right and right-to-left marks
    case 0x200F:
    case 0x2028:  // line and paragraph separators
    case 0x2029: return false;
    default: break;
  }
  // Embeddings and overrides, then isolates.
  return !(code_point >= 0x202A && code_point <= 0x202E) &&
         !(code_point >= 0x2066 && code_point <= 0x2069);
}

}  // namespace kelto::live
