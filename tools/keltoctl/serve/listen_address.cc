#include "keltoctl/serve/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>

namespace keltoctl::serve {
namespace {

constexpr int kMaxPort = 65535;

bool ParsePort(std::string_view text, int* port) {
  int value = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > kMaxPort) {
    return false;
  }
  *port = value;
  return true;
}

bool ClassifyIpv4(const std::string& host, ListenAddress* address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) return false;
  const uint32_t value = ntohl(parsed.s_addr);
  address->loopback = (value >> 24) == 127;
  address->wildcard = value == 0;
  return true;
}

bool ClassifyIpv6(const std::string& host, ListenAddress* address) {
  in6_addr parsed{};
  if (inet_pton(AF_INET6, host.c_str(), &parsed) != 1) return false;
  address->loopback = IN6_IS_ADDR_LOOPBACK(&parsed);
  address->wildcard = IN6_IS_ADDR_UNSPECIFIED(&parsed);
  address->ipv6 = true;
  return true;
}

}  // namespace

bool ParseListenAddress(std::string_view text, ListenAddress* address, std::string* reason) {
  const size_t colon = text.rfind(':');
  *reason = "--listen takes ADDRESS:PORT (an IP address or localhost, a port from 0 to 65535)";
  if (colon == std::string_view::npos || colon == 0) return false;
  ListenAddress parsed;
  if (!ParsePort(text.substr(colon + 1), &parsed.port)) return false;
  std::string_view host = text.substr(0, colon);
  const bool bracketed = host.size() > 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  parsed.host = host == "localhost" ? "127.0.0.1" : std::string(host);
  const bool known =
      bracketed ? ClassifyIpv6(parsed.host, &parsed) : ClassifyIpv4(parsed.host, &parsed);
  if (!known) return false;
  *address = parsed;
  reason->clear();
  return true;
}

std::string UrlHost(const ListenAddress& address) {
  return address.ipv6 ? "[" + address.host + "]" : address.host;
}

}  // namespace keltoctl::serve
