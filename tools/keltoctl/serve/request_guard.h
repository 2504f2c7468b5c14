// Who may ask what: the checks every request passes before any handler
// sees it. Pure but for the tickets it uses up, so the rules can be tested without a server.
#ifndef KELTOCTL_SERVE_REQUEST_GUARD_H_
#define KELTOCTL_SERVE_REQUEST_GUARD_H_

#include <string>
#include <string_view>
#include <vector>

#include "keltoctl/serve/listen_address.h"
#include "keltoctl/serve/stream_tickets.h"

namespace keltoctl::serve {

struct GuardSettings {
  ListenAddress address;     // with the port actually bound
  std::string machine_name;  // accepted as a Host beside the addresses, when not on loopback
  // Host headers accepted as they are ("plant.example", "plant.example:8443"):
  // the names under which a proxy in front forwards requests.
  std::vector<std::string> public_hosts;
  std::string token;  // empty: no token is needed
  // The event stream's single-use tickets (null: none are taken). No
  // cookie is ever set: a cookie reaches every server of the host.
  StreamTickets* tickets = nullptr;
  bool allow_set = false;
};

// The parts of a request the rules look at (empty when absent).
struct RequestFacts {
  std::string_view host;           // Host header
  std::string_view origin;         // Origin header
  std::string_view authorization;  // Authorization header
  std::string_view query_token;    // ?token=
  std::string_view ticket;         // ?ticket= of the event stream
  std::string_view fetch_site;     // Sec-Fetch-Site header
  bool writes = false;             // a request that changes a value
  bool needs_token = true;         // false for the page's own files, which hold no secret
};

struct Verdict {
  int status = 0;      // 0: allowed; else the HTTP status to answer with
  std::string reason;  // for the client, one line
};

// The rules, in order: the Host must name this server (a page of another
// site that rebinds its DNS name to us is refused); the token, when one is
// set, for the API (header "Authorization: Bearer T", ?token=T, or a
// ticket for the event stream, used up by this check); a write
// needs --allow-set and must come from the page's own origin (a browser
// always sends Origin with a PUT; a client that sends none is not a
// browser page and passes).
Verdict CheckRequest(const GuardSettings& settings, const RequestFacts& request);

// True when the request carries the token or a valid ticket (any of the
// three ways). A valid ticket is used up.
bool CarriesToken(const GuardSettings& settings, const RequestFacts& request);

// True when `host` (a Host header: name or address, optional port) names
// this server.
bool HostNamesServer(const GuardSettings& settings, std::string_view host);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_REQUEST_GUARD_H_
