#include "keltoctl/value_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace keltoctl {
namespace {

template <typename Number>
Number LoadNumber(const ItemSnapshot& item) {
  Number number;
  std::memcpy(&number, item.value, sizeof number);
  return number;
}

std::string ValueText(const ItemSnapshot& item) {
  return std::string(item.value, strnlen(item.value, sizeof item.value));
}

// Numbers share their text between the plain, JSON and CSV forms.
std::string FormatNumber(const ItemSnapshot& item) {
  switch (KindOfType(item.type)) {
    case ValueKind::kUnsigned:
      return kelto::SizeOfTypeLetter(item.type) == 1 ? std::to_string(LoadNumber<uint8_t>(item))
                                                     : std::to_string(LoadNumber<uint16_t>(item));
    case ValueKind::kSigned32: return std::to_string(LoadNumber<int32_t>(item));
    case ValueKind::kDouble: return FormatDouble(LoadNumber<double>(item));
    default: return {};
  }
}

}  // namespace

ValueKind KindOfType(char type) {
  switch (type) {
    case '$': return ValueKind::kText;
    case 'L': return ValueKind::kSigned32;
    case 'D': return ValueKind::kDouble;
    default: return kelto::SizeOfTypeLetter(type) == 0 ? ValueKind::kNone : ValueKind::kUnsigned;
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

std::string FormatValue(const ItemSnapshot& item) {
  const ValueKind kind = KindOfType(item.type);
  if (kind == ValueKind::kNone) return "-";
  if (kind == ValueKind::kText) return EscapeText(ValueText(item));
  return FormatNumber(item);
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

std::string JsonValue(const ItemSnapshot& item) {
  switch (KindOfType(item.type)) {
    case ValueKind::kNone: return "null";
    case ValueKind::kText: return JsonString(ValueText(item));
    case ValueKind::kDouble:
      if (!std::isfinite(LoadNumber<double>(item))) return "null";
      return FormatNumber(item);
    default: return FormatNumber(item);
  }
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string CsvValue(const ItemSnapshot& item) {
  switch (KindOfType(item.type)) {
    case ValueKind::kNone: return {};
    case ValueKind::kText: return CsvField(ValueText(item));
    default: return FormatNumber(item);
  }
}

}  // namespace keltoctl
