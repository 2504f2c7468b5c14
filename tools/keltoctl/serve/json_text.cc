#include "keltoctl/serve/json_text.h"

#include <cstring>
#include <nlohmann/json.hpp>

namespace keltoctl::serve {

std::string JsonEscape(const char* bytes, size_t length) {
  char buffer[KELTO_LIVE_TEXT_SIZE];
  if (kelto_live_escape(bytes, length, KELTO_LIVE_JSON, buffer, sizeof buffer) != KELTO_LIVE_OK) {
    return "\"\"";
  }
  return buffer;
}

std::string FormatJsonValue(kelto_live* table, uint32_t ident) {
  char buffer[KELTO_LIVE_TEXT_SIZE];
  if (kelto_live_format(table, ident, KELTO_LIVE_JSON, buffer, sizeof buffer) != KELTO_LIVE_OK) {
    return "null";
  }
  return buffer;
}

std::string VariableJson(kelto_live* table, uint32_t ident, kelto_live_result* result) {
  kelto_live_info info;
  *result = kelto_live_info_of(table, ident, &info);
  if (*result != KELTO_LIVE_OK) return "";
  char value[KELTO_LIVE_TEXT_SIZE];
  *result = kelto_live_format(table, ident, KELTO_LIVE_JSON, value, sizeof value);
  if (*result != KELTO_LIVE_OK) return "";
  return "{\"ident\": " + std::to_string(ident) +
         ", \"name\": " + JsonEscape(info.name, std::strlen(info.name)) +
         ", \"type\": " + JsonEscape(&info.type, 1) + ", \"size\": " + std::to_string(info.size) +
         ", \"value\": " + value + "}";
}

std::string ErrorJson(const std::string& reason) {
  // A reason may quote a value's bytes; those that are not UTF-8 are
  // replaced rather than failing the answer.
  return nlohmann::json{{"error", reason}}.dump(-1, ' ', false,
                                                nlohmann::json::error_handler_t::replace) +
         "\n";
}

}  // namespace keltoctl::serve
