// Publishing each table the results server sends on /events to a pub/sub
// server past this PC (nginx with its nchan module), which fans it out to
// the phones and screens this PC cannot serve itself. One keep-alive HTTP
// client on the server's thread: at most one event in flight and one
// waiting, which a newer table replaces; an event that cannot be delivered
// is dropped, and after a back-off the newest table is sent again.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace boost::asio {
class io_context;
}

struct TServedTable;

// Where the tables go: the WebPublish URL taken apart.
struct TPublishTarget {
  std::string host;    // name or dotted address, as written
  std::string port;    // "80" when the URL gives none
  std::string target;  // path and query, from the first '/'
  std::string hostHeader;
};

// nullopt unless `url` is "http://host[:port]/path" with a host, a port in
// 1..65535 when one is written, and a path; no user part, no fragment, no
// blanks.
std::optional<TPublishTarget> ParsePublishUrl(std::string_view url);

enum class TWebPublishState : std::int32_t {
  psStarting,    // nothing tried yet
  psDelivering,  // the last event was taken
  psFailing,     // the last event could not be delivered
};

class TWebPublisher {
 public:
  struct Options {
    std::chrono::milliseconds firstBackoff{500};  // doubled after each failure in a row
    std::chrono::milliseconds mostBackoff{10000};
    std::chrono::milliseconds requestTimeout{5000};  // connect, send and answer of one event
  };

  TWebPublisher(boost::asio::io_context& io, TPublishTarget target);
  TWebPublisher(boost::asio::io_context& io, TPublishTarget target, Options options);
  ~TWebPublisher();
  TWebPublisher(const TWebPublisher&) = delete;
  TWebPublisher& operator=(const TWebPublisher&) = delete;

  // The io_context's thread only. A table no newer than one offered before
  // is ignored.
  void Offer(std::shared_ptr<const TServedTable> table);
  // The io_context's thread only: closes the connection and forgets what
  // waits; nothing is sent after it.
  void Close();

  // Any thread.
  TWebPublishState State() const;
  std::uint64_t Delivered() const;
  std::uint64_t Dropped() const;
  std::uint64_t Connections() const;  // opened so far

  struct Impl;

 private:
  // Shared with the handlers in flight, which may outlive the publisher
  // until the io_context lets them go.
  std::shared_ptr<Impl> impl_;
};
