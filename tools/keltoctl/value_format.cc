#include "keltoctl/value_format.h"

#include <cstring>

namespace keltoctl {

using kelto::live::Syntax;

ValueKind KindOfType(char type) { return kelto::live::KindOfType(type); }

std::string EscapeText(std::string_view bytes) { return kelto::live::EscapeText(bytes); }

std::string FormatDouble(double value) { return kelto::live::FormatDouble(value); }

std::string FormatValue(const ItemSnapshot& item) {
  return kelto::live::FormatValue(item.type, item.value, Syntax::kText);
}

std::string JsonString(std::string_view bytes) { return kelto::live::JsonString(bytes); }

std::string JsonValue(const ItemSnapshot& item) {
  return kelto::live::FormatValue(item.type, item.value, Syntax::kJson);
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
  const std::string raw = kelto::live::FormatValue(item.type, item.value, Syntax::kRaw);
  return KindOfType(item.type) == ValueKind::kText ? CsvField(raw) : raw;
}

}  // namespace keltoctl
