// The results page's server over real loopback sockets: what each route
// answers, the event stream's order and its first event, and the limits
// that keep a bad or slow client from costing anyone else anything.
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/write.hpp>
#include <gtest/gtest.h>

#include "feed/timingfeedparser.h"
#include "standings/celltext.h"
#include "web/pagepolicy.h"
#include "web/resultsjson.h"
#include "web/webroutes.h"
#include "web/webserver.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

using namespace std::chrono_literals;

std::shared_ptr<const TTableSnapshot> Snapshot(std::uint64_t sequence, std::size_t rows = 2,
                                               std::u16string name = u"Иванов") {
  auto s = std::make_shared<TTableSnapshot>();
  s->sequence = sequence;
  s->feedConnected = true;
  s->flag = fsGreen;
  s->clock = 61;
  s->run = u"Финал";
  for (std::size_t i = 0; i < rows; ++i) {
    TSnapshotRow row;
    row.position = static_cast<std::int32_t>(i + 1);
    row.cells = {u" 7", u"59.999", u"1:00.000", u"05", name, u"+ 1.234"};
    row.number = 7;
    s->rows.push_back(row);
  }
  return s;
}

class Client {
 public:
  // `receiveBuffer`: a small one makes a client that stops reading fill up sooner.
  explicit Client(std::uint16_t port, int receiveBuffer = 0) : socket_(io_) {
    socket_.open(tcp::v4());
    if (receiveBuffer > 0) socket_.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
    socket_.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
  }
  void Send(const std::string& bytes) { asio::write(socket_, asio::buffer(bytes)); }
  // Reads until `marker` has arrived (or the peer closes); returns all read so far.
  std::string ReadUntil(const std::string& marker) {
    boost::system::error_code error;
    asio::read_until(socket_, asio::dynamic_buffer(received_), marker, error);
    return received_;
  }
  // True when the server closed the connection.
  bool ReadToEnd() {
    boost::system::error_code error;
    asio::read(socket_, asio::dynamic_buffer(received_), error);
    return error == asio::error::eof || error == asio::error::connection_reset;
  }
  std::string& Received() { return received_; }

