// Values and names as text: for people (escaped), JSON and CSV. Everything
// but CSV is the live API's codec, so keltoctl shows values exactly as every
// other client of the live table does.
#ifndef KELTOCTL_VALUE_FORMAT_H_
#define KELTOCTL_VALUE_FORMAT_H_

#include <string>
#include <string_view>

#include "keltoctl/item_snapshot.h"
#include "live/value_codec.h"

namespace keltoctl {

using kelto::live::ValueKind;
ValueKind KindOfType(char type);

// Printable ASCII and valid UTF-8 characters stay as they are (controls and
// marks that reorder a line excepted); backslash, newline, tab and carriage
// return become \\ \n \t \r; every other byte becomes \xHH. The result
// never holds a control character, so one value is always one line and one
// field (see kelto::live::EscapeText).
std::string EscapeText(std::string_view bytes);

// The shortest decimal text that reads back as exactly the same double;
// "inf", "-inf" and "nan" for the values that have no decimal form.
std::string FormatDouble(double value);

// The value column: escaped text, a decimal number, or "-" for size 0.
std::string FormatValue(const ItemSnapshot& item);

// A JSON string literal: valid UTF-8 as its characters, each byte outside
// it as the lone surrogate U+DC80 + byte, so any bytes give valid JSON and
// read back unchanged (see kelto::live::JsonString).
std::string JsonString(std::string_view bytes);

// A JSON number, string, or null (size 0, and doubles that are not finite).
std::string JsonValue(const ItemSnapshot& item);

// A CSV field: quoted (with doubled quotes) only when it must be.
std::string CsvField(std::string_view text);

// The raw value for CSV: the text itself for `$`, numbers as in
// FormatValue, empty for size 0.
std::string CsvValue(const ItemSnapshot& item);

}  // namespace keltoctl

#endif  // KELTOCTL_VALUE_FORMAT_H_
