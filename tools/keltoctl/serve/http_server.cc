#include "keltoctl/serve/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "keltoctl/serve/json_text.h"
#include "keltoctl/serve/request_framing.h"

namespace keltoctl::serve {

struct HttpServer::RequestState {
  HttpRequest request;
  bool answered = false;
};

namespace {

using Clock = ConnectionDeadlines::Clock;

uintptr_t KeyOf(MHD_Connection* connection) { return reinterpret_cast<uintptr_t>(connection); }

struct HeaderTally {
  const char* name;
  int count = 0;
};

MHD_Result TallyHeader(void* tally, MHD_ValueKind, const char* key, const char*) {
  auto* counting = static_cast<HeaderTally*>(tally);
  if (strcasecmp(key, counting->name) == 0) ++counting->count;
  return MHD_YES;
}

// Leaves the path and the query as sent: the routes decode them, so that a
// name keeps every byte it may hold (CR, NUL) and its length.
size_t KeepEscapes(void*, MHD_Connection*, char* text) { return std::strlen(text); }

bool IsLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family != AF_INET6) return false;
  const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

void DescribeClient(MHD_Connection* connection, HttpRequest* request) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return;
  const sockaddr* address = info->client_addr;
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof text);
  }
  request->client = text;
  request->client_on_loopback = IsLoopback(address);
}

RequestFraming FramingOf(const HttpRequest& request) {
  RequestFraming framing;
  framing.host_headers = request.HeaderCount("Host");
  framing.length_headers = request.HeaderCount("Content-Length");
  framing.content_length = request.Header("Content-Length");
  framing.has_transfer_encoding = request.HeaderCount("Transfer-Encoding") > 0;
  return framing;
}

// An event stream, read by the library whenever its socket can take more.
// A stream with nothing to send is suspended (no polling) until woken.
struct StreamContext {
  std::unique_ptr<StreamSource> source;
  MHD_Connection* connection;
  std::string pending;
  size_t sent = 0;
};

ssize_t ReadStream(void* cls, uint64_t, char* buffer, size_t max) {
  auto* context = static_cast<StreamContext*>(cls);
  if (context->sent == context->pending.size()) {
    context->pending.clear();
    context->sent = 0;
    const StreamSource::Step step = context->source->Next(
        &context->pending, [context] { MHD_suspend_connection(context->connection); });
    if (step == StreamSource::Step::kEnd) return MHD_CONTENT_READER_END_OF_STREAM;
    if (step == StreamSource::Step::kWait || context->pending.empty()) return 0;
  }
  const size_t count = std::min(max, context->pending.size() - context->sent);
  std::memcpy(buffer, context->pending.data() + context->sent, count);
  context->sent += count;
  return static_cast<ssize_t>(count);
}

void FreeStream(void* cls) { delete static_cast<StreamContext*>(cls); }

MHD_Response* CreateResponse(HttpReply& reply, MHD_Connection* connection) {
  if (reply.stream) {
    auto* context = new StreamContext{std::move(reply.stream), connection, {}, 0};
    context->source->SetWake([connection] { MHD_resume_connection(connection); });
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, ReadStream, context, FreeStream);
    if (response == nullptr) delete context;
    return response;
  }
  if (reply.static_body != nullptr) {
    return MHD_create_response_from_buffer(
        reply.static_size, const_cast<unsigned char*>(reply.static_body), MHD_RESPMEM_PERSISTENT);
  }
  return MHD_create_response_from_buffer(reply.body.size(), reply.body.data(),
                                         MHD_RESPMEM_MUST_COPY);
}

// Writes `reply` straight to the socket of a connection that is about to
// be closed: what fits the socket's buffer now (a refusal is small), and
// nothing more is read.
void SendLastWords(int socket, const HttpReply& reply) {
  const char* reason = MHD_get_reason_phrase_for(static_cast<unsigned>(reply.status));
  const std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason +
                           "\r\nConnection: close\r\nContent-Type: " + reply.content_type +
                           "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n" +
                           reply.body;
  if (send(socket, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
    shutdown(socket, SHUT_WR);
  }
}

int SocketOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  return info == nullptr ? -1 : info->connect_fd;
}

}  // namespace

