// The JSON API. Every answer about variables comes from the live table as
// it is at the request (not from what the pages were last sent).
#include <chrono>
#include <string>
#include <vector>

#include "keltoctl/serve/json_text.h"
#include "keltoctl/serve/web_routes.h"

namespace keltoctl::serve {
namespace {

constexpr char kJsonType[] = "application/json";
// An open stream sends a comment this often, so that a closed page is
// noticed (the write fails) and proxies keep the connection.
constexpr std::chrono::milliseconds kKeepAlive{15000};

void Answer(httplib::Response& response, int status, const std::string& json) {
  response.status = status;
  response.set_content(json, kJsonType);
}

void AnswerFailure(httplib::Response& response, kelto_live_result result) {
  switch (result) {
    case KELTO_LIVE_NO_TABLE: Answer(response, 503, ErrorJson("no live table")); return;
    case KELTO_LIVE_UNKNOWN_VARIABLE: Answer(response, 404, ErrorJson("unknown variable")); return;
    default: Answer(response, 500, ErrorJson(kelto_live_result_text(result))); return;
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

void ListVariables(kelto_live* table, const httplib::Request& request,
                   httplib::Response& response) {
  std::vector<uint32_t> idents;
  kelto_live_result result = kelto_live_check(table);
  if (result == KELTO_LIVE_OK)
    result = SelectIdents(table, request.get_param_value("match"), &idents);
  if (result != KELTO_LIVE_OK) return AnswerFailure(response, result);
  std::string json = "[";
  for (size_t i = 0; i < idents.size(); ++i) {
    const std::string entry = VariableJson(table, idents[i], &result);
    if (result != KELTO_LIVE_OK) return AnswerFailure(response, result);
    json += (i == 0 ? "\n  " : ",\n  ") + entry;
  }
  Answer(response, 200, json + (idents.empty() ? "]\n" : "\n]\n"));
}

kelto_live_result FindVariable(kelto_live* table, const std::string& name, uint32_t* ident) {
  const kelto_live_result result = kelto_live_check(table);
  if (result != KELTO_LIVE_OK) return result;
  // A name with a NUL cannot be any variable's.
  if (name.find('\0') != std::string::npos) return KELTO_LIVE_UNKNOWN_VARIABLE;
  return kelto_live_find(table, name.c_str(), ident);
}

void ShowVariable(kelto_live* table, const httplib::Request& request, httplib::Response& response) {
  uint32_t ident = 0;
  kelto_live_result result = FindVariable(table, request.matches[1], &ident);
  if (result != KELTO_LIVE_OK) return AnswerFailure(response, result);
  const std::string json = VariableJson(table, ident, &result);
  if (result != KELTO_LIVE_OK) return AnswerFailure(response, result);
  Answer(response, 200, json + "\n");
}

// The body is the value as `keltoctl set` takes it; with ?escaped=1 as
// `keltoctl set --escaped` takes it; with a JSON content type a JSON value.
kelto_live_syntax BodySyntax(const httplib::Request& request) {
  if (request.get_header_value("Content-Type").starts_with(kJsonType)) return KELTO_LIVE_JSON;
  const std::string escaped = request.get_param_value("escaped");
  return escaped == "1" || escaped == "true" ? KELTO_LIVE_TEXT : KELTO_LIVE_RAW;
}

void SetVariable(kelto_live* table, const httplib::Request& request, httplib::Response& response) {
  uint32_t ident = 0;
  kelto_live_result result = FindVariable(table, request.matches[1], &ident);
  if (result != KELTO_LIVE_OK) return AnswerFailure(response, result);
  char reason[256] = "";
  result = kelto_live_set(table, ident, request.body.data(), request.body.size(),
                          BodySyntax(request), reason, sizeof reason);
  if (result == KELTO_LIVE_BAD_VALUE || result == KELTO_LIVE_WRONG_TYPE) {
    return Answer(response, 400, ErrorJson(reason[0] != '\0' ? reason : "bad value"));
  }
  if (result != KELTO_LIVE_OK) return AnswerFailure(response, result);
  const std::string json = VariableJson(table, ident, &result);
  if (result != KELTO_LIVE_OK) return AnswerFailure(response, result);
  Answer(response, 200, json + "\n");
}

void OpenEventStream(EventHub& hub, httplib::Response& response) {
  std::shared_ptr<EventHub::Stream> stream = hub.Subscribe();
  if (!stream) return Answer(response, 503, ErrorJson("too many event streams are open"));
  response.set_header("Cache-Control", "no-store");
  response.set_chunked_content_provider(
      "text/event-stream",
      [&hub, stream, first = true](size_t, httplib::DataSink& sink) mutable {
        // A page that lost its connection asks again after this long.
        std::string frames = first ? "retry: 1000\n\n" : "";
        first = false;
        if (!hub.TakeFrames(*stream, &frames, kKeepAlive)) {
          sink.done();
          return true;
        }
        return sink.write(frames.data(), frames.size());
      },
      [&hub, stream](bool) { hub.Unsubscribe(stream); });
}

}  // namespace

void AddApiRoutes(httplib::Server& server, LiveFeed& feed, EventHub& hub) {
  server.Get("/api/vars", [&feed](const httplib::Request& request, httplib::Response& response) {
    feed.WithTable([&](kelto_live* table) { ListVariables(table, request, response); });
  });
  server.Get("/api/vars/(.+)",
             [&feed](const httplib::Request& request, httplib::Response& response) {
               feed.WithTable([&](kelto_live* table) { ShowVariable(table, request, response); });
             });
  server.Put("/api/vars/(.+)",
             [&feed](const httplib::Request& request, httplib::Response& response) {
               feed.WithTable([&](kelto_live* table) { SetVariable(table, request, response); });
             });
  server.Get("/api/events", [&hub](const httplib::Request&, httplib::Response& response) {
    OpenEventStream(hub, response);
  });
}

}  // namespace keltoctl::serve
