// keltoctl serve: the live table in a browser, and a small JSON API over
// HTTP. One entry for keltoctl's command line.
#ifndef KELTOCTL_SERVE_SERVE_H_
#define KELTOCTL_SERVE_SERVE_H_

#include <string>
#include <vector>

namespace keltoctl::serve {

struct ServeOptions {
  // ADDRESS:PORT; an IPv6 address in brackets ("[::1]:7070"). Port 0 picks
  // a free one (the printed URL tells which).
  std::string listen = "127.0.0.1:7070";
  bool allow_set = false;     // PUT /api/vars/NAME and editing in the page
  bool allow_remote = false;  // listen beyond loopback; every request needs the token
  std::string token_file;     // the token's first line; empty: generate one when needed
  std::string segment;        // empty: KELTO_SEGMENT or the default
  // Host headers to accept beside the listening address: the names under
  // which a proxy in front of the server forwards requests.
  std::vector<std::string> public_hosts;
};

// Serves until SIGINT or SIGTERM, then returns keltoctl's exit status: 0
// after a clean stop, 2 for unusable options, 5 when the address cannot be
// bound or the system refuses. Reports go to stderr, the URL to stdout.
int RunServe(const ServeOptions& options);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_SERVE_H_
