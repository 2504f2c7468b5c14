#include "keltoctl/serve/serve.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>

#include "kelto_live.h"
#include "keltoctl/serve/access_token.h"
#include "keltoctl/serve/bounded_task_queue.h"
#include "keltoctl/serve/event_hub.h"
#include "keltoctl/serve/json_text.h"
#include "keltoctl/serve/live_feed.h"
#include "keltoctl/serve/web_routes.h"

namespace keltoctl::serve {
namespace {

constexpr int kUsage = 2;
constexpr int kSystemError = 5;

// Open pages (event streams); each holds a worker thread while it is open.
constexpr size_t kMaxStreams = 64;
// Workers beyond the streams, so that requests are answered at once even
// with every stream open.
constexpr size_t kRequestWorkers = 16;
// Connections that may wait for a worker before new ones are refused.
constexpr size_t kMaxWaitingConnections = 256;
// A value is at most a few hundred bytes of text; anything much larger is
// refused before it is read.
constexpr size_t kMaxBodyBytes = 64 * 1024;
constexpr time_t kTimeoutSeconds = 5;
// An idle connection holds a worker, and a stop waits for it.
constexpr time_t kKeepAliveSeconds = 2;

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
                            "serve there (every request then needs the token)");
  }
  if (!options.token_file.empty()) {
    if (!ReadTokenFile(options.token_file, &settings->token, &reason)) return Fail(kUsage, reason);
  } else if (options.allow_remote) {
    settings->token = GenerateToken();
    if (settings->token.empty()) return Fail(kSystemError, "no random source for the token");
  }
  settings->allow_set = options.allow_set;
  settings->public_hosts = options.public_hosts;
  settings->machine_name = MachineName();
  return 0;
}

void ConfigureServer(httplib::Server& server) {
  server.new_task_queue = [] {
    return new BoundedTaskQueue(kMaxStreams + kRequestWorkers, kMaxWaitingConnections);
  };
  server.set_payload_max_length(kMaxBodyBytes);
  server.set_read_timeout(kTimeoutSeconds);
  server.set_write_timeout(kTimeoutSeconds);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  server.set_tcp_nodelay(true);
  // The page loads nothing from elsewhere and may not be framed; answers
  // are never cached, as they are live.
  server.set_default_headers({
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
       "img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
       "form-action 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  });
}

// Stops the server at SIGINT or SIGTERM. The signals are blocked in every
// thread and taken here, so that no handler runs in the middle of a
// library call.
class SignalStopper {
 public:
  SignalStopper(std::function<void()> stop, const sigset_t& signals) : stop_(std::move(stop)) {
    thread_ = std::thread([this, signals] { Run(signals); });
  }
  ~SignalStopper() {
    done_ = true;
    thread_.join();
  }
  SignalStopper(const SignalStopper&) = delete;
  SignalStopper& operator=(const SignalStopper&) = delete;

  bool stop_requested() const { return stop_requested_; }

 private:
  void Run(sigset_t signals) {
    const timespec slice = {0, 100'000'000};
    while (!done_) {
      if (sigtimedwait(&signals, nullptr, &slice) > 0) {
        stop_requested_ = true;
        break;
      }
    }
    // The server may not be listening yet when the signal comes: keep
    // asking until it has stopped.
    while (!done_) {
      stop_();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::function<void()> stop_;
  std::atomic<bool> done_{false};
  std::atomic<bool> stop_requested_{false};
  std::thread thread_;
};

void PrintUrl(const GuardSettings& settings, const ServeOptions& options) {
  std::string url =
      "http://" + UrlHost(settings.address) + ":" + std::to_string(settings.address.port) + "/";
  if (!settings.token.empty()) url += "?token=" + settings.token;
  std::printf("keltoctl serve: %s (%s)\n", url.c_str(),
              options.allow_set ? "values can be set" : "read-only");
  std::fflush(stdout);
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
  EventHub hub(kMaxStreams, JsonEscape(segment, std::strlen(segment)), options.allow_set);
  LiveFeed feed(handle, &hub);

  httplib::Server server;
  ConfigureServer(server);
  InstallGuard(server, settings);
  AddApiRoutes(server, feed, hub);
  AddPageRoutes(server, settings);
  const ListenAddress& address = settings.address;
  if (address.port == 0) {
    settings.address.port = server.bind_to_any_port(address.host);
  } else if (!server.bind_to_port(address.host, address.port)) {
    settings.address.port = -1;
  }
  if (settings.address.port <= 0) {
    return Fail(kSystemError, "cannot listen on " + options.listen +
                                  " (in use, or not an address of this machine)");
  }
  feed.Start();
  PrintUrl(settings, options);
  bool clean = true;
  {
    // Open streams end first, so that the server's workers are free to stop.
    SignalStopper stopper(
        [&] {
          hub.Close();
          server.stop();
        },
        signals);
    clean = server.listen_after_bind() || stopper.stop_requested();
  }
  feed.Stop();
  return clean ? 0 : Fail(kSystemError, "the server stopped unexpectedly");
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
