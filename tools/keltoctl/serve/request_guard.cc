#include "keltoctl/serve/request_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

#include "keltoctl/serve/access_token.h"

namespace keltoctl::serve {
namespace {

constexpr int kDefaultHttpPort = 80;

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Splits "name:port" or "[v6]:port" into name (brackets kept) and port;
// -1 for a port that is absent, 0 for one that is not a number.
void SplitHost(std::string_view host, std::string_view* name, int* port) {
  const size_t bracket = host.rfind(']');
  const size_t colon = host.rfind(':');
  const bool has_port = colon != std::string_view::npos &&
                        (bracket == std::string_view::npos || colon > bracket) &&
                        (host.front() == '[' || host.find(':') == colon);
  *name = has_port ? host.substr(0, colon) : host;
  *port = -1;
  if (!has_port) return;
  const std::string_view digits = host.substr(colon + 1);
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9' || value > 65535) {
      *port = 0;
      return;
    }
    value = value * 10 + (c - '0');
  }
  *port = digits.empty() ? 0 : value;
}

bool IsIpLiteral(std::string_view name) {
  std::string text(name);
  in6_addr v6{};
  in_addr v4{};
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    return inet_pton(AF_INET6, text.substr(1, text.size() - 2).c_str(), &v6) == 1;
  }
  return inet_pton(AF_INET, text.c_str(), &v4) == 1;
}

std::string_view BearerToken(std::string_view authorization) {
  constexpr std::string_view kScheme = "Bearer ";
  if (authorization.size() <= kScheme.size() ||
      !SameNoCase(authorization.substr(0, kScheme.size()), kScheme)) {
    return {};
  }
  return authorization.substr(kScheme.size());
}

// The page's own origin is the scheme (plain, or TLS through a proxy) and
// the Host it was loaded from.
bool OriginIsOwn(std::string_view origin, std::string_view host) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (origin.size() > scheme.size() && SameNoCase(origin.substr(0, scheme.size()), scheme) &&
        SameNoCase(origin.substr(scheme.size()), host)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool HostNamesServer(const GuardSettings& settings, std::string_view host) {
  std::string_view name;
  int port = -1;
  if (host.empty()) return false;
  for (const std::string& public_host : settings.public_hosts) {
    if (SameNoCase(host, public_host)) return true;
  }
  SplitHost(host, &name, &port);
  const int wanted = settings.address.port;
  if (port == 0 || (port == -1 ? wanted != kDefaultHttpPort : port != wanted)) return false;
  const ListenAddress& address = settings.address;
  if (SameNoCase(name, UrlHost(address))) return true;
  if (address.loopback || address.wildcard) {
    if (SameNoCase(name, "localhost")) return true;
  }
  if (!address.loopback && !settings.machine_name.empty() &&
      SameNoCase(name, settings.machine_name)) {
    return true;
  }
  // Listening on every address: any address of ours may be used, and a
  // rebound DNS name still is not one.
  return address.wildcard && IsIpLiteral(name);
}

bool CarriesToken(const GuardSettings& settings, const RequestFacts& request) {
  if (settings.token.empty()) return true;
  return SameToken(BearerToken(request.authorization), settings.token) ||
         SameToken(request.query_token, settings.token) ||
         (!request.ticket.empty() && settings.tickets != nullptr &&
          settings.tickets->Redeem(request.ticket));
}

Verdict CheckRequest(const GuardSettings& settings, const RequestFacts& request) {
  if (!HostNamesServer(settings, request.host)) {
    return {403, "the Host header does not name this server"};
  }
  if (request.needs_token && !CarriesToken(settings, request)) {
    return {401, request.ticket.empty() ? "a valid token is needed"
                                        : "the ticket is unknown, used or expired"};
  }
  if (!request.writes) return {};
  if (!settings.allow_set) return {403, "setting values is not allowed (start with --allow-set)"};
  if (!request.origin.empty() && !OriginIsOwn(request.origin, request.host)) {
    return {403, "writes are accepted from this server's own page only"};
  }
  if (request.origin.empty() && !request.fetch_site.empty() &&
      request.fetch_site != "same-origin" && request.fetch_site != "none") {
    return {403, "writes are accepted from this server's own page only"};
  }
  return {};
}

}  // namespace keltoctl::serve
