#include "web/webroutes.h"

#include <sstream>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>

#include "web/resultspage.h"

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
    path = path.substr(0, path.find('?'));  // pollers add a query to get past caches
    if (path == "/") {
      reply.response = {http::status::ok, version};
      reply.response.set(http::field::content_type, "text/html; charset=utf-8");
      reply.response.set(http::field::cache_control, "no-cache");
      reply.response.body() = std::string(ResultsPageHtml());
    } else if (path == "/results.json") {
      reply.response = {http::status::ok, version};
      reply.response.set(http::field::content_type, "application/json; charset=utf-8");
      reply.response.set(http::field::cache_control, "no-store");
      AllowAnyOrigin(reply.response);
      reply.response.body() = table.json;
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
