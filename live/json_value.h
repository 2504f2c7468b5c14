// A value written as JSON, turned into the plain text that the value parser
// takes, so that JSON input follows exactly the same rules as text input.
#ifndef KELTO_LIVE_JSON_VALUE_H_
#define KELTO_LIVE_JSON_VALUE_H_

#include <string>
#include <string_view>

#include "live/value_codec.h"

namespace kelto::live {

// `json` must be one JSON value: a string for kText (each character as its
// UTF-8, each lone surrogate U+DC80..U+DCFF as the byte 0x80..0xFF, as
// JsonString writes them), a number for the
// others, or for kDouble also "inf", "-inf" or "nan" as a string. False with
// a reason otherwise.
bool JsonToPlainText(std::string_view json, ValueKind kind, std::string* plain,
                     std::string* reason);

}  // namespace kelto::live

#endif  // KELTO_LIVE_JSON_VALUE_H_
