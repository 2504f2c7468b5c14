#include "keltoctl/serve/serve.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "kelto_live.h"
#include "keltoctl/serve/access_token.h"
#include "keltoctl/serve/event_hub.h"
#include "keltoctl/serve/http_server.h"
#include "keltoctl/serve/json_text.h"
#include "keltoctl/serve/live_feed.h"
#include "keltoctl/serve/web_routes.h"

namespace keltoctl::serve {
namespace {

constexpr int kUsage = 2;
constexpr int kSystemError = 5;

// Open pages (event streams). Beyond loopback one address may hold a
// quarter of them, so that one client cannot keep every page out.
constexpr size_t kMaxStreams = 64;
constexpr size_t kMaxStreamsPerClient = kMaxStreams / 4;
// Connections at once. Each costs a socket and at most its memory bound
// (request line and headers included), never a thread. Up to kMaxSockets
// (and half the file limit), those beyond are answered 503 at once.
constexpr unsigned kMaxConnections = 4000;
constexpr rlim_t kMaxSockets = 16000;
constexpr unsigned kMaxConnectionsPerClient = kMaxConnections / 4;
constexpr size_t kConnectionMemory = 32 * 1024;
// A value is at most a few hundred bytes of text; anything much larger is
// refused before it is read.
constexpr size_t kMaxBodyBytes = 64 * 1024;
// A request's headers and body must arrive whole within this, however
// slowly their bytes come; a connection silent for kIdleSeconds ends too.
constexpr unsigned kRequestSeconds = 5;
constexpr unsigned kIdleSeconds = 10;
// The main thread wakes this often to end late requests, and every
// kKeepAliveRounds rounds lets each stream send a keep-alive comment, so
// that a page closed without a word frees its slot within a second.
constexpr long kRoundNanoseconds = 125'000'000;
constexpr unsigned kKeepAliveRounds = 2;
// Sockets beyond the connections: the table, the listener, the library's.
constexpr rlim_t kSpareFiles = 64;

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "keltoctl: serve: %s\n", message.c_str());
  return status;
}

std::string MachineName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

// Settles everything that does not need the network: the address, the
// token and the rules.
int PrepareGuard(const ServeOptions& options, GuardSettings* settings) {
  std::string reason;
  if (!ParseListenAddress(options.listen, &settings->address, &reason)) {
    return Fail(kUsage, reason + ", not '" + options.listen + "'");
  }
  if (!settings->address.loopback && !options.allow_remote) {
    return Fail(kUsage, "'" + options.listen +
                            "' can be reached from other machines: add --allow-remote to "
                            "serve there (every API request then needs the token)");
  }
  if (!options.token_file.empty()) {
    if (!ReadTokenFile(options.token_file, &settings->token, &reason)) return Fail(kUsage, reason);
  } else if (options.allow_remote) {
    settings->token = GenerateToken();
    if (settings->token.empty()) return Fail(kSystemError, "no random source for the token");
  }
  if (!options.public_hosts.empty() && settings->token.empty()) {
    return Fail(kUsage,
                "--public-host is for a proxy that other machines reach: it needs a token "
                "(--token-file, or --allow-remote to generate one)");
  }
  settings->allow_set = options.allow_set;
  settings->public_hosts = options.public_hosts;
  settings->machine_name = MachineName();
  return 0;
}

std::vector<std::pair<std::string, std::string>> DefaultHeaders() {
  // The page loads nothing from elsewhere and may not be framed; answers
  // are never cached, as they are live.
  return {
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
       "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
       "form-action 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
}

// Every open connection is a file: take what the system allows, and keep
// the connection bound below it.
HttpLimits Limits(const GuardSettings& settings) {
  rlimit files{};
  rlim_t available = 1024;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = std::max(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 65536));
    if (setrlimit(RLIMIT_NOFILE, &files) != 0) getrlimit(RLIMIT_NOFILE, &files);
    available = files.rlim_cur;
  }
  HttpLimits limits;
  limits.max_body = kMaxBodyBytes;
  limits.connection_memory = kConnectionMemory;
  limits.max_sockets = static_cast<unsigned>(std::min<rlim_t>(
      kMaxSockets, available > 2 * kSpareFiles ? available - kSpareFiles : kSpareFiles));
  limits.max_connections = std::min(kMaxConnections, limits.max_sockets / 2);
  // On loopback every local user has the same address: a bound per
  // address would be one for all of them.
  limits.max_connections_per_client =
      settings.address.loopback ? 0 : std::min(kMaxConnectionsPerClient, limits.max_connections);
  limits.request_seconds = kRequestSeconds;
  limits.idle_seconds = kIdleSeconds;
  return limits;
}

