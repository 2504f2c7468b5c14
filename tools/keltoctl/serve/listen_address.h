// Where the server listens, from --listen ADDRESS:PORT.
#ifndef KELTOCTL_SERVE_LISTEN_ADDRESS_H_
#define KELTOCTL_SERVE_LISTEN_ADDRESS_H_

#include <string>
#include <string_view>

namespace keltoctl::serve {

struct ListenAddress {
  std::string host;  // an IP address as bind takes it: "127.0.0.1", "::1"
  int port = 0;
  bool ipv6 = false;
  bool loopback = false;  // 127.0.0.0/8 or ::1
  bool wildcard = false;  // 0.0.0.0 or ::, every address of the machine
};

// Takes "ADDRESS:PORT" with an IPv4 address, "[IPv6]:PORT", or
// "localhost:PORT" (127.0.0.1). Names other than localhost are refused: the
// server must know exactly which addresses it answers on.
bool ParseListenAddress(std::string_view text, ListenAddress* address, std::string* reason);

// The address as it appears in a URL or a Host header: IPv6 in brackets.
std::string UrlHost(const ListenAddress& address);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_LISTEN_ADDRESS_H_
