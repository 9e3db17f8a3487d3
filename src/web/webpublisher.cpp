#include "web/webpublisher.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include "web/resultsjson.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// The pub/sub server answers a publish with a few lines of channel figures.
constexpr std::uint64_t kAnswerLimit = 64 * 1024;

bool IsUrlCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte > 0x20 && byte < 0x7F && c != '#';
}

}  // namespace

std::optional<TPublishTarget> ParsePublishUrl(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (url.size() <= kScheme.size() || url.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  if (!std::all_of(url.begin(), url.end(), IsUrlCharacter)) return std::nullopt;
  url.remove_prefix(kScheme.size());
  const std::size_t slash = url.find('/');
  if (slash == std::string_view::npos) return std::nullopt;  // the channel is in the path
  const std::string_view authority = url.substr(0, slash);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  TPublishTarget target;
  target.target = std::string(url.substr(slash));
  target.hostHeader = std::string(authority);
  std::string_view host = authority;
  std::string_view port = "80";
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return std::nullopt;
      port = rest.substr(1);
    }
    host = host.substr(1, close - 1);
  } else if (const std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
    port = host.substr(colon + 1);
    host = host.substr(0, colon);
  }
  if (host.empty() || (host.find(':') != std::string_view::npos && authority.front() != '[')) return std::nullopt;
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  const int number = std::stoi(std::string(port));
  if (number < 1 || number > 65535) return std::nullopt;
  target.host = std::string(host);
  target.port = std::to_string(number);
  return target;
}

struct TWebPublisher::Impl : std::enable_shared_from_this<TWebPublisher::Impl> {
  Impl(asio::io_context& context, TPublishTarget where, Options opts)
      : target(std::move(where)),
        options(opts),
        resolver(context),
        stream(context),
        backoffTimer(context),
        backoff(opts.firstBackoff) {}

  void Offer(std::shared_ptr<const TServedTable> table);
  void Next();
  void Send();
  void Connect();
  void Write();
  void Read();
  void Answered();
  void Broken();
  void Drop();
  void Disconnect();
  void Close();

  const TPublishTarget target;
  const Options options;
  tcp::resolver resolver;
  beast::tcp_stream stream;
  asio::steady_timer backoffTimer;
  beast::flat_buffer buffer;
  http::request<http::string_body> request;
  std::optional<http::response_parser<http::string_body>> parser;

  std::shared_ptr<const TServedTable> inFlight;
  std::shared_ptr<const TServedTable> waiting;
  std::shared_ptr<const TServedTable> latest;  // the newest offered, sent again after a failure
  std::optional<std::uint64_t> deliveredSequence;
  std::chrono::milliseconds backoff;
  int requestsOnConnection = 0;
  bool connected = false;
  bool busy = false;  // an event on its way: connecting, writing or waiting for the answer
  bool backingOff = false;
  bool retried = false;
  bool closed = false;

  std::atomic<TWebPublishState> state{TWebPublishState::psStarting};
  std::atomic<std::uint64_t> delivered{0};
  std::atomic<std::uint64_t> dropped{0};
  std::atomic<std::uint64_t> connections{0};
};

void TWebPublisher::Impl::Offer(std::shared_ptr<const TServedTable> table) {
  if (closed || table == nullptr) return;
  if (latest != nullptr && table->sequence <= latest->sequence) return;
  latest = table;
  waiting = std::move(table);  // a newer table replaces the one waiting
  Next();
}

void TWebPublisher::Impl::Next() {
  if (closed || busy || backingOff || waiting == nullptr) return;
  inFlight = std::move(waiting);
  retried = false;
  Send();
}

void TWebPublisher::Impl::Send() {
  busy = true;
  if (connected) {
    Write();
  } else {
    Connect();
  }
}

void TWebPublisher::Impl::Connect() {
  resolver.async_resolve(target.host, target.port,
                         [self = shared_from_this()](beast::error_code error, tcp::resolver::results_type found) {
                           if (self->closed) return;
                           if (error) {
                             self->Drop();
                             return;
                           }
                           self->stream.expires_after(self->options.requestTimeout);
                           self->stream.async_connect(found,
                                                      [self](beast::error_code connectError, const tcp::endpoint&) {
                                                        if (self->closed) return;
                                                        if (connectError) {
                                                          self->Drop();
                                                          return;
                                                        }
                                                        self->connected = true;
                                                        self->requestsOnConnection = 0;
                                                        ++self->connections;
                                                        beast::error_code ignored;
                                                        self->stream.socket().set_option(tcp::no_delay(true), ignored);
                                                        self->Write();
                                                      });
                         });
}