// The library calls these with the server as their closure.
struct HttpCallbacks {
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char*, const char* upload,
                              size_t* upload_size, void** context) {
    auto& server = *static_cast<HttpServer*>(cls);
    auto* state = static_cast<HttpServer::RequestState*>(*context);
    if (state != nullptr) return server.Receive(*state, upload, upload_size) ? MHD_YES : MHD_NO;
    state = new HttpServer::RequestState;
    *context = state;
    HttpRequest& request = state->request;
    request.connection = connection;
    request.method = method;
    request.raw_path = url;
    DescribeClient(connection, &request);
    // Everything that can be decided from the headers is, before any byte
    // of the body is read.
    const Verdict framing = CheckFraming(FramingOf(request), server.limits_.max_body);
    if (framing.status != 0) {
      return server.Queue(*state, Refusal(framing.status, framing.reason)) ? MHD_YES : MHD_NO;
    }
    if (std::optional<HttpReply> reply = server.handlers_.screen(request)) {
      return server.Queue(*state, std::move(*reply)) ? MHD_YES : MHD_NO;
    }
    return MHD_YES;
  }

  static void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
    delete static_cast<HttpServer::RequestState*>(*context);
    *context = nullptr;
    static_cast<HttpServer*>(cls)->deadlines_.Finished(KeyOf(connection), Clock::now());
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void**,
                           MHD_ConnectionNotificationCode event) {
    auto& server = *static_cast<HttpServer*>(cls);
    if (event != MHD_CONNECTION_NOTIFY_STARTED) return server.deadlines_.Closed(KeyOf(connection));
    const int socket = SocketOf(connection);
    if (socket < 0) return;
    // Beyond the bound a connection is answered at once and ended, instead
    // of waiting unseen in the listen queue.
    if (!server.deadlines_.Opened(KeyOf(connection), socket, Clock::now(),
                                  server.limits_.max_connections)) {
      SendLastWords(socket, Refusal(503, "the server is busy"));
      shutdown(socket, SHUT_RD);
    }
  }
};

std::string_view HttpRequest::Header(const char* name) const {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

int HttpRequest::HeaderCount(const char* name) const {
  HeaderTally tally{name};
  MHD_get_connection_values(connection, MHD_HEADER_KIND, &TallyHeader, &tally);
  return tally.count;
}

std::string HttpRequest::Query(const char* name) const {
  const char* value = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
  return value == nullptr ? std::string() : PercentDecode(value, true);
}

bool HttpRequest::HasQuery(const char* name) const {
  return MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name) != nullptr;
}

HttpReply Refusal(int status, const std::string& reason) {
  HttpReply reply;
  reply.status = status;
  reply.body = ErrorJson(reason);
  return reply;
}

HttpServer::HttpServer(HttpHandlers handlers, HttpLimits limits,
                       std::vector<std::pair<std::string, std::string>> default_headers)
    : handlers_(std::move(handlers)),
      limits_(limits),
      default_headers_(std::move(default_headers)),
      deadlines_(std::chrono::seconds(limits.request_seconds)) {}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Receive(RequestState& state, const char* upload, size_t* upload_size) {
  if (*upload_size > 0) {
    const size_t size = *upload_size;
    *upload_size = 0;
    if (state.answered) return true;
    if (state.request.body.size() + size > limits_.max_body) {
      // A body without a declared length (chunked) is refused as soon as
      // it passes the bound. The library would read the rest before
      // sending an answer queued now, so the refusal is written here and
      // the connection ended.
      state.answered = true;
      SendLastWords(
          SocketOf(state.request.connection),
          Refusal(413, "the body is longer than " + std::to_string(limits_.max_body) + " bytes"));
      return false;
    }
    state.request.body.append(upload, size);
    return true;
  }
  if (state.answered) return true;
  return Queue(state, handlers_.answer(state.request));
}

bool HttpServer::Queue(RequestState& state, HttpReply reply) {
  MHD_Connection* connection = state.request.connection;
  state.answered = true;
  deadlines_.Answered(KeyOf(connection));
  MHD_Response* response = CreateResponse(reply, connection);
  if (response == nullptr) return false;
  for (const auto& [name, value] : default_headers_) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  for (const auto& [name, value] : reply.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type.c_str());
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

int HttpServer::Bind(const ListenAddress& address) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (address.ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(address.port));
    if (inet_pton(AF_INET6, address.host.c_str(), &v6->sin6_addr) != 1) return 0;
    length = sizeof *v6;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(address.port));
    if (inet_pton(AF_INET, address.host.c_str(), &v4->sin_addr) != 1) return 0;
    length = sizeof *v4;
  }
  listener_ = socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return 0;
  // A server restarted on its port need not wait for the old connections.
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener_, reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
      listen(listener_, SOMAXCONN) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
    close(listener_);
    listener_ = -1;
    return 0;
  }
  return ntohs(address.ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                            : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

bool HttpServer::Start() {
  if (listener_ < 0) return false;
  daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr,
      &HttpCallbacks::OnRequest, this, MHD_OPTION_LISTEN_SOCKET, listener_,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.connection_memory, MHD_OPTION_CONNECTION_LIMIT,
      limits_.max_sockets, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.max_connections_per_client,
      MHD_OPTION_CONNECTION_TIMEOUT, limits_.idle_seconds, MHD_OPTION_NOTIFY_COMPLETED,
      &HttpCallbacks::OnCompleted, this, MHD_OPTION_NOTIFY_CONNECTION, &HttpCallbacks::OnConnection,
      this, MHD_OPTION_UNESCAPE_CALLBACK, &KeepEscapes, nullptr, MHD_OPTION_END);
  if (daemon_ == nullptr) return false;
  listener_ = -1;  // the library closes it when it stops
  return true;
}

void HttpServer::EnforceDeadlines() { deadlines_.ShutLate(Clock::now()); }

void HttpServer::Stop() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

}  // namespace keltoctl::serve
