// How a request is framed, checked before its body is read: headers that
// two parties could read differently are refused, and so is a body larger
// than the server takes. Also the small text rules of a request line.
#ifndef KELTOCTL_SERVE_REQUEST_FRAMING_H_
#define KELTOCTL_SERVE_REQUEST_FRAMING_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "keltoctl/serve/request_guard.h"

namespace keltoctl::serve {

struct RequestFraming {
  int host_headers = 0;
  int length_headers = 0;           // Content-Length headers
  std::string_view content_length;  // the first one
  bool has_transfer_encoding = false;
};

// 400 for a second Host or Content-Length, or for Content-Length beside
// Transfer-Encoding (a proxy in front may take the other one); 413 for a
// declared length above `max_body`.
Verdict CheckFraming(const RequestFraming& framing, size_t max_body);

// %XX escapes decoded to their bytes, any byte (CR and NUL too); with
// `plus_is_space` (a query) '+' is a blank. A '%' without two hex digits
// stays as it is.
std::string PercentDecode(std::string_view text, bool plus_is_space);

// True when the Content-Type names `media_type` ("application/json"),
// compared without regard to case, with any parameters after ';'.
bool IsMediaType(std::string_view content_type, std::string_view media_type);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_REQUEST_FRAMING_H_
