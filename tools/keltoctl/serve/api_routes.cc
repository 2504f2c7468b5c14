// The JSON API. Every answer about variables comes from the live table as
// it is at the request (not from what the pages were last sent).
#include <string>
#include <vector>

#include "keltoctl/serve/json_text.h"
#include "keltoctl/serve/request_framing.h"
#include "keltoctl/serve/web_routes.h"

namespace keltoctl::serve {
namespace {

constexpr char kJsonType[] = "application/json";
constexpr std::string_view kVarsPath = "/api/vars";
constexpr std::string_view kVarPrefix = "/api/vars/";

HttpReply Answer(int status, std::string json) {
  HttpReply reply;
  reply.status = status;
  reply.body = std::move(json);
  return reply;
}

HttpReply AnswerFailure(kelto_live_result result) {
  switch (result) {
    case KELTO_LIVE_NO_TABLE: return Refusal(503, "no live table");
    case KELTO_LIVE_UNKNOWN_VARIABLE: return Refusal(404, "unknown variable");
    default: return Refusal(500, kelto_live_result_text(result));
  }
}

// The idents matching `pattern` (empty: all), in ident order.
kelto_live_result SelectIdents(kelto_live* table, const std::string& pattern,
                               std::vector<uint32_t>* idents) {
  const char* match = pattern.empty() ? nullptr : pattern.c_str();
  uint32_t count = 0;
  kelto_live_result result = kelto_live_select(table, match, nullptr, 0, &count);
  while (result == KELTO_LIVE_OK || result == KELTO_LIVE_TOO_SMALL) {
    idents->resize(count);
    const uint32_t capacity = count;
    result = kelto_live_select(table, match, idents->data(), capacity, &count);
    if (result == KELTO_LIVE_OK && count <= capacity) {
      idents->resize(count);
      return KELTO_LIVE_OK;
    }
  }
  return result;
}

HttpReply ListVariables(kelto_live* table, const HttpRequest& request) {
  std::vector<uint32_t> idents;
  kelto_live_result result = kelto_live_check(table);
  if (result == KELTO_LIVE_OK) result = SelectIdents(table, request.Query("match"), &idents);
  if (result != KELTO_LIVE_OK) return AnswerFailure(result);
  std::string json = "[";
  for (size_t i = 0; i < idents.size(); ++i) {
    const std::string entry = VariableJson(table, idents[i], &result);
    if (result != KELTO_LIVE_OK) return AnswerFailure(result);
    json += (i == 0 ? "\n  " : ",\n  ") + entry;
  }
  return Answer(200, json + (idents.empty() ? "]\n" : "\n]\n"));
}

kelto_live_result FindVariable(kelto_live* table, const std::string& name, uint32_t* ident) {
  const kelto_live_result result = kelto_live_check(table);
  if (result != KELTO_LIVE_OK) return result;
  // A name with a NUL cannot be any variable's.
  if (name.find('\0') != std::string::npos) return KELTO_LIVE_UNKNOWN_VARIABLE;
  return kelto_live_find(table, name.c_str(), ident);
}

HttpReply ShowVariable(kelto_live* table, const std::string& name) {
  uint32_t ident = 0;
  kelto_live_result result = FindVariable(table, name, &ident);
  if (result != KELTO_LIVE_OK) return AnswerFailure(result);
  const std::string json = VariableJson(table, ident, &result);
  if (result != KELTO_LIVE_OK) return AnswerFailure(result);
  return Answer(200, json + "\n");
}

// The body is the value as `keltoctl set` takes it; with ?escaped=1 as
// `keltoctl set --escaped` takes it; with a JSON content type a JSON value.
kelto_live_syntax BodySyntax(const HttpRequest& request) {
  if (IsMediaType(request.Header("Content-Type"), kJsonType)) return KELTO_LIVE_JSON;
  const std::string escaped = request.Query("escaped");
  return escaped == "1" || escaped == "true" ? KELTO_LIVE_TEXT : KELTO_LIVE_RAW;
}

HttpReply SetVariable(kelto_live* table, const HttpRequest& request, const std::string& name) {
  uint32_t ident = 0;
  kelto_live_result result = FindVariable(table, name, &ident);
  if (result != KELTO_LIVE_OK) return AnswerFailure(result);
  char reason[256] = "";
  result = kelto_live_set(table, ident, request.body.data(), request.body.size(),
                          BodySyntax(request), reason, sizeof reason);
  if (result == KELTO_LIVE_BAD_VALUE || result == KELTO_LIVE_WRONG_TYPE) {
    return Refusal(400, reason[0] != '\0' ? reason : "bad value");
  }
  if (result != KELTO_LIVE_OK) return AnswerFailure(result);
  const std::string json = VariableJson(table, ident, &result);
  if (result != KELTO_LIVE_OK) return AnswerFailure(result);
  return Answer(200, json + "\n");
}

// One page's event stream: a retry hint, then the hub's frames as they come.
class EventStream : public StreamSource {
 public:
  EventStream(EventHub& hub, std::shared_ptr<EventHub::Stream> stream)
      : hub_(hub), stream_(std::move(stream)) {}
  ~EventStream() override { hub_.Unsubscribe(stream_); }
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  void SetWake(std::function<void()> wake) override { hub_.SetWake(*stream_, std::move(wake)); }

