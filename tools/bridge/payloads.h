// What the bridge puts into messages and takes out of them. Values are
// formatted and parsed by the live API's one codec; this file only wraps
// them in their small JSON envelopes.
#ifndef KELTO_TOOLS_BRIDGE_PAYLOADS_H_
#define KELTO_TOOLS_BRIDGE_PAYLOADS_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelto_live.h"

namespace kelto::bridge {

// Requests and values larger than this are refused unread: no value of the
// table needs a tenth of it, and parsing megabytes would stall the link.
inline constexpr size_t kMaxPayloadBytes = 4096;
// The largest birth a bridge sends or reads: about 10,000 variables of
// ordinary names. It is the largest legal message, and so what the bridge
// tells the broker it accepts (with room for the longest topic): the
// broker drops anything larger instead of passing it on to be read whole.
inline constexpr size_t kMaxBirthBytes = size_t{1} << 20;
inline constexpr size_t kMaxTopicBytes = 65535;
inline constexpr size_t kMaxPacketBytes = kMaxBirthBytes + kMaxTopicBytes + 1024;

// Bytes as a quoted JSON string, through the live API's escape.
std::string JsonString(std::string_view bytes);

// {"v":<json_value>,"ts":<ts_ms>,"seq":<seq>,"run":<run>}
std::string ValuePayload(std::string_view json_value, int64_t ts_ms, uint64_t seq,
                         std::string_view run);

struct ReceivedValue {
  std::string json_value;  // the "v" member, as JSON text for kelto_live_set
  uint64_t seq = 0;
  std::string run;  // "" from a bridge that names no runs
};
// nullopt for anything but an object with "v" and an unsigned "seq" (and a
// "run", if any, that is a string).
std::optional<ReceivedValue> ParseValuePayload(std::string_view payload);

struct SetRequest {
  std::string text;
  kelto_live_syntax syntax = KELTO_LIVE_JSON;
};
// {"v": <value>}, a bare JSON value, or the bare text that keltoctl set
// takes. Something that starts like a JSON object or array but does not
// parse is refused, never taken for text. nullopt with a reason.
std::optional<SetRequest> ParseSetRequest(std::string_view payload, std::string* reason);

struct BirthEntry {
  std::string name;
  char type = 0;
  int32_t size = 0;
  bool settable = false;
};
// {"node":..,"segment":..,"run":..,"variables":[{"name":..,"topic":..,
// "type":..,"size":..,"settable":..},..]}; "topic" is the name's topic level.
std::string BirthPayload(std::string_view node, std::string_view segment, std::string_view run,
                         const std::vector<BirthEntry>& entries);
struct ReceivedBirth {
  std::string run;                    // "" from a bridge that names no runs
  std::map<std::string, char> types;  // topic level to type letter
};
// nullopt when the payload is not a birth (birth_reader.cc).
std::optional<ReceivedBirth> ParseBirth(std::string_view payload);

// {"error":<reason>}
std::string ErrorPayload(std::string_view reason);

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_PAYLOADS_H_
