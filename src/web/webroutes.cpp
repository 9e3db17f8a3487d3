#include "web/webroutes.h"

#include <algorithm>
#include <optional>
#include <sstream>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include "web/resultspage.h"
#include "web/screenpages.h"

namespace http = boost::beast::http;

namespace {

TWebResponse Plain(http::status status, unsigned version, std::string_view text) {
  TWebResponse response{status, version};
  response.set(http::field::content_type, "text/plain; charset=utf-8");
  response.set(http::field::cache_control, "no-store");
  response.body() = std::string(text);
  response.prepare_payload();
  return response;
}

// The data routes may be read by any page: a streaming overlay, the track's
// own site.
void AllowAnyOrigin(TWebResponse& response) { response.set(http::field::access_control_allow_origin, "*"); }

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

void Page(TWebResponse& response, unsigned version, std::string_view html) {
  response = {http::status::ok, version};
  response.set(http::field::content_type, "text/html; charset=utf-8");
  response.set(http::field::cache_control, "no-cache");
  response.body() = std::string(html);
}

void Json(TWebResponse& response, unsigned version, const std::string& json) {
  response = {http::status::ok, version};
  response.set(http::field::content_type, "application/json; charset=utf-8");
  response.set(http::field::cache_control, "no-store");
  AllowAnyOrigin(response);
  response.body() = json;
}

}  // namespace

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

TWebResponse ServiceUnavailable() {
  TWebResponse response = Plain(http::status::service_unavailable, 11, "Too many clients\n");
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
      Page(reply.response, version, ResultsPageHtml());
    } else if (path == "/overlay") {
      Page(reply.response, version, OverlayPageHtml());
    } else if (path == "/clock") {
      Page(reply.response, version, ClockPageHtml());
    } else if (car != 0 && !carJson) {
      Page(reply.response, version, CarPageHtml());
    } else if (laps != nullptr && laps->has_value()) {
      Json(reply.response, version, **laps);
    } else if (path == "/results.json") {
      Json(reply.response, version, ClassTableJson(table, QueryNumber(query, "class")));
    } else if (path == "/events") {
      reply.response = {http::status::ok, version};
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
  return out.str() + table.event;
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
