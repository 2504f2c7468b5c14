// The one codec of values and names: every client of the live table (the
// C API, keltoctl, bindings, servers) shows and parses values through it, so
// a value looks and reads the same everywhere.
#ifndef KELTO_LIVE_VALUE_CODEC_H_
#define KELTO_LIVE_VALUE_CODEC_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "table/var_item.h"

namespace kelto::live {

// A value field as read from an item: 64 bytes, zeros where nothing was read.
using ValueField = char[kValueSize];

// How a type letter's value is shown and parsed.
enum class ValueKind {
  kText,      // $
  kUnsigned,  // B H O (1 byte) and M W (2 bytes)
  kSigned32,  // L
  kDouble,    // D
  kNone,      // every letter of size 0: there is no value
};
ValueKind KindOfType(char type);

// The forms of the C API's kelto_live_syntax, in the same order.
enum class Syntax {
  kText,  // escaped for people, one line
  kJson,
  kRaw,  // text as it is
};

// Names and text values are bytes. Shown as text or JSON, the valid UTF-8
// in them appears as its characters and every byte outside valid UTF-8 as
// an escape of that one byte, so that every client (keltoctl, the web page,
// Python's surrogateescape, the bridge) shows the same characters for the
// same bytes and any bytes read back unchanged.

// Printable ASCII and the characters that IsShownAsItself (utf8_text.h)
// lets through stay as they are; backslash, newline, tab and carriage
// return become \\ \n \t \r; every other byte (a control, a byte outside
// valid UTF-8, each byte of a character not shown as itself) becomes \xHH.
// The result never holds a control character, so one value is always one
// line and one field.
std::string EscapeText(std::string_view bytes);

// A JSON string literal. Valid UTF-8 is written as its characters (raw
// UTF-8; controls and the characters not shown as themselves as \uXXXX);
// each byte outside valid UTF-8 as the lone surrogate U+DC80 + byte
// ("\udcb0" for 0xB0), as Python's surrogateescape reads it.
std::string JsonString(std::string_view bytes);

// `bytes` escaped in `syntax` (kRaw: unchanged).
std::string EscapeBytes(std::string_view bytes, Syntax syntax);

// The shortest decimal text that reads back as exactly the same double;
// "inf", "-inf" and "nan" for the values that have no decimal form.
std::string FormatDouble(double value);

// The text of a value stored as type letter `type`:
//  kText: escaped text, a decimal number, or "-" for no value;
//  kJson: a JSON string, number, or null (no value, a D that is not finite);
//  kRaw:  the text as it is, numbers as in kText, empty for no value.
std::string FormatValue(char type, const ValueField& value, Syntax syntax);

// Undoes EscapeText: \\ \n \t \r and \xHH (two hex digits, not \x00, which
// would end the text). False with a reason for anything else after '\'.
bool UnescapeText(std::string_view text, std::string* bytes, std::string* reason);

enum class ParseOutcome { kOk, kBadValue, kNoValue };

// Parses `text` in `syntax` for type letter `type` into `value` (zero-filled
// first). Text for `$`: at most 63 bytes, never cut, no NUL (kText decodes
// escapes first, kJson takes a JSON string: characters as their UTF-8,
// U+DC80..U+DCFF as the byte 0x80..0xFF). Integers: decimal with an
// optional sign, or 0x followed by hex digits (kJson: a whole JSON number);
// B H O take 0 to 255, M W 0 to 65535, L -2147483648 to 2147483647. D: a
// decimal or exponent form, "inf", "-inf" or "nan" (kJson: a number, or one
// of those three as a string); a number too large for a double is refused.
// kBadValue / kNoValue come with a one-line reason.
ParseOutcome ParseValue(char type, std::string_view text, Syntax syntax, ValueField& value,
                        std::string* reason);

// `number` for an integer type letter (B H O M W L), with exactly the ranges
// and refusals of ParseValue but no text in between. kNoValue for any other
// type.
ParseOutcome EncodeInteger(char type, int64_t number, ValueField& value, std::string* reason);

}  // namespace kelto::live

#endif  // KELTO_LIVE_VALUE_CODEC_H_
