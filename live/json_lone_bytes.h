// The codec writes a byte that is not part of valid UTF-8 as the lone
// surrogate U+DC80 + byte in JSON ("\udcb0" for 0xB0), which is what
// Python's surrogateescape gives for the same byte, and what JavaScript
// strings hold as they are. JSON readers such as nlohmann's refuse a lone
// surrogate, so JSON text passes through these two steps around them.
#ifndef KELTO_LIVE_JSON_LONE_BYTES_H_
#define KELTO_LIVE_JSON_LONE_BYTES_H_

#include <string>
#include <string_view>

namespace kelto::live {

// Rewrites JSON text for a strict reader: each \uDC80..\uDCFF escape that
// does not end a surrogate pair becomes \u0000\u00XX, and each \u0000
// becomes \u0000\u0000. No name or text value can hold a NUL, so a NUL
// followed by one character is a mark that cannot be taken for text.
// Anything else is left for the reader to judge.
std::string MarkLoneBytes(std::string_view json);

// Undoes MarkLoneBytes on a string as the reader decoded it (UTF-8): NUL
// followed by U+0080..U+00FF is that byte, NUL NUL is one NUL. The result
// is the bytes the JSON string stands for.
std::string BytesFromMarked(std::string_view decoded);

}  // namespace kelto::live

#endif  // KELTO_LIVE_JSON_LONE_BYTES_H_
