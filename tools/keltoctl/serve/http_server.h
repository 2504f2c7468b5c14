// The HTTP side of keltoctl serve, on Debian's libmicrohttpd: one thread
// waits on every connection (epoll), so a slow client costs a socket and a
// bounded buffer, never a thread. Each connection's memory is bounded (the
// request line and headers must fit it: 414 or 431 beyond), bodies are
// refused before they are read when too large, and the request deadlines of
// connection_deadlines.h hold however slowly bytes arrive.
#ifndef KELTOCTL_SERVE_HTTP_SERVER_H_
#define KELTOCTL_SERVE_HTTP_SERVER_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keltoctl/serve/connection_deadlines.h"
#include "keltoctl/serve/listen_address.h"

struct MHD_Connection;
struct MHD_Daemon;

namespace keltoctl::serve {

// One request, its headers complete.
class HttpRequest {
 public:
  std::string method;
  std::string raw_path;  // as sent, before percent-decoding, without the query
  std::string body;      // complete only when the request is answered
  std::string client;    // the peer's address
  bool client_on_loopback = false;

  // The first header of that name (any case); empty when absent.
  std::string_view Header(const char* name) const;
  int HeaderCount(const char* name) const;
  // The query argument, percent-decoded; empty when absent.
  std::string Query(const char* name) const;
  bool HasQuery(const char* name) const;

  MHD_Connection* connection = nullptr;
};

// An answer without end (the event stream): the server asks for more when
// the socket can take it.
class StreamSource {
 public:
  enum class Step { kData, kWait, kEnd };
  virtual ~StreamSource() = default;
  // Called once before the first Next: `wake` makes a waiting stream be
  // asked again; any thread may call it, once per wait.
  virtual void SetWake(std::function<void()> wake) = 0;
  // Appends what is ready to *out (kData); or calls `park` and answers
  // kWait, after which the stream is asked again only once woken; or kEnd.
  virtual Step Next(std::string* out, const std::function<void()>& park) = 0;
};

struct HttpReply {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  // Embedded files are sent from where they are.
  const unsigned char* static_body = nullptr;
  size_t static_size = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::unique_ptr<StreamSource> stream;
};

// The refusal every route and limit answers with: the status and a JSON
// {"error": reason}.
HttpReply Refusal(int status, const std::string& reason);

struct HttpHandlers {
  // Headers complete, nothing of the body read: a reply here answers the
  // request, and its body is never read.
  std::function<std::optional<HttpReply>(const HttpRequest&)> screen;
  // The whole request, body included.
  std::function<HttpReply(const HttpRequest&)> answer;
};

struct HttpLimits {
  size_t max_body = 64 * 1024;
  // Per connection: request line, headers and the buffers to read and
  // write them all fit in this.
  size_t connection_memory = 32 * 1024;
  // Connections served at once; those beyond are answered 503 and ended.
  unsigned max_connections = 4000;
  // Sockets the library holds at most (beyond, new ones wait in the listen
  // queue): somewhat below the file limit, well above max_connections.
  unsigned max_sockets = 8000;
  unsigned max_connections_per_client = 0;  // 0: no bound per address
  unsigned request_seconds = 5;             // the deadline of connection_deadlines.h
  unsigned idle_seconds = 10;               // no byte at all for this long
};

class HttpServer {
 public:
  HttpServer(HttpHandlers handlers, HttpLimits limits,
             std::vector<std::pair<std::string, std::string>> default_headers);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens with the system's usual backlog (SOMAXCONN). The
  // port bound (when `address.port` is 0, the one chosen); 0 when it could
  // not. Nothing is answered before Start.
  int Bind(const ListenAddress& address);
  // Serves on a thread of its own. False when the system refused.
  bool Start();
  // Closes the connections past their deadline; call a few times a second.
  void EnforceDeadlines();
  // Every connection is closed at once; streams must have been ended
  // (their sources answer kEnd) so that none is left waiting.
  void Stop();

 private:
  // The library's callbacks (in http_server.cc) reach the members below.
  friend struct HttpCallbacks;
  struct RequestState;
  bool Receive(RequestState& state, const char* upload, size_t* upload_size);
  bool Queue(RequestState& state, HttpReply reply);

  const HttpHandlers handlers_;
  const HttpLimits limits_;
  const std::vector<std::pair<std::string, std::string>> default_headers_;
  ConnectionDeadlines deadlines_;
  int listener_ = -1;
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_HTTP_SERVER_H_
