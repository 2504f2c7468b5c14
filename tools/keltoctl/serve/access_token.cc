#include "keltoctl/serve/access_token.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace keltoctl::serve {
namespace {

constexpr size_t kTokenBytes = 16;
constexpr size_t kMinTokenLength = 16;
// A first line longer than this is no token; reading stops there, so a
// file without end (/dev/zero, a device) is refused instead of filling memory.
constexpr size_t kMaxTokenFileLine = 4096;

bool IsPrintableAscii(std::string_view text) {
  for (const char c : text) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

}  // namespace

std::string GenerateToken() {
  std::array<unsigned char, kTokenBytes> bytes{};
  size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return "";
    filled += static_cast<size_t>(got);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 0xf];
  }
  return token;
}

bool ReadTokenFile(const std::string& path, std::string* token, std::string* reason) {
  std::ifstream file(path);
  std::string line;
  char c = 0;
  while (line.size() <= kMaxTokenFileLine && file.get(c) && c != '\n') line += c;
  if (!file && line.empty() && c != '\n') {
    *reason = "cannot read the token file '" + path + "'";
    return false;
  }
  if (line.size() > kMaxTokenFileLine) {
    *reason = "the first line of the token file '" + path + "' is longer than " +
              std::to_string(kMaxTokenFileLine) + " bytes";
    return false;
  }
  const size_t first = line.find_first_not_of(" \t\r");
  const size_t last = line.find_last_not_of(" \t\r");
  line = first == std::string::npos ? "" : line.substr(first, last - first + 1);
  if (line.size() < kMinTokenLength || !IsPrintableAscii(line)) {
    *reason = "the token in '" + path +
              "' must be at least 16 printable characters without blanks on its first line";
    return false;
  }
  *token = line;
  return true;
}

bool SameToken(std::string_view given, std::string_view expected) {
  // Every byte of the expected token is looked at, whatever the given one.
  unsigned difference = given.size() == expected.size() ? 0u : 1u;
  for (size_t i = 0; i < expected.size(); ++i) {
    const char other = i < given.size() ? given[i] : '\0';
    difference |= static_cast<unsigned char>(other ^ expected[i]);
  }
  return difference == 0 && !expected.empty();
}

}  // namespace keltoctl::serve
