// The shared secret that every request must carry when the server is open
// to other machines.
#ifndef KELTOCTL_SERVE_ACCESS_TOKEN_H_
#define KELTOCTL_SERVE_ACCESS_TOKEN_H_

#include <string>
#include <string_view>

namespace keltoctl::serve {

// 32 hex digits from the kernel's random source; empty if it failed.
std::string GenerateToken();

// The first line of `path`, without surrounding blanks. False (with a
// one-line reason) when the file cannot be read or the token is shorter than
// 16 characters or holds anything but printable ASCII.
bool ReadTokenFile(const std::string& path, std::string* token, std::string* reason);

// Compares in time that depends only on the lengths, so that a client
// cannot guess the token byte by byte from response times.
bool SameToken(std::string_view given, std::string_view expected);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_ACCESS_TOKEN_H_
