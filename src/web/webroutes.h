// What the results page's server answers: the fixed routes, the limits on a
// request and the replies, each with the headers that keep a browser from
// running or sending anything the page did not mean. No file is read and nothing here reaches the
// board or the settings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "web/resultsjson.h"

using TWebRequest = boost::beast::http::request<boost::beast::http::empty_body>;
using TWebRequestParser = boost::beast::http::request_parser<boost::beast::http::empty_body>;
using TWebResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The request line and the headers together.
inline constexpr std::uint32_t kRequestHeadLimit = 8192;
// The event stream's "retry:", sent before its first event.
inline constexpr int kEventRetryMilliseconds = 3000;

struct TWebReply {
  TWebResponse response;
  // GET /events: the response has no length; the stream's events follow it
  // until the client leaves.
  bool eventStream = false;
};

// Limits every request: no body (GET and HEAD carry none), a bounded head.
void ConfigureRequestParser(TWebRequestParser& parser);
// A request the parser refused: 431 for a head over the limit, 400 for the
// rest. The connection closes after it.
TWebResponse RefusedRequest(boost::beast::error_code error);
// A client over the limit of clients at once, asking for `target`: the page
// gets a small page that asks again by itself, the data routes plain text.
TWebResponse ServiceUnavailable(std::string_view target);
// Makes the pages' policies (their inline hashes) before the first request.
void PrepareWebPages();
// `table` is what the page shows now.
TWebReply Respond(const TWebRequest& request, const TServedTable& table);

// The response header of an event stream followed by its first event: the
// bytes a client connecting to /events gets at once.
std::string EventStreamStart(const TWebResponse& header, const TServedTable& table);

// The server's whole answer to the bytes a client sent on a fresh
// connection, as written to the socket; empty while the request is not
// complete. For the fuzz target and the tests: the same parser, limits and
// routes as the server.
std::string AnswerBytes(std::string_view bytes, const TServedTable& table);