void TWebPublisher::Impl::Write() {
  request = {http::verb::post, target.target, 11};
  request.set(http::field::host, target.hostHeader);
  request.set(http::field::content_type, "application/json; charset=utf-8");
  request.keep_alive(true);
  request.body() = inFlight->json;
  request.prepare_payload();
  stream.expires_after(options.requestTimeout);
  http::async_write(stream, request, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (self->closed) return;
    if (error) {
      self->Broken();
    } else {
      self->Read();
    }
  });
}

void TWebPublisher::Impl::Read() {
  parser.emplace();
  parser->body_limit(kAnswerLimit);
  http::async_read(stream, buffer, *parser, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (self->closed) return;
    if (error) {
      self->Broken();
    } else {
      self->Answered();
    }
  });
}

void TWebPublisher::Impl::Answered() {
  // The connection waits for the next event for as long as it takes: the
  // request's time limit would close it while idle.
  stream.expires_never();
  ++requestsOnConnection;
  const auto& answer = parser->get();
  const unsigned status = answer.result_int();
  if (!answer.keep_alive()) Disconnect();
  if (status < 200 || status > 299) {
    // Refused (a wrong location, a server that will not take it): trying
    // again at once would be refused the same way.
    Drop();
    return;
  }
  busy = false;
  ++delivered;
  deliveredSequence = inFlight->sequence;
  inFlight.reset();
  backoff = options.firstBackoff;
  state = TWebPublishState::psDelivering;
  Next();
}

void TWebPublisher::Impl::Broken() {
  const bool reused = requestsOnConnection > 0;
  Disconnect();
  // A keep-alive connection the server has closed while idle fails the
  // next event without saying anything about the server: once more on a
  // fresh connection.
  if (reused && !retried) {
    retried = true;
    Send();
    return;
  }
  Drop();
}

void TWebPublisher::Impl::Drop() {
  Disconnect();
  busy = false;
  inFlight.reset();
  ++dropped;
  state = TWebPublishState::psFailing;
  backingOff = true;
  backoffTimer.expires_after(backoff);
  backoff = std::min(backoff * 2, options.mostBackoff);
  backoffTimer.async_wait([self = shared_from_this()](beast::error_code error) {
    if (error || self->closed) return;
    self->backingOff = false;
    // Nothing newer came meanwhile: the subscribers still lack the newest table.
    if (self->waiting == nullptr && self->latest != nullptr &&
        (!self->deliveredSequence || *self->deliveredSequence < self->latest->sequence)) {
      self->waiting = self->latest;
    }
    self->Next();
  });
}

void TWebPublisher::Impl::Disconnect() {
  beast::error_code ignored;
  if (stream.socket().is_open()) stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream.close();
  connected = false;
  buffer.clear();
}

void TWebPublisher::Impl::Close() {
  if (closed) return;
  closed = true;
  resolver.cancel();
  backoffTimer.cancel();
  Disconnect();
  waiting.reset();
  inFlight.reset();
  latest.reset();
}

TWebPublisher::TWebPublisher(asio::io_context& io, TPublishTarget target)
    : TWebPublisher(io, std::move(target), Options{}) {}

TWebPublisher::TWebPublisher(asio::io_context& io, TPublishTarget target, Options options)
    : impl_(std::make_shared<Impl>(io, std::move(target), options)) {}

TWebPublisher::~TWebPublisher() = default;

void TWebPublisher::Offer(std::shared_ptr<const TServedTable> table) { impl_->Offer(std::move(table)); }

void TWebPublisher::Close() { impl_->Close(); }

TWebPublishState TWebPublisher::State() const { return impl_->state.load(); }
std::uint64_t TWebPublisher::Delivered() const { return impl_->delivered.load(); }
std::uint64_t TWebPublisher::Dropped() const { return impl_->dropped.load(); }
std::uint64_t TWebPublisher::Connections() const { return impl_->connections.load(); }