 private:
  asio::io_context io_;
  tcp::socket socket_;
  std::string received_;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Every answer of the fixed routes, from bytes as a client sends them.
TEST(WebRoutes, RoutesMethodsAndLimits) {
  const auto table = ServeTable(*Snapshot(3));
  const std::string page = AnswerBytes("GET / HTTP/1.1\r\nHost: x\r\n\r\n", *table);
  EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_NE(page.find("text/html; charset=utf-8"), std::string::npos);
  EXPECT_NE(page.find("нет данных"), std::string::npos);
  EXPECT_EQ(page.find("Access-Control-Allow-Origin"), std::string::npos);  // the page itself needs none

  const std::string json = AnswerBytes("GET /results.json?t=5 HTTP/1.1\r\nHost: x\r\n\r\n", *table);
  EXPECT_NE(json.find("Access-Control-Allow-Origin: *"), std::string::npos);
  EXPECT_EQ(json.substr(json.find("\r\n\r\n") + 4), table->json);
  // HEAD: the GET's headers and length, no body.
  const std::string head = AnswerBytes("HEAD /results.json HTTP/1.1\r\nHost: x\r\n\r\n", *table);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(table->json.size())), std::string::npos);
  EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");

  const std::string events = AnswerBytes("GET /events HTTP/1.1\r\nHost: x\r\n\r\n", *table);
  EXPECT_NE(events.find("text/event-stream"), std::string::npos);
  EXPECT_NE(events.find("Access-Control-Allow-Origin: *"), std::string::npos);
  EXPECT_EQ(events.find("Content-Length"), std::string::npos);
  // The current table at once, after how soon to come back.
  EXPECT_EQ(events.substr(events.find("\r\n\r\n") + 4),
            "retry: " + std::to_string(kEventRetryMilliseconds) + "\n" + table->event);

  EXPECT_EQ(AnswerBytes("POST /results.json HTTP/1.1\r\nHost: x\r\n\r\n", *table).rfind("HTTP/1.1 405", 0), 0u);
  EXPECT_EQ(AnswerBytes("DELETE / HTTP/1.1\r\nHost: x\r\n\r\n", *table).rfind("HTTP/1.1 405", 0), 0u);
  for (const char* path : {"/scoreboard.ini", "/../scoreboard.ini", "/events/", "//", "/index.html"}) {
    EXPECT_EQ(AnswerBytes(std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n", *table).rfind("HTTP/1.1 404", 0),
              0u)
        << path;
  }
  const std::string longHead = "GET /" + std::string(kRequestHeadLimit, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n";
  EXPECT_EQ(AnswerBytes(longHead, *table).rfind("HTTP/1.1 431", 0), 0u);
  const std::string manyHeaders = "GET / HTTP/1.1\r\n" + std::string(kRequestHeadLimit, 'X') + ": 1\r\n\r\n";
  EXPECT_EQ(AnswerBytes(manyHeaders, *table).rfind("HTTP/1.1 431", 0), 0u);
  EXPECT_EQ(AnswerBytes("GET / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", *table).rfind("HTTP/1.1 400", 0), 0u);
  EXPECT_EQ(AnswerBytes("\x16\x03\x01 garbage\r\n\r\n", *table).rfind("HTTP/1.1 400", 0), 0u);
  EXPECT_EQ(AnswerBytes("GET / HTTP/1.1\r\nHost", *table), "");  // not complete yet
}

std::string HexOf(const std::array<std::uint8_t, 32>& digest) {
  std::string hex;
  for (const std::uint8_t b : digest) {
    hex += "0123456789abcdef"[b >> 4];
    hex += "0123456789abcdef"[b & 15];
  }
  return hex;
}

// Every answer, the refusals included, keeps the browser from sniffing a
// type, sending the page's address on and running anything but the page's
// own inline style and script, allowed by their digests.
TEST(WebRoutes, EveryAnswerIsGuarded) {
  // One block, two blocks (the padding's length does not fit the first),
  // and none.
  EXPECT_EQ(HexOf(Sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(HexOf(Sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(HexOf(Sha256(std::string(1000, 'a'))), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
  const std::uint8_t two[] = {0xfb, 0xff};
  EXPECT_EQ(Base64(two, 2), "+/8=");

  const auto table = ServeTable(*Snapshot(3));
  std::vector<std::string> answers;
  for (const char* request :
       {"GET / HTTP/1.1\r\n\r\n", "GET /results.json HTTP/1.1\r\n\r\n", "GET /events HTTP/1.1\r\n\r\n",
        "GET /x HTTP/1.1\r\n\r\n", "PUT / HTTP/1.1\r\n\r\n", "\x16\x03\x01\r\n\r\n"}) {
    answers.push_back(AnswerBytes(request, *table));
  }
  for (const char* target : {"/", "/events"}) {
    std::ostringstream refusal;
    refusal << ServiceUnavailable(target);
    answers.push_back(refusal.str());
  }
  for (const std::string& answer : answers) {
    const std::string head = answer.substr(0, answer.find("\r\n\r\n"));
    EXPECT_NE(head.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nReferrer-Policy: no-referrer\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nContent-Security-Policy: "), std::string::npos) << head;
    EXPECT_EQ(head.find("unsafe"), std::string::npos) << head;
  }
  // The pages: each inline element's digest is in their own policy.
  for (const std::string& page : {answers[0], answers[6]}) {
    const std::size_t at = page.find("Content-Security-Policy: ") + 25;
    const std::string policy = page.substr(at, page.find("\r\n", at) - at);
    EXPECT_EQ(policy.rfind("default-src 'self'", 0), 0u) << policy;
    int inlineElements = 0;
    for (const std::string tag : {"script", "style"}) {
      for (std::size_t open = page.find("<" + tag + ">"); open != std::string::npos;
           open = page.find("<" + tag + ">", open + 1)) {
        const std::size_t body = open + tag.size() + 2;
        const auto digest = Sha256(std::string_view(page).substr(body, page.find("</" + tag, body) - body));
        EXPECT_NE(policy.find("'sha256-" + Base64(digest.data(), digest.size()) + "'"), std::string::npos)
            << tag << " of " << page.substr(0, 40);
        ++inlineElements;
      }
    }
    EXPECT_GT(inlineElements, 0);
  }
  // A browser opened during a crowd asks again by itself.
  EXPECT_EQ(answers[6].rfind("HTTP/1.1 503", 0), 0u);
  EXPECT_NE(answers[6].find("Retry-After: "), std::string::npos);
  EXPECT_NE(answers[6].find("<meta http-equiv=\"refresh\""), std::string::npos);
  EXPECT_NE(answers[7].find("text/plain"), std::string::npos);
}

// Names come from the feed: JSON must survive quotes, control bytes, '<'
// and a lone UTF-16 half, and keep Cyrillic as UTF-8.
TEST(ResultsJson, FeedTextIsEscaped) {
  const auto s = Snapshot(1, 1, u"a\"b\\c\x01</script>\xD800Ж");
  const std::string json = ResultsJson(*s);
  EXPECT_NE(json.find(R"("a\"b\\c\u0001\u003c/script>)"
                      "\xEF\xBF\xBD"
                      "\xD0\x96\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find(R"("run":"Финал")"), std::string::npos);
  EXPECT_NE(json.find(R"("flag":"green")"), std::string::npos);
  EXPECT_NE(json.find(R"("cells":[" 7","59.999","1:00.000","05",)"), std::string::npos);
  EXPECT_EQ(ServeTable(*s)->event.find('\n'), ServeTable(*s)->event.find("\ndata: "));  // one data line
}

// A clock tick shares the rows of the table before it and their text; a new
// table, or rows changed after a share, are never served with the old text.
TEST(ResultsJson, RowsTextIsKeptOnlyWhileTheRowsAre) {
  TRowsJson kept;
  TTableSnapshot table = *Snapshot(1, 2, u"Иванов");
  const std::string first = ServeTable(table, &kept)->json;
  TTableSnapshot tick = table;
  tick.sequence = 2;
  tick.clock = 62;
  EXPECT_EQ(tick.rows.Identity(), table.rows.Identity());
  EXPECT_EQ(ServeTable(tick, &kept)->json, ResultsJson(tick));
  TTableSnapshot changed = tick;
  changed.sequence = 3;
  TSnapshotRow extra = changed.rows[0];
  extra.cells[rcName] = u"Петров";
  changed.rows.push_back(extra);
  EXPECT_EQ(tick.rows.size(), 2u) << "a change to shared rows reached the snapshot before";
  const std::string third = ServeTable(changed, &kept)->json;
  EXPECT_EQ(third, ResultsJson(changed));
  EXPECT_NE(third.find("Петров"), std::string::npos);
  TTableSnapshot fresh = *Snapshot(4, 1, u"Сидоров");
  EXPECT_NE(ServeTable(fresh, &kept)->json.find("Сидоров"), std::string::npos);
  EXPECT_EQ(first, ResultsJson(table));
}

// The screens' routes: one class's rows in class order, a car's laps newest
// first by its competitor number, and nothing for a car or path that is not.
TEST(WebRoutes, ClassTableAndCarLaps) {
  auto s = std::const_pointer_cast<TTableSnapshot>(Snapshot(4, 3));
  s->classes = std::make_shared<const std::vector<TClassName>>(std::vector<TClassName>{{1, u"GTU"}, {2, u""}});
  std::vector<TSnapshotRow> rows(s->rows.begin(), s->rows.end());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    TSnapshotRow& row = rows[i];
    row.held = true;
    row.number = static_cast<std::int32_t>(10 + i);
    row.regNumber = static_cast<std::int32_t>(100 + i);
    row.classNumber = i == 1 ? 2 : 1;
    row.classPosition = i == 2 ? 2 : 1;
    row.classGap = i == 2 ? -1 : 0;
  }
  s->rows = std::move(rows);
  auto car = std::make_shared<TCarLaps>();
  car->regNumber = 102;
  car->laps = {{1, 65000, 65000, 3}, {2, 61500, 126500, 2}, {3, 62000, 188500, 0}};
  s->cars = std::make_shared<const std::vector<std::shared_ptr<const TCarLaps>>>(
      std::vector<std::shared_ptr<const TCarLaps>>{car});
  const auto table = ServeTable(s);
  auto body = [&](const std::string& target) {
    const std::string answer = AnswerBytes("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n", *table);
    return answer.rfind("HTTP/1.1 200", 0) == 0 ? answer.substr(answer.find("\r\n\r\n") + 4) : "404";
  };
  const std::string cls = body("/results.json?t=1&class=1");
  EXPECT_NE(cls.find(R"("number":10,)"), std::string::npos);
  EXPECT_EQ(cls.find(R"("number":11,)"), std::string::npos) << "a row of class 2";
  EXPECT_LT(cls.find(R"("number":10,)"), cls.find(R"("number":12,)"));
  EXPECT_NE(cls.find(R"("classGap":-1,"classGapText":"1 кр")"), std::string::npos);
  EXPECT_NE(cls.find(R"("classes":[{"number":1,"name":"GTU"},{"number":2,"name":""}])"), std::string::npos);
  EXPECT_EQ(body("/results.json?class=x"), table->json);

  const std::string laps = body("/car/12.json");
  EXPECT_NE(laps.find(R"("reg":102,"bestLap":61500)"), std::string::npos) << laps;
  const std::size_t third = laps.find(R"("lap":3,)"), second = laps.find(R"("lap":2,"lapTime":61500)");
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(third, second) << "newest first";
  EXPECT_NE(laps.find(R"("lapTimeText":"1:01.500","totalTime":126500,"position":2,"best":true})"), std::string::npos);
  EXPECT_NE(body("/car/102.json"), "404") << "the registration number where no car has the number";
  EXPECT_NE(body("/car/10.json").find(R"("laps":[])"), std::string::npos);
  for (const char* path : {"/car/99.json", "/car/abc", "/car/", "/car/1x.json", "/car/12.json/", "/car/0",
                           "/car/99999999999.json", "/overlay/x"})
    EXPECT_EQ(body(path), "404") << path;
  for (const char* path : {"/overlay?rows=5&show=interval", "/clock", "/car/12"})
    EXPECT_NE(body(path).find("<script>"), std::string::npos) << path;
}

class WebServerTest : public ::testing::Test {
 protected:
  void StartServer(TWebServer::Options options = {}) {
    server_ = std::make_unique<TWebServer>(options);
    ASSERT_EQ(server_->Start(0), TWebListenResult::Listening);
    port_ = server_->Port();
  }
  std::unique_ptr<TWebServer> server_;
  std::uint16_t port_ = 0;
};

// A client joining mid-session gets the current table at once; later
// tables follow in the order they were published.
TEST_F(WebServerTest, EventStreamStartsWithTheCurrentTableAndKeepsOrder) {
  StartServer();
  server_->Publish(Snapshot(5));
  Client client(port_);
  client.Send("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_NE(client.ReadUntil("\n\n").find("id: 5\ndata: {\"sequence\":5"), std::string::npos);
  for (std::uint64_t n = 6; n <= 8; ++n) {
    server_->Publish(Snapshot(n));
    client.ReadUntil("id: " + std::to_string(n) + "\n");
  }
  const std::string& all = client.Received();
  EXPECT_LT(all.find("id: 6\n"), all.find("id: 7\n"));
  EXPECT_LT(all.find("id: 7\n"), all.find("id: 8\n"));
  EXPECT_EQ(all.find("id: 6\n", all.find("id: 7\n")), std::string::npos);  // no table twice
}

// A client that stops reading is dropped after the write timeout while a
// reading client keeps getting every table.
TEST_F(WebServerTest, SlowClientIsDroppedOthersKeepUp) {
  TWebServer::Options options;
  options.writeTimeout = 300ms;
  StartServer(options);
  Client slow(port_, 4096);
  slow.Send("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
  Client fast(port_);
  fast.Send("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_TRUE(WaitFor([&] { return server_->ClientCount() == 2; }));
  fast.ReadUntil("\n\n");
  // Big tables, each taken by the fast client before the next, until the
  // slow client's socket buffers are full and its write stalls.
  std::uint64_t n = 1;
  for (; n <= 300 && server_->ClientCount() == 2; ++n) {
    server_->Publish(Snapshot(n, 400));
    ASSERT_NE(fast.ReadUntil("id: " + std::to_string(n) + "\n").find("id: " + std::to_string(n) + "\n"),
              std::string::npos);
    fast.Received().clear();
  }
  EXPECT_TRUE(WaitFor([&] { return server_->ClientCount() == 1; }))
      << "the slow client was not dropped after " << n - 1 << " tables";
  server_->Publish(Snapshot(1000, 1));
  EXPECT_NE(fast.ReadUntil("id: 1000\n").find("id: 1000\n"), std::string::npos);
}

// Over the limit of clients the next one gets 503; a client that never
// sends its request is closed after the request timeout and frees its place.
TEST_F(WebServerTest, ClientLimitAndRequestTimeout) {
  TWebServer::Options options;
  options.maxClients = 2;
  options.requestTimeout = 300ms;
  StartServer(options);
  Client first(port_);
  Client second(port_);
  ASSERT_TRUE(WaitFor([&] { return server_->ClientCount() == 2; }));
  Client third(port_);
  third.Send("GET /results.json HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(third.ReadUntil("\r\n").rfind("HTTP/1.1 503", 0), 0u);
  EXPECT_TRUE(first.ReadToEnd()) << "an idle client was not closed";
  ASSERT_TRUE(WaitFor([&] { return server_->ClientCount() == 0; }));
  Client fourth(port_);
  fourth.Send("GET /results.json HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(fourth.ReadUntil("\r\n").rfind("HTTP/1.1 200", 0), 0u);
}

// A quiet stream still gets a comment now and then: without it a proxy or a
// phone closes the stream, and a gone peer is never found out.
TEST_F(WebServerTest, QuietStreamGetsComments) {
  TWebServer::Options options;
  options.keepAliveInterval = 100ms;
  StartServer(options);
  Client client(port_);
  client.Send("GET /events HTTP/1.1\r\nHost: x\r\n\r\n");
  client.ReadUntil("\n\n");
  client.Received().clear();
  EXPECT_EQ(client.ReadUntil("\n"), ":\n");
  server_->Publish(Snapshot(2));
  EXPECT_NE(client.ReadUntil("id: 2\n").find("id: 2\n"), std::string::npos);
}

// Phones on an IPv6 network reach the page as well, on the same port.
TEST_F(WebServerTest, ServesIpv6WhereTheSystemHasIt) {
  asio::io_context io;
  tcp::acceptor probe(io);
  boost::system::error_code error;
  probe.open(tcp::v6(), error);
  if (!error) probe.bind(tcp::endpoint(asio::ip::address_v6::loopback(), 0), error);
  if (error) GTEST_SKIP() << "no IPv6 loopback here: " << error.message();
  probe.close();
  StartServer();
  tcp::socket client(io);
  client.connect(tcp::endpoint(asio::ip::address_v6::loopback(), port_));
  asio::write(client, asio::buffer(std::string("GET /results.json HTTP/1.1\r\nHost: x\r\n\r\n")));
  std::string answer;
  asio::read_until(client, asio::dynamic_buffer(answer), "\r\n", error);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
}

TEST_F(WebServerTest, TakenPortIsReportedBusy) {
  StartServer();
  TWebServer second;
  EXPECT_EQ(second.Start(port_), TWebListenResult::PortBusy);
}

}  // namespace
