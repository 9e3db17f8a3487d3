// Publishing the events to a pub/sub server: the URL rule, one keep-alive
// connection with the newest table winning, a connection the server closed
// while idle, and a server that is away and comes back.
#include "web/webpublisher.h"

#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <gtest/gtest.h>

#include "web/resultsjson.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<const TServedTable> Table(std::uint64_t sequence) {
  auto table = std::make_shared<TServedTable>();
  table->sequence = sequence;
  table->json = "{\"sequence\":" + std::to_string(sequence) + "}";
  return table;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A publisher location on loopback, on a thread of its own: records each
// POST with the connection it came on and answers 202 as the pub/sub
// server does, or holds the answers while told to.
class PubServer {
 public:
  struct Received {
    int connection;
    std::string body;
  };

  explicit PubServer(std::uint16_t port = 0, bool closeAfterAnswer = false)
      : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), port)), closeAfterAnswer_(closeAfterAnswer) {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~PubServer() {
    asio::post(io_, [this] {
      acceptor_.close();
      for (auto& c : connections_) c.socket.close();
    });
    io_.stop();
    thread_.join();
  }
  std::uint16_t Port() const { return acceptor_.local_endpoint().port(); }
  std::vector<Received> Requests() {
    std::lock_guard<std::mutex> guard(lock_);
    return requests_;
  }
  void Hold(bool hold) {
    asio::post(io_, [this, hold] {
      holding_ = hold;
      if (hold) return;
      for (auto* c : held_) Answer(*c);
      held_.clear();
    });
  }

 private:
  struct Connection {
    explicit Connection(tcp::socket s, int n) : socket(std::move(s)), number(n) {}
    tcp::socket socket;
    int number;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
  };

  void Accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error) return;
      connections_.emplace_back(std::move(socket), static_cast<int>(connections_.size()) + 1);
      Read(connections_.back());
      Accept();
    });
  }
  void Read(Connection& c) {
    c.request = {};
    http::async_read(c.socket, c.buffer, c.request, [this, &c](beast::error_code error, std::size_t) {
      if (error) return;
      {
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back({c.number, c.request.body()});
      }
      if (holding_) {
        held_.push_back(&c);
      } else {
        Answer(c);
      }
    });
  }
  void Answer(Connection& c) {
    c.response = {http::status::accepted, 11};
    c.response.body() = "queued messages: 1\n";
    c.response.keep_alive(true);
    c.response.prepare_payload();
    http::async_write(c.socket, c.response, [this, &c](beast::error_code error, std::size_t) {
      if (error) return;
      if (closeAfterAnswer_) {
        c.socket.close();  // silently, as an idle keep-alive connection is closed
      } else {
        Read(c);
      }
    });
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  const bool closeAfterAnswer_;
  std::list<Connection> connections_;
  std::vector<Connection*> held_;
  bool holding_ = false;
  std::mutex lock_;
  std::vector<Received> requests_;
  std::thread thread_;
};

