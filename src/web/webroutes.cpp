#include "web/webroutes.h"

#include <map>
#include <mutex>
#include <sstream>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include "web/pagepolicy.h"
#include "web/resultspage.h"

namespace http = boost::beast::http;

namespace {

// What the browser is told of every answer: no guessing of types, no
// address of the page sent onward, and what may run.
void Guard(TWebResponse& response, std::string_view policy) {
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
  response.set("Content-Security-Policy", boost::beast::string_view(policy.data(), policy.size()));
}

TWebResponse Plain(http::status status, unsigned version, std::string_view text) {
  TWebResponse response{status, version};
  Guard(response, kDataPolicy);
  response.set(http::field::content_type, "text/plain; charset=utf-8");
  response.set(http::field::cache_control, "no-store");
  response.body() = std::string(text);
  response.prepare_payload();
  return response;
}

// The data routes may be read by any page: a streaming overlay, the track's
// own site.
void AllowAnyOrigin(TWebResponse& response) { response.set(http::field::access_control_allow_origin, "*"); }

// A page's policy is made from its text once; the pages are fixed texts, so
// their address names them.
const std::string& PolicyOf(std::string_view html) {
  static std::mutex lock;
  static std::map<const char*, std::string> policies;
  std::lock_guard<std::mutex> guard(lock);
  auto found = policies.find(html.data());
  if (found == policies.end()) found = policies.emplace(html.data(), PagePolicy(html)).first;
  return found->second;
}

TWebResponse Page(http::status status, unsigned version, std::string_view html) {
  TWebResponse response{status, version};
  Guard(response, PolicyOf(html));
  response.set(http::field::content_type, "text/html; charset=utf-8");
  response.set(http::field::cache_control, "no-cache");
  response.body() = std::string(html);
  return response;
}

// Shown to a browser while the server is full: it asks again by itself.
constexpr std::string_view kBusyPage = R"page(<!DOCTYPE html>
<html lang="ru"><head><meta charset="utf-8"><meta http-equiv="refresh" content="5">
<meta name="viewport" content="width=device-width, initial-scale=1"><title>Результаты</title>
<style>body{margin:0;background:#000;color:#bbb;font:5vh sans-serif;text-align:center;padding-top:40vh}</style>
</head><body>Подождите…</body></html>
)page";

}  // namespace

void PrepareWebPages() {
  PolicyOf(ResultsPageHtml());
  PolicyOf(kBusyPage);
}

void ConfigureRequestParser(TWebRequestParser& parser) {
  parser.header_limit(kRequestHeadLimit);
  parser.body_limit(0);
  parser.eager(false);
}

TWebResponse RefusedRequest(boost::beast::error_code error) {
  TWebResponse response = error == http::error::header_limit
                              ? Plain(http::status::request_header_fields_too_large, 11, "Request head too large\n")
                              : Plain(http::status::bad_request, 11, "Bad request\n");
  response.keep_alive(false);
  return response;
}

TWebResponse ServiceUnavailable(std::string_view target) {
  TWebResponse response = target.substr(0, target.find('?')) == "/"
                              ? Page(http::status::service_unavailable, 11, kBusyPage)
                              : Plain(http::status::service_unavailable, 11, "Too many clients\n");
  response.prepare_payload();
  response.set(http::field::retry_after, "5");
  response.keep_alive(false);
  return response;
}

TWebReply Respond(const TWebRequest& request, const TServedTable& table) {
  TWebReply reply;
  const unsigned version = request.version();
  const bool head = request.method() == http::verb::head;
  if (request.method() != http::verb::get && !head) {
    reply.response = Plain(http::status::method_not_allowed, version, "Only GET and HEAD\n");
    reply.response.set(http::field::allow, "GET, HEAD");
  } else {
    std::string_view path(request.target().data(), request.target().size());
    path = path.substr(0, path.find('?'));  // pollers add a query to get past caches
    if (path == "/") {
      reply.response = Page(http::status::ok, version, ResultsPageHtml());
    } else if (path == "/results.json") {
      reply.response = {http::status::ok, version};
      Guard(reply.response, kDataPolicy);
      reply.response.set(http::field::content_type, "application/json; charset=utf-8");
      reply.response.set(http::field::cache_control, "no-store");
      AllowAnyOrigin(reply.response);
      reply.response.body() = table.json;
    } else if (path == "/events") {
      reply.response = {http::status::ok, version};
      Guard(reply.response, kDataPolicy);
      reply.response.set(http::field::content_type, "text/event-stream; charset=utf-8");
      reply.response.set(http::field::cache_control, "no-store");
      AllowAnyOrigin(reply.response);
      if (!head) {
        // No length: the body is the stream, which ends when the client leaves.
        reply.response.keep_alive(false);
        reply.eventStream = true;
        return reply;
      }
    } else {
      reply.response = Plain(http::status::not_found, version, "Not found\n");
    }
  }
  reply.response.prepare_payload();
  if (head) reply.response.body().clear();  // the length stays that of the GET
  reply.response.keep_alive(request.keep_alive());
  return reply;
}

std::string EventStreamStart(const TWebResponse& header, const TServedTable& table) {
  std::ostringstream out;
  out << header.base();
  // How long a browser waits before it opens the stream again by itself,
  // after the program's restart or a lost network.
  return out.str() + "retry: " + std::to_string(kEventRetryMilliseconds) + "\n" + table.event;
}

std::string AnswerBytes(std::string_view bytes, const TServedTable& table) {
  TWebRequestParser parser;
  ConfigureRequestParser(parser);
  boost::beast::error_code error;
  std::size_t used = 0;
  while (!parser.is_done()) {
    const std::size_t n = parser.put(boost::asio::buffer(bytes.data() + used, bytes.size() - used), error);
    used += n;
    if (error == http::error::need_more) {
      if (n == 0) return {};  // the request is not complete yet
      error = {};
      continue;
    }
    if (error) break;
  }
  std::ostringstream out;
  if (error) {
    out << RefusedRequest(error);
    return out.str();
  }
  const TWebReply reply = Respond(parser.get(), table);
  if (reply.eventStream) return EventStreamStart(reply.response, table);
  out << reply.response;
  return out.str();
}
