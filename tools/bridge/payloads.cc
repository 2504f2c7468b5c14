#include "bridge/payloads.h"

#include <nlohmann/json.hpp>

#include "bridge/topics.h"
#include "live/json_lone_bytes.h"

namespace kelto::bridge {
namespace {

using Json = nlohmann::json;

// Lone surrogates (bytes outside UTF-8, as the codec and Python's
// surrogateescape write them) are marked first, since nlohmann refuses them.
Json ParseJson(std::string_view text) {
  return Json::parse(kelto::live::MarkLoneBytes(text), nullptr, false);
}

// A string goes back to the codec in the codec's own JSON form, its lone
// bytes unmarked; anything else as nlohmann writes it.
std::string AsJsonText(const Json& value) {
  if (value.is_string()) {
    return JsonString(kelto::live::BytesFromMarked(value.get_ref<const std::string&>()));
  }
  return value.dump(-1, ' ', true, Json::error_handler_t::strict);
}

// Text that starts as a JSON object, array or string is meant as JSON: when
// it does not parse, it is a mistake, never text to store as it stands.
bool LooksLikeJson(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos &&
         (text[first] == '{' || text[first] == '[' || text[first] == '"');
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string JsonString(std::string_view bytes) {
  // At most six characters a byte (\udcXX), the quotes and the terminator:
  // a string of any length is written whole, never cut to one that fits.
  std::string buffer(bytes.size() * 6 + 3, '\0');
  if (kelto_live_escape(bytes.data(), bytes.size(), KELTO_LIVE_JSON, buffer.data(),
                        buffer.size()) != KELTO_LIVE_OK) {
    return "\"\"";
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
}

std::string ValuePayload(std::string_view json_value, int64_t ts_ms, uint64_t seq,
                         std::string_view run) {
  std::string payload;
  payload.reserve(json_value.size() + 96);
  payload.append("{\"v\":").append(json_value);
  payload.append(",\"ts\":").append(std::to_string(ts_ms));
  payload.append(",\"seq\":").append(std::to_string(seq));
  payload.append(",\"run\":").append(JsonString(run)).append("}");
  return payload;
}

std::optional<ReceivedValue> ParseValuePayload(std::string_view payload) {
  if (payload.size() > kMaxPayloadBytes) return std::nullopt;
  const Json message = ParseJson(payload);
  if (!message.is_object()) return std::nullopt;
  const auto value = message.find("v");
  const auto seq = message.find("seq");
  const auto run = message.find("run");
  if (value == message.end() || seq == message.end() || !seq->is_number_unsigned() ||
      (run != message.end() && !run->is_string())) {
    return std::nullopt;
  }
  try {
    return ReceivedValue{AsJsonText(*value), seq->get<uint64_t>(),
                         run == message.end() ? std::string() : run->get<std::string>()};
  } catch (const Json::exception&) {
    return std::nullopt;
  }
}

std::optional<SetRequest> ParseSetRequest(std::string_view payload, std::string* reason) {
  if (payload.size() > kMaxPayloadBytes) {
    *reason = "request of " + std::to_string(payload.size()) + " bytes is larger than " +
              std::to_string(kMaxPayloadBytes);
    return std::nullopt;
  }
  if (payload.find('\0') != std::string_view::npos) {
    *reason = "request holds a NUL byte";
    return std::nullopt;
  }
  const Json message = ParseJson(payload);
  if (message.is_discarded()) {
    if (LooksLikeJson(payload)) {
      *reason = "request is not valid JSON";
      return std::nullopt;
    }
    return SetRequest{std::string(payload), KELTO_LIVE_TEXT};
  }
  // A bare number goes to the codec as written: read back and written
  // again it would lose the sign of -0 (an integer here).
  if (message.is_number()) return SetRequest{std::string(Trimmed(payload)), KELTO_LIVE_JSON};
  try {
    if (message.is_object()) {
      const auto value = message.find("v");
      if (value == message.end()) {
        *reason = "request object has no \"v\"";
        return std::nullopt;
      }
      return SetRequest{AsJsonText(*value), KELTO_LIVE_JSON};
    }
    return SetRequest{AsJsonText(message), KELTO_LIVE_JSON};
  } catch (const Json::exception&) {
    *reason = "request is not valid JSON";
    return std::nullopt;
  }
}

std::string BirthPayload(std::string_view node, std::string_view segment, std::string_view run,
                         const std::vector<BirthEntry>& entries) {
  std::string payload = "{\"node\":" + JsonString(node) + ",\"segment\":" + JsonString(segment) +
                        ",\"run\":" + JsonString(run) + ",\"variables\":[";
  bool first = true;
  for (const BirthEntry& entry : entries) {
    if (!first) payload.push_back(',');
    first = false;
    payload.append("{\"name\":").append(JsonString(entry.name));
    payload.append(",\"topic\":").append(JsonString(EscapeLevel(entry.name)));
    payload.append(",\"type\":").append(JsonString(std::string_view(&entry.type, 1)));
    payload.append(",\"size\":").append(std::to_string(entry.size));
    payload.append(",\"settable\":").append(entry.settable ? "true" : "false").append("}");
  }
  payload.append("]}");
  return payload;
}

std::string ErrorPayload(std::string_view reason) {
  return "{\"error\":" + JsonString(reason) + "}";
}

}  // namespace kelto::bridge