// A token read from a file is never printed: the terminal, the journal or
// a CI log would keep it. A generated one is, as nobody else knows it.
void PrintUrl(const GuardSettings& settings, const ServeOptions& options) {
  std::string url =
      "http://" + UrlHost(settings.address) + ":" + std::to_string(settings.address.port) + "/";
  if (!settings.token.empty() && options.token_file.empty()) url += "?token=" + settings.token;
  std::printf("keltoctl serve: %s (%s)\n", url.c_str(),
              options.allow_set ? "values can be set" : "read-only");
  std::fflush(stdout);
}

// Until SIGINT or SIGTERM (blocked in every thread and taken here, so that
// no handler runs in the middle of a library call).
void WaitForStop(const sigset_t& signals, HttpServer& server, EventHub& hub) {
  const timespec round = {0, kRoundNanoseconds};
  for (unsigned count = 0;; ++count) {
    if (sigtimedwait(&signals, nullptr, &round) > 0) return;
    server.EnforceDeadlines();
    if (count % kKeepAliveRounds == 0) hub.Tick();
  }
}

int Serve(const ServeOptions& options, GuardSettings& settings, const sigset_t& signals) {
  kelto_live* handle = nullptr;
  const kelto_live_result attached =
      kelto_live_attach(options.segment.empty() ? nullptr : options.segment.c_str(), &handle);
  if (attached != KELTO_LIVE_OK && attached != KELTO_LIVE_NO_TABLE) {
    return Fail(attached == KELTO_LIVE_INVALID_ARGUMENT ? kUsage : kSystemError,
                std::string("cannot watch the segment: ") + kelto_live_result_text(attached));
  }
  const char* segment = kelto_live_segment_name(handle);
  EventHub hub(kMaxStreams, kMaxStreamsPerClient, JsonEscape(segment, std::strlen(segment)),
               options.allow_set);
  LiveFeed feed(handle, &hub);
  StreamTickets tickets;
  settings.tickets = &tickets;

  HttpHandlers handlers;
  handlers.screen = [&settings](const HttpRequest& request) {
    return ScreenRequest(request, settings);
  };
  handlers.answer = [&](const HttpRequest& request) {
    if (std::optional<HttpReply> reply = AnswerApi(request, feed, hub, tickets)) {
      return std::move(*reply);
    }
    return AnswerPage(request);
  };
  HttpServer server(std::move(handlers), Limits(settings), DefaultHeaders());
  // Bound before anything is served, so that the rules know the port.
  settings.address.port = server.Bind(settings.address);
  if (settings.address.port <= 0) {
    return Fail(kSystemError, "cannot listen on " + options.listen +
                                  " (in use, or not an address of this machine)");
  }
  if (!server.Start()) return Fail(kSystemError, "the HTTP server could not start");
  feed.Start();
  PrintUrl(settings, options);
  WaitForStop(signals, server, hub);
  // Open streams end first: none may be left waiting when the server stops.
  hub.Close();
  server.Stop();
  feed.Stop();
  return 0;
}

}  // namespace

int RunServe(const ServeOptions& options) {
  GuardSettings settings;
  if (const int status = PrepareGuard(options, &settings); status != 0) return status;
  sigset_t signals, previous;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // Before any thread starts, so that every thread inherits the mask.
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  const int status = Serve(options, settings, signals);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

}  // namespace keltoctl::serve
