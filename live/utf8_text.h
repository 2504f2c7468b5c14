// How the codec reads the bytes of a name or text value as characters: the
// valid UTF-8 in them is shown as its characters, every other byte by an
// escape of that byte, so any bytes are shown and read back unchanged.
#ifndef KELTO_LIVE_UTF8_TEXT_H_
#define KELTO_LIVE_UTF8_TEXT_H_

#include <cstddef>
#include <string_view>

namespace kelto::live {

// The length (1 to 4) of the well-formed UTF-8 character that starts at
// `bytes[at]`, with its code point; 0 when no character starts there
// (a stray or cut sequence, an overlong form, a surrogate, or above
// U+10FFFF), so that byte is escaped on its own.
size_t Utf8CharacterAt(std::string_view bytes, size_t at, char32_t* code_point);

// Characters above U+007F that are shown as themselves. The C1 controls,
// the line and paragraph separators and the marks that reorder a line
// (bidirectional controls) are escaped instead: one value stays one line
// and reads in the order of its bytes.
bool IsShownAsItself(char32_t code_point);

}  // namespace kelto::live

#endif  // KELTO_LIVE_UTF8_TEXT_H_
