#include "web/webroutes.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include "web/pagepolicy.h"
#include "web/resultspage.h"
#include "web/screenpages.h"

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

// 1 to 999999999 from digits only; 0 for anything else.
std::int32_t PositiveNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 9) return 0;
  std::int32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The number of `name=` in a query; 0 when absent or not a number.
std::int32_t QueryNumber(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::size_t end = std::min(query.find('&'), query.size());
    const std::string_view part = query.substr(0, end);
    if (part.size() > name.size() && part.substr(0, name.size()) == name && part[name.size()] == '=')
      return PositiveNumber(part.substr(name.size() + 1));
    query.remove_prefix(end < query.size() ? end + 1 : end);
  }
  return 0;
}

void Json(TWebResponse& response, unsigned version, const std::string& json) {
  response = {http::status::ok, version};
  Guard(response, kDataPolicy);
  response.set(http::field::content_type, "application/json; charset=utf-8");
  response.set(http::field::cache_control, "no-store");
  AllowAnyOrigin(response);
  response.body() = json;
}

}  // namespace

void PrepareWebPages() {
  PolicyOf(ResultsPageHtml());
  PolicyOf(OverlayPageHtml());
  PolicyOf(ClockPageHtml());
  PolicyOf(CarPageHtml());
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
    const std::size_t queryAt = std::min(path.find('?'), path.size());
    const std::string_view query = path.substr(std::min(queryAt + 1, path.size()));
    path = path.substr(0, queryAt);  // pollers add a query to get past caches
    constexpr std::string_view kCar = "/car/";
    constexpr std::string_view kJson = ".json";
    const bool carPath = path.size() > kCar.size() && path.substr(0, kCar.size()) == kCar;
    const bool carJson =
        carPath && path.size() > kCar.size() + kJson.size() && path.substr(path.size() - kJson.size()) == kJson;
    const std::int32_t car =
        !carPath ? 0
                 : PositiveNumber(path.substr(kCar.size(), path.size() - kCar.size() - (carJson ? kJson.size() : 0)));
    const std::optional<std::string>* laps = carJson && car != 0 ? &CarLapsJson(table, car) : nullptr;
    if (path == "/") {
      reply.response = Page(http::status::ok, version, ResultsPageHtml());
    } else if (path == "/overlay") {
      reply.response = Page(http::status::ok, version, OverlayPageHtml());
    } else if (path == "/clock") {
      reply.response = Page(http::status::ok, version, ClockPageHtml());
    } else if (car != 0 && !carJson) {
      reply.response = Page(http::status::ok, version, CarPageHtml());
    } else if (laps != nullptr && laps->has_value()) {
      Json(reply.response, version, **laps);
    } else if (path == "/results.json") {
      Json(reply.response, version, ClassTableJson(table, QueryNumber(query, "class")));
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
