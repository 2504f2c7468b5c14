// The guard in front of every route, and the page's embedded files.
#include <string>

#include "keltoctl/serve/web_assets.h"
#include "keltoctl/serve/web_routes.h"

namespace keltoctl::serve {
namespace {

bool IsAssetPath(std::string_view path) {
  if (path.empty() || path.front() != '/') return false;
  for (const char c : path.substr(1)) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '.' || c == '-';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

std::optional<HttpReply> ScreenRequest(const HttpRequest& request, const GuardSettings& settings) {
  RequestFacts facts;
  // Views into the library's copies of the headers, which outlive the check.
  facts.host = request.Header("Host");
  facts.origin = request.Header("Origin");
  facts.authorization = request.Header("Authorization");
  facts.fetch_site = request.Header("Sec-Fetch-Site");
  const std::string query_token = request.Query("token");
  facts.query_token = query_token;
  const bool reads = request.method == "GET" || request.method == "HEAD";
  // Only the event stream takes a ticket: elsewhere one would be a way to
  // spend tickets without opening a stream.
  const std::string ticket =
      reads && request.raw_path == kEventsPath ? request.Query("ticket") : "";
  facts.ticket = ticket;
  // Asking for a ticket changes no value.
  facts.writes = !reads && request.raw_path != kTicketPath;
  facts.needs_token = IsApiPath(request.raw_path);
  const Verdict verdict = CheckRequest(settings, facts);
  if (verdict.status == 0) return std::nullopt;
  return Refusal(verdict.status, verdict.reason);
}

bool IsApiPath(std::string_view raw_path) {
  return raw_path == "/api" || raw_path.starts_with("/api/");
}

HttpReply AnswerPage(const HttpRequest& request) {
  const bool reads = request.method == "GET" || request.method == "HEAD";
  const WebAsset* asset =
      reads && IsAssetPath(request.raw_path) ? FindWebAsset(request.raw_path) : nullptr;
  if (asset == nullptr) return Refusal(404, "not found");
  HttpReply reply;
  reply.content_type = asset->content_type;
  reply.static_body = asset->data;
  reply.static_size = asset->size;
  return reply;
}

}  // namespace keltoctl::serve
