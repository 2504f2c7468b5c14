// Turning the VALUE of `keltoctl set` into the bytes of an item's value.
#ifndef KELTOCTL_VALUE_PARSE_H_
#define KELTOCTL_VALUE_PARSE_H_

#include <string>
#include <string_view>

#include "live/value_codec.h"
#include "table/var_item.h"

namespace keltoctl {

// Undoes EscapeText: \\ \n \t \r and \xHH (two hex digits, not \x00, which
// would end the text). False with a reason for anything else after '\'.
bool UnescapeText(std::string_view text, std::string* bytes, std::string* reason);

// Parses `text` for an item of type letter `type` into `value` (zero-filled
// first). Text for `$`: at most 63 bytes, never cut. Integers: decimal with
// an optional sign, or 0x followed by hex digits; B H O take 0 to 255, M W 0
// to 65535, L -2147483648 to 2147483647. D: a decimal or exponent form,
// "inf", "-inf" or "nan"; a number too large for a double is refused.
// False with a one-line reason when the text does not parse or fit.
bool ParseValue(char type, std::string_view text, char (&value)[kelto::kValueSize],
                std::string* reason);

}  // namespace keltoctl

#endif  // KELTOCTL_VALUE_PARSE_H_