  Step Next(std::string* out, const std::function<void()>& park) override {
    if (first_) {
      // A page that lost its connection asks again after this long.
      *out = "retry: 1000\n\n";
      first_ = false;
      return Step::kData;
    }
    switch (hub_.TakeFrames(*stream_, out, park)) {
      case EventHub::Take::kFrames: return Step::kData;
      case EventHub::Take::kWait: return Step::kWait;
      case EventHub::Take::kClosed: return Step::kEnd;
    }
    return Step::kEnd;
  }

 private:
  EventHub& hub_;
  std::shared_ptr<EventHub::Stream> stream_;
  bool first_ = true;
};

HttpReply OpenEventStream(EventHub& hub, const HttpRequest& request) {
  EventHub::Refusal refusal = EventHub::Refusal::kNone;
  // Every local user shares the loopback address, so a share per address
  // would only let one of them shut out the rest: there, only the total
  // bound holds.
  std::shared_ptr<EventHub::Stream> stream =
      hub.Subscribe(request.client_on_loopback ? std::string() : request.client, &refusal);
  if (refusal == EventHub::Refusal::kClientsShare) {
    return Refusal(503, "too many event streams are open from this address");
  }
  if (!stream) return Refusal(503, "too many event streams are open");
  HttpReply reply;
  reply.content_type = "text/event-stream";
  reply.stream = std::make_unique<EventStream>(hub, std::move(stream));
  return reply;
}

HttpReply IssueTicket(StreamTickets& tickets) {
  const std::string ticket = tickets.Issue();
  if (ticket.empty()) return Refusal(500, "no random source for the ticket");
  // A ticket is hex digits: nothing in it needs escaping.
  return Answer(200, "{\"ticket\": \"" + ticket + "\"}\n");
}

bool Reads(const HttpRequest& request) {
  return request.method == "GET" || request.method == "HEAD";
}

}  // namespace

std::optional<HttpReply> AnswerApi(const HttpRequest& request, LiveFeed& feed, EventHub& hub,
                                   StreamTickets& tickets) {
  const std::string_view path = request.raw_path;
  if (path == kVarsPath && Reads(request)) {
    return feed.WithTable([&](kelto_live* table) { return ListVariables(table, request); });
  }
  if (path == kEventsPath && Reads(request)) return OpenEventStream(hub, request);
  if (path == kTicketPath && request.method == "POST") return IssueTicket(tickets);
  if (!path.starts_with(kVarPrefix) || path.size() == kVarPrefix.size()) return std::nullopt;
  const std::string name = PercentDecode(path.substr(kVarPrefix.size()), false);
  if (Reads(request)) {
    return feed.WithTable([&](kelto_live* table) { return ShowVariable(table, name); });
  }
  if (request.method == "PUT") {
    return feed.WithTable([&](kelto_live* table) { return SetVariable(table, request, name); });
  }
  return std::nullopt;
}

}  // namespace keltoctl::serve
