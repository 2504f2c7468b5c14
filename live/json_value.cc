#include "live/json_value.h"

#include <nlohmann/json.hpp>

namespace kelto::live {
namespace {

// Decodes UTF-8 into one byte per code point; false for a code point that
// does not fit a byte (nlohmann has already checked that the UTF-8 is valid).
bool Latin1FromUtf8(const std::string& utf8, std::string* bytes) {
  bytes->clear();
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      *bytes += static_cast<char>(lead);
      continue;
    }
    if ((lead & 0xE0) != 0xC0 || lead > 0xC3 || i + 1 == utf8.size()) return false;
    const auto next = static_cast<unsigned char>(utf8[++i]);
    *bytes += static_cast<char>(((lead & 0x03) << 6) | (next & 0x3F));
  }
  return true;
}

std::string_view TrimJsonBlanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool JsonToPlainText(std::string_view json, ValueKind kind, std::string* plain,
                     std::string* reason) {
  const nlohmann::json value = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (value.is_discarded()) {
    *reason = "not a JSON value";
    return false;
  }
  if (kind == ValueKind::kText) {
    if (!value.is_string()) {
      *reason = "a JSON string is needed";
      return false;
    }
    if (!Latin1FromUtf8(value.get_ref<const std::string&>(), plain)) {
      *reason = "text holds a character above U+00FF";
      return false;
    }
    return true;
  }
  if (value.is_number()) {
    // The number's own digits, not nlohmann's reading of them: the value
    // parser decides range and exactness as for any other text.
    *plain = std::string(TrimJsonBlanks(json));
    return true;
  }
  if (kind == ValueKind::kDouble && value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (text == "inf" || text == "-inf" || text == "nan") {
      *plain = text;
      return true;
    }
  }
  *reason = kind == ValueKind::kDouble ? "a JSON number, \"inf\", \"-inf\" or \"nan\" is needed"
                                       : "a JSON number is needed";
  return false;
}

}  // namespace kelto::live
