// The guard in front of every route, and the page's embedded files.
#include <string>

#include "keltoctl/serve/access_token.h"
#include "keltoctl/serve/bounded_task_queue.h"
#include "keltoctl/serve/json_text.h"
#include "keltoctl/serve/web_assets.h"
#include "keltoctl/serve/web_routes.h"

namespace keltoctl::serve {
namespace {

RequestFacts FactsOf(const httplib::Request& request) {
  RequestFacts facts;
  // Views into the request's own strings, which outlive the check.
  auto header = [&request](const char* name) -> std::string_view {
    const auto found = request.headers.find(name);
    return found == request.headers.end() ? std::string_view() : std::string_view(found->second);
  };
  facts.host = header("Host");
  facts.origin = header("Origin");
  facts.authorization = header("Authorization");
  facts.cookie = header("Cookie");
  facts.fetch_site = header("Sec-Fetch-Site");
  const auto token = request.params.find("token");
  if (token != request.params.end()) facts.query_token = token->second;
  facts.writes = request.method != "GET" && request.method != "HEAD";
  return facts;
}

}  // namespace

void InstallGuard(httplib::Server& server, const GuardSettings& settings) {
  server.set_pre_routing_handler(
      [&settings](const httplib::Request& request, httplib::Response& response) {
        if (BoundedTaskQueue::Overloaded()) {
          response.status = 503;
          response.set_header("Connection", "close");
          response.set_content(ErrorJson("the server is busy"), "application/json");
          return httplib::Server::HandlerResponse::Handled;
        }
        const Verdict verdict = CheckRequest(settings, FactsOf(request));
        if (verdict.status == 0) return httplib::Server::HandlerResponse::Unhandled;
        response.status = verdict.status;
        response.set_content(ErrorJson(verdict.reason), "application/json");
        return httplib::Server::HandlerResponse::Handled;
      });
}

void AddPageRoutes(httplib::Server& server, const GuardSettings& settings) {
  server.Get("/[A-Za-z0-9_.-]*",
             [&settings](const httplib::Request& request, httplib::Response& response) {
               const WebAsset* asset = FindWebAsset(request.path);
               if (asset == nullptr) {
                 response.status = 404;
                 response.set_content(ErrorJson("not found"), "application/json");
                 return;
               }
               const std::string token = request.get_param_value("token");
               if (!settings.token.empty() && SameToken(token, settings.token)) {
                 // HttpOnly: the page's scripts
                 // never see it; Strict: other sites' pages never send it.
                 response.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + token +
                                                       "; Path=/; HttpOnly; SameSite=Strict");
               }
               response.set_content(reinterpret_cast<const char*>(asset->data), asset->size,
                                    asset->content_type);
             });
}

}  // namespace keltoctl::serve
