#include "live/json_value.h"

#include <nlohmann/json.hpp>

#include "live/json_lone_bytes.h"

namespace kelto::live {
namespace {

std::string_view TrimJsonBlanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

}  // namespace

bool JsonToPlainText(std::string_view json, ValueKind kind, std::string* plain,
                     std::string* reason) {
  const std::string marked = MarkLoneBytes(json);
  const nlohmann::json value = nlohmann::json::parse(marked, nullptr, false);
  if (value.is_discarded()) {
    *reason = "not a JSON value";
    return false;
  }
  if (kind == ValueKind::kText) {
    if (!value.is_string()) {
      *reason = "a JSON string is needed";
      return false;
    }
    // nlohmann gives the characters as UTF-8, which are the bytes; only
    // the marks of lone bytes are left to undo.
    *plain = BytesFromMarked(value.get_ref<const std::string&>());
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
