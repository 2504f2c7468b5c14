#include "keltoctl/serve/request_framing.h"

#include <algorithm>
#include <cctype>

namespace keltoctl::serve {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

Verdict CheckFraming(const RequestFraming& framing, size_t max_body) {
  if (framing.host_headers > 1) return {400, "more than one Host header"};
  if (framing.length_headers > 1) return {400, "more than one Content-Length header"};
  if (framing.length_headers == 1 && framing.has_transfer_encoding) {
    return {400, "both Content-Length and Transfer-Encoding"};
  }
  if (framing.length_headers == 0) return {};
  const std::string_view digits = TrimBlanks(framing.content_length);
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return {400, "Content-Length is not a number"};
  }
  // Compared digit by digit, so that no length overflows.
  size_t length = 0;
  for (const char c : digits) {
    length = length * 10 + static_cast<size_t>(c - '0');
    if (length > max_body) {
      return {413, "the body is longer than " + std::to_string(max_body) + " bytes"};
    }
  }
  return {};
}

std::string PercentDecode(std::string_view text, bool plus_is_space) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      bytes += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      bytes += plus_is_space && text[i] == '+' ? ' ' : text[i];
    }
  }
  return bytes;
}

bool IsMediaType(std::string_view content_type, std::string_view media_type) {
  const std::string_view type = TrimBlanks(content_type.substr(0, content_type.find(';')));
  return type.size() == media_type.size() &&
         std::equal(type.begin(), type.end(), media_type.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

}  // namespace keltoctl::serve
