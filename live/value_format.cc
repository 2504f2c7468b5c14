#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

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
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': escaped += "\\\\"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      case '\r': escaped += "\\r"; break;
      default:
        if (byte >= 0x20 && byte < 0x7f) {
          escaped += c;
        } else {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", byte);
          escaped += hex;
        }
    }
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
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte >= 0x20 && byte < 0x7f) {
      json += c;
    } else if (c == '\n') {
      json += "\\n";
    } else if (c == '\t') {
      json += "\\t";
    } else if (c == '\r') {
      json += "\\r";
    } else {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      json += escape;
    }
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
