// What the server answers: the JSON API and the page's embedded files,
// nothing else.
#ifndef KELTOCTL_SERVE_WEB_ROUTES_H_
#define KELTOCTL_SERVE_WEB_ROUTES_H_

#include <httplib.h>

#include "keltoctl/serve/event_hub.h"
#include "keltoctl/serve/live_feed.h"
#include "keltoctl/serve/request_guard.h"

namespace keltoctl::serve {

// The checks of request_guard.h, run before any route, and the bound on
// connections (see bounded_task_queue.h).
void InstallGuard(httplib::Server& server, const GuardSettings& settings);

// GET /api/vars[?match=PATTERN], GET and PUT /api/vars/NAME, GET /api/events.
void AddApiRoutes(httplib::Server& server, LiveFeed& feed, EventHub& hub);

// GET / and the page's files. A page opened with ?token=T gets the token as
// a cookie, so that its scripts, styles and event stream carry it too.
void AddPageRoutes(httplib::Server& server, const GuardSettings& settings);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_WEB_ROUTES_H_
