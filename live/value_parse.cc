#include <charconv>
#include <cstdint>
#include <cstring>

#include "live/hex_digit.h"
#include "live/json_value.h"
#include "live/value_codec.h"

namespace kelto::live {
namespace {

// Reads an integer of at most 64 bits, keeping the sign apart so that the
// range check sees the real value. No blanks, no trailing characters.
bool ParseInteger(std::string_view text, bool* negative, uint64_t* magnitude) {
  *negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    *negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // from_chars would take a second sign; digits only from here on.
  if (text.empty() || HexDigit(text[0]) < 0) return false;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), *magnitude, base);
  if (error == std::errc::result_out_of_range) {
    *magnitude = UINT64_MAX;
    return end == text.data() + text.size();
  }
  return error == std::errc() && end == text.data() + text.size();
}

// The range check and encoding of every integer type, whether the number
// came as text or as a number: one set of ranges and refusals.
bool StoreUnsigned(int32_t size, bool negative, uint64_t magnitude, ValueField& value,
                   std::string* reason) {
  const uint64_t maximum = size == 1 ? UINT8_MAX : UINT16_MAX;
  if ((negative && magnitude != 0) || magnitude > maximum) {
    *reason = "out of range 0 to " + std::to_string(maximum);
    return false;
  }
  if (size == 1) {
    const auto number = static_cast<uint8_t>(magnitude);
    std::memcpy(value, &number, sizeof number);
  } else {
    const auto number = static_cast<uint16_t>(magnitude);
    std::memcpy(value, &number, sizeof number);
  }
  return true;
}

bool StoreSigned32(bool negative, uint64_t magnitude, ValueField& value, std::string* reason) {
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  if (magnitude > limit) {
    *reason = "out of range -2147483648 to 2147483647";
    return false;
  }
  const int64_t signed_value =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  const auto number = static_cast<int32_t>(signed_value);
  std::memcpy(value, &number, sizeof number);
  return true;
}

bool ParseUnsigned(std::string_view text, int32_t size, ValueField& value, std::string* reason) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!ParseInteger(text, &negative, &magnitude)) {
    *reason = "not a whole number";
    return false;
  }
  return StoreUnsigned(size, negative, magnitude, value, reason);
}

bool ParseSigned32(std::string_view text, ValueField& value, std::string* reason) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!ParseInteger(text, &negative, &magnitude)) {
    *reason = "not a whole number";
    return false;
  }
  return StoreSigned32(negative, magnitude, value, reason);
}

bool ParseDouble(std::string_view text, ValueField& value, std::string* reason) {
  // from_chars refuses a leading '+', which people type.
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') {
    text.remove_prefix(1);
  }
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error == std::errc::result_out_of_range) {
    *reason = "out of the range of a double";
    return false;
  }
  if (error != std::errc() || end != text.data() + text.size()) {
    *reason = "not a number";
    return false;
  }
  std::memcpy(value, &number, sizeof number);
  return true;
}

bool ParseText(std::string_view text, ValueField& value, std::string* reason) {
  if (text.size() > static_cast<size_t>(kStringCapacity)) {
    *reason = "text of " + std::to_string(text.size()) + " bytes is longer than " +
              std::to_string(kStringCapacity);
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    *reason = "text holds a NUL byte";
    return false;
  }
  // An empty text may come as a null pointer, which memcpy must not get.
  if (!text.empty()) std::memcpy(value, text.data(), text.size());
  return true;
}

}  // namespace

bool UnescapeText(std::string_view text, std::string* bytes, std::string* reason) {
  bytes->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *bytes += text[i];
      continue;
    }
    if (++i == text.size()) {
      *reason = "text ends in a lone backslash";
      return false;
    }
    switch (text[i]) {
      case '\\': *bytes += '\\'; break;
      case 'n': *bytes += '\n'; break;
      case 't': *bytes += '\t'; break;
      case 'r': *bytes += '\r'; break;
      case 'x': {
        const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
          *reason = "\\x needs two hex digits";
          return false;
        }
        if (high == 0 && low == 0) {
          *reason = "\\x00 would end the text";
          return false;
        }
        *bytes += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: *reason = "unknown escape \\" + EscapeText(text.substr(i, 1)); return false;
    }
  }
  return true;
}

namespace {

bool ParseTyped(char type, std::string_view text, ValueField& value, std::string* reason) {
  switch (KindOfType(type)) {
    case ValueKind::kText: return ParseText(text, value, reason);
    case ValueKind::kUnsigned: return ParseUnsigned(text, SizeOfTypeLetter(type), value, reason);
    case ValueKind::kSigned32: return ParseSigned32(text, value, reason);
    case ValueKind::kDouble: return ParseDouble(text, value, reason);
    case ValueKind::kNone: break;
  }
  return false;
}

}  // namespace

ParseOutcome EncodeInteger(char type, int64_t number, ValueField& value, std::string* reason) {
  std::memset(value, 0, sizeof value);
  const bool negative = number < 0;
  // The magnitude of INT64_MIN, too, without overflow.
  const uint64_t magnitude =
      negative ? ~static_cast<uint64_t>(number) + 1 : static_cast<uint64_t>(number);
  switch (KindOfType(type)) {
    case ValueKind::kUnsigned:
      return StoreUnsigned(SizeOfTypeLetter(type), negative, magnitude, value, reason)
                 ? ParseOutcome::kOk
                 : ParseOutcome::kBadValue;
    case ValueKind::kSigned32:
      return StoreSigned32(negative, magnitude, value, reason) ? ParseOutcome::kOk
                                                               : ParseOutcome::kBadValue;
    default: *reason = "not an integer type"; return ParseOutcome::kNoValue;
  }
}

ParseOutcome ParseValue(char type, std::string_view text, Syntax syntax, ValueField& value,
                        std::string* reason) {
  std::memset(value, 0, sizeof value);
  const ValueKind kind = KindOfType(type);
  if (kind == ValueKind::kNone) {
    *reason = "its type holds no value";
    return ParseOutcome::kNoValue;
  }
  // Every syntax comes down to the text that the plain rules parse, so the
  // ranges and refusals are the same whichever way a value arrives.
  std::string plain;
  if (syntax == Syntax::kJson) {
    if (!JsonToPlainText(text, kind, &plain, reason)) return ParseOutcome::kBadValue;
    text = plain;
  } else if (syntax == Syntax::kText && kind == ValueKind::kText) {
    if (!UnescapeText(text, &plain, reason)) return ParseOutcome::kBadValue;
    text = plain;
  }
  return ParseTyped(type, text, value, reason) ? ParseOutcome::kOk : ParseOutcome::kBadValue;
}

}  // namespace kelto::live
