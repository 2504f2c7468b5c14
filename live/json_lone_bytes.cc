#include "live/json_lone_bytes.h"

#include "live/hex_digit.h"

namespace kelto::live {
namespace {

// The UTF-16 unit of the four hex digits at the start of `digits`; -1 when
// there are not four.
int EscapedUnit(std::string_view digits) {
  if (digits.size() < 4) return -1;
  int unit = 0;
  for (size_t i = 0; i < 4; ++i) {
    const int digit = HexDigit(digits[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

bool IsHighSurrogate(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLoneByteUnit(int unit) { return unit >= 0xDC80 && unit <= 0xDCFF; }

}  // namespace

std::string MarkLoneBytes(std::string_view json) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string marked;
  marked.reserve(json.size());
  bool after_high_surrogate = false;
  // Outside strings a backslash is never valid JSON, so escapes can be
  // found without tracking quotes: each '\' and the character after it
  // are one escape.
  for (size_t i = 0; i < json.size(); ++i) {
    if (json[i] != '\\' || i + 1 == json.size()) {
      marked += json[i];
      after_high_surrogate = false;
      continue;
    }
    const int unit = json[i + 1] == 'u' ? EscapedUnit(json.substr(i + 2)) : -1;
    if (unit < 0) {
      marked.append(json.substr(i, 2));
      ++i;
      after_high_surrogate = false;
      continue;
    }
    if (unit == 0) {
      marked += "\\u0000\\u0000";
    } else if (IsLoneByteUnit(unit) && !after_high_surrogate) {
      marked += "\\u0000\\u00";
      marked += kHex[(unit >> 4) & 0xF];
      marked += kHex[unit & 0xF];
    } else {
      marked.append(json.substr(i, 6));
    }
    after_high_surrogate = IsHighSurrogate(unit);
    i += 5;
  }
  return marked;
}

std::string BytesFromMarked(std::string_view decoded) {
  std::string bytes;
  bytes.reserve(decoded.size());
  for (size_t i = 0; i < decoded.size(); ++i) {
    if (decoded[i] != '\0' || i + 1 == decoded.size()) {
      bytes += decoded[i];
      continue;
    }
    const auto lead = static_cast<unsigned char>(decoded[i + 1]);
    if (lead == 0) {  // a NUL of the text itself
      bytes += '\0';
      ++i;
    } else if ((lead == 0xC2 || lead == 0xC3) && i + 2 < decoded.size()) {
      const auto next = static_cast<unsigned char>(decoded[i + 2]);
      bytes += static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F));
      i += 2;
    } else {
      bytes += '\0';  // never written by MarkLoneBytes: left as it came
    }
  }
  return bytes;
}

}  // namespace kelto::live
