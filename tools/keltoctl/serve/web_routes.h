// What the server answers: the JSON API and the page's embedded files,
// nothing else.
#ifndef KELTOCTL_SERVE_WEB_ROUTES_H_
#define KELTOCTL_SERVE_WEB_ROUTES_H_

#include <optional>
#include <string_view>

#include "keltoctl/serve/event_hub.h"
#include "keltoctl/serve/http_server.h"
#include "keltoctl/serve/live_feed.h"
#include "keltoctl/serve/request_guard.h"
#include "keltoctl/serve/stream_tickets.h"

namespace keltoctl::serve {

// The checks of request_guard.h, from the headers alone: a refusal, or
// nothing when the request may go on.
std::optional<HttpReply> ScreenRequest(const HttpRequest& request, const GuardSettings& settings);

inline constexpr std::string_view kEventsPath = "/api/events";
inline constexpr std::string_view kTicketPath = "/api/ticket";

// The paths that need the token when one is set: the API. The page's own
// files hold no secret and load without it, so a page never needs a
// credential that the browser would send along by itself.
bool IsApiPath(std::string_view raw_path);

// GET /api/vars[?match=PATTERN], GET and PUT /api/vars/NAME (NAME
// percent-encoded, any byte), GET /api/events[?ticket=T], POST /api/ticket
// (a ticket for one event stream); nothing for other paths.
std::optional<HttpReply> AnswerApi(const HttpRequest& request, LiveFeed& feed, EventHub& hub,
                                   StreamTickets& tickets);

// GET / and the page's files; 404 for anything else.
HttpReply AnswerPage(const HttpRequest& request);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_WEB_ROUTES_H_