// The publisher on an io_context thread of its own, as on the web server's.
class Publishing {
 public:
  explicit Publishing(const std::string& url, TWebPublisher::Options options = Fast())
      : guard_(io_.get_executor()), publisher_(io_, *ParsePublishUrl(url), options), thread_([this] { io_.run(); }) {}
  ~Publishing() {
    asio::post(io_, [this] { publisher_.Close(); });
    guard_.reset();
    io_.stop();
    thread_.join();
  }
  void Offer(std::uint64_t sequence) {
    asio::post(io_, [this, sequence] { publisher_.Offer(Table(sequence)); });
  }
  TWebPublisher& Publisher() { return publisher_; }
  static TWebPublisher::Options Fast() {
    TWebPublisher::Options options;
    options.firstBackoff = 20ms;
    options.mostBackoff = 100ms;
    options.requestTimeout = 2000ms;
    return options;
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  TWebPublisher publisher_;
  std::thread thread_;
};

std::string Url(std::uint16_t port) { return "http://127.0.0.1:" + std::to_string(port) + "/pub/results"; }

TEST(ParsePublishUrl, OnlyHttpWithAHostAndAPath) {
  const auto target = ParsePublishUrl("http://192.168.1.5:8081/pub/results?id=1");
  ASSERT_TRUE(target);
  EXPECT_EQ(target->host, "192.168.1.5");
  EXPECT_EQ(target->port, "8081");
  EXPECT_EQ(target->target, "/pub/results?id=1");
  EXPECT_EQ(target->hostHeader, "192.168.1.5:8081");
  EXPECT_EQ(ParsePublishUrl("http://nginx.local/pub")->port, "80");
  EXPECT_EQ(ParsePublishUrl("http://[::1]:81/pub")->host, "::1");
  for (const char* bad : {"", "http://", "https://h/pub", "ftp://h/pub", "h:8081/pub", "http://host", "http:///pub",
                          "http://h:/pub", "http://h:0/pub", "http://h:65536/pub", "http://h:80x/pub", "http://u@h/pub",
                          "http://h/p ub", "http://h/pub#x", "http://a:b:80/pub", "http://[::1/pub"}) {
    EXPECT_FALSE(ParsePublishUrl(bad)) << bad;
  }
}

// Every event on one connection; while one is in flight, the newest of those
// offered meanwhile is the only one that follows it.
TEST(WebPublisher, OneKeepAliveConnectionAndTheNewestWaitingTableWins) {
  PubServer server;
  server.Hold(true);
  TWebPublisher::Options options = Publishing::Fast();
  options.requestTimeout = 300ms;
  Publishing publishing(Url(server.Port()), options);
  publishing.Offer(1);
  ASSERT_TRUE(WaitFor([&] { return server.Requests().size() == 1; }));
  for (std::uint64_t s = 2; s <= 5; ++s) publishing.Offer(s);
  publishing.Offer(4);  // older than one offered: ignored
  std::this_thread::sleep_for(50ms);
  server.Hold(false);
  ASSERT_TRUE(WaitFor([&] { return publishing.Publisher().Delivered() == 2; }));
  std::this_thread::sleep_for(500ms);  // idle past one request's time limit: the connection stays
  for (std::uint64_t s = 6; s <= 8; ++s) {
    publishing.Offer(s);
    ASSERT_TRUE(WaitFor([&] { return publishing.Publisher().Delivered() == s - 3; }));
  }
  const auto requests = server.Requests();
  std::vector<std::string> bodies;
  for (const auto& r : requests) {
    bodies.push_back(r.body);
    EXPECT_EQ(r.connection, 1);
  }
  EXPECT_EQ(bodies, (std::vector<std::string>{"{\"sequence\":1}", "{\"sequence\":5}", "{\"sequence\":6}",
                                              "{\"sequence\":7}", "{\"sequence\":8}"}));
  EXPECT_EQ(publishing.Publisher().Connections(), 1u);
  EXPECT_EQ(publishing.Publisher().Dropped(), 0u);
  EXPECT_EQ(publishing.Publisher().State(), TWebPublishState::psDelivering);
}

// A keep-alive connection the server closed while idle costs no event.
TEST(WebPublisher, ConnectionClosedWhileIdleIsOpenedAgainForTheSameEvent) {
  PubServer server(0, /*closeAfterAnswer=*/true);
  Publishing publishing(Url(server.Port()));
  for (std::uint64_t s = 1; s <= 4; ++s) {
    publishing.Offer(s);
    ASSERT_TRUE(WaitFor([&] { return publishing.Publisher().Delivered() == s; })) << s;
    std::this_thread::sleep_for(20ms);  // the close reaches the publisher before the next event
  }
  EXPECT_EQ(server.Requests().size(), 4u);
  EXPECT_EQ(publishing.Publisher().Dropped(), 0u);
  EXPECT_EQ(publishing.Publisher().State(), TWebPublishState::psDelivering);
}

// Nobody listening: events are dropped and the state says so; once the
// server is there, the newest table reaches it without a new event.
TEST(WebPublisher, ServerAwayThenBackGetsTheNewestTableAfterTheBackoff) {
  std::uint16_t port = 0;
  {
    PubServer probe;
    port = probe.Port();
  }
  Publishing publishing(Url(port));
  publishing.Offer(1);
  publishing.Offer(2);
  // Both dropped: what the server gets later is a retry, not a waiting event.
  ASSERT_TRUE(WaitFor([&] { return publishing.Publisher().Dropped() >= 2; }));
  EXPECT_EQ(publishing.Publisher().State(), TWebPublishState::psFailing);
  PubServer server(port);
  ASSERT_TRUE(WaitFor([&] { return publishing.Publisher().State() == TWebPublishState::psDelivering; }));
  const auto requests = server.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().body, "{\"sequence\":2}");
}

}  // namespace
