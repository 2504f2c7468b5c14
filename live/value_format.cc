#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "live/utf8_text.h"
#include "live/value_codec.h"

namespace kelto::live {
namespace {

template <typename Number>
Number LoadNumber(const ValueField& value) {
  Number number;
  std::memcpy(&number, value, sizeof number);
  return number;
}

std::string_view ValueText(const ValueField& value) {
  return std::string_view(value, strnlen(value, sizeof value));
}

std::string FormatDoubleOf(const ValueField& value);

// Numbers share their text between the plain, JSON and raw forms.
std::string FormatNumber(char type, const ValueField& value) {
  switch (KindOfType(type)) {
    case ValueKind::kUnsigned:
      return SizeOfTypeLetter(type) == 1 ? std::to_string(LoadNumber<uint8_t>(value))
                                         : std::to_string(LoadNumber<uint16_t>(value));
    case ValueKind::kSigned32: return std::to_string(LoadNumber<int32_t>(value));
    case ValueKind::kDouble: return FormatDoubleOf(value);
    default: return {};
  }
}

std::string JsonValue(char type, const ValueField& value) {
  switch (KindOfType(type)) {
    case ValueKind::kNone: return "null";
    case ValueKind::kText: return JsonString(ValueText(value));
    case ValueKind::kDouble:
      if (!std::isfinite(LoadNumber<double>(value))) return "null";
      return FormatNumber(type, value);
    default: return FormatNumber(type, value);
  }
}

std::string FormatDoubleOf(const ValueField& value) {
  return FormatDouble(LoadNumber<double>(value));
}

void AppendHexByte(char byte, std::string* text) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(byte));
  *text += hex;
}

void AppendEscapedAscii(char c, std::string* text) {
  switch (c) {
    case '\\': *text += "\\\\"; break;
    case '\n': *text += "\\n"; break;
    case '\t': *text += "\\t"; break;
    case '\r': *text += "\\r"; break;
    default:
      if (c >= 0x20 && c < 0x7f) {
        *text += c;
      } else {
        AppendHexByte(c, text);
      }
  }
}

void AppendJsonUnit(char32_t unit, std::string* json) {
  char escape[7];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
  *json += escape;
}

void AppendJsonAscii(char c, std::string* json) {
  switch (c) {
    case '"': *json += "\\\""; break;
    case '\\': *json += "\\\\"; break;
    case '\n': *json += "\\n"; break;
    case '\t': *json += "\\t"; break;
    case '\r': *json += "\\r"; break;
    default:
      if (c >= 0x20 && c < 0x7f) {
        *json += c;
      } else {
        AppendJsonUnit(static_cast<unsigned char>(c), json);
      }
  }
}

}  // namespace

ValueKind KindOfType(char type) {
  switch (type) {
    case '$': return ValueKind::kText;
    case 'L': return ValueKind::kSigned32;
    case 'D': return ValueKind::kDouble;
    default: return SizeOfTypeLetter(type) == 0 ? ValueKind::kNone : ValueKind::kUnsigned;
  }
}

std::string EscapeText(std::string_view bytes) {
  std::string escaped;
  escaped.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    char32_t code_point = 0;
    const size_t length = Utf8CharacterAt(bytes, at, &code_point);
    const size_t step = std::max<size_t>(length, 1);
    if (length == 1) {
      AppendEscapedAscii(bytes[at], &escaped);
    } else if (length > 1 && IsShownAsItself(code_point)) {
      escaped.append(bytes.substr(at, length));
    } else {
      // A byte outside UTF-8, or every byte of a character that is not
      // shown as itself: \xHH reads back as exactly these bytes.
      for (size_t i = 0; i < step; ++i) AppendHexByte(bytes[at + i], &escaped);
    }
    at += step;
  }
  return escaped;
}

std::string FormatDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string JsonString(std::string_view bytes) {
  std::string json = "\"";
  for (size_t at = 0; at < bytes.size();) {
    char32_t code_point = 0;
    const size_t length = Utf8CharacterAt(bytes, at, &code_point);
    if (length == 0) {
      AppendJsonUnit(0xDC00 + static_cast<unsigned char>(bytes[at]), &json);  // a lone byte
      ++at;
      continue;
    }
    if (length == 1) {
      AppendJsonAscii(bytes[at], &json);
    } else if (IsShownAsItself(code_point)) {
      json.append(bytes.substr(at, length));
    } else {
      AppendJsonUnit(code_point, &json);  // all of them below U+10000
    }
    at += length;
  }
  json += '"';
  return json;
}

std::string EscapeBytes(std::string_view bytes, Syntax syntax) {
  switch (syntax) {
    case Syntax::kText: return EscapeText(bytes);
    case Syntax::kJson: return JsonString(bytes);
    default: return std::string(bytes);
  }
}

std::string FormatValue(char type, const ValueField& value, Syntax syntax) {
  const ValueKind kind = KindOfType(type);
  switch (syntax) {
    case Syntax::kJson: return JsonValue(type, value);
    case Syntax::kRaw:
      if (kind == ValueKind::kText) return std::string(ValueText(value));
      return FormatNumber(type, value);
    default:
      if (kind == ValueKind::kNone) return "-";
      if (kind == ValueKind::kText) return EscapeText(ValueText(value));
      return FormatNumber(type, value);
  }
}

}  // namespace kelto::live
