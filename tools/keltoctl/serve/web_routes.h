// What the server answers: the JSON API and the page's embedded files,
// nothing else.
#ifndef KELTOCTL_SERVE_WEB_ROUTES_H_
#define KELTOCTL_SERVE_WEB_ROUTES_H_

#include <optional>

#include "keltoctl/serve/event_hub.h"
#include "keltoctl/serve/http_server.h"
#include "keltoctl/serve/live_feed.h"
#include "keltoctl/serve/request_guard.h"

namespace keltoctl::serve {

// The checks of request_guard.h, from the headers alone: a refusal, or
// nothing when the request may go on.
std::optional<HttpReply> ScreenRequest(const HttpRequest& request, const GuardSettings& settings);

// GET /api/vars[?match=PATTERN], GET and PUT /api/vars/NAME (NAME
// percent-encoded, any byte), GET /api/events; nothing for other paths.
std::optional<HttpReply> AnswerApi(const HttpRequest& request, LiveFeed& feed, EventHub& hub);

// GET / and the page's files; 404 for anything else. A page opened with
// ?token=T gets this server's session cookie, so that its scripts, styles
// and event stream are let in too.
HttpReply AnswerPage(const HttpRequest& request, const GuardSettings& settings);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_WEB_ROUTES_H_
