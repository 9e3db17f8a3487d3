#include "web/webserver.h"

#include <array>
#include <atomic>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include "platform/listener.h"
#include "web/webroutes.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// A client over the limit gets its 503 and is closed within this time.
constexpr std::chrono::seconds kRefusalTimeout{2};

// One of the connections counted against the limit, for as long as it lives.
class TClientSlot {
 public:
  explicit TClientSlot(std::atomic<std::size_t>& count) : count_(count) { ++count_; }
  ~TClientSlot() { --count_; }
  TClientSlot(const TClientSlot&) = delete;
  TClientSlot& operator=(const TClientSlot&) = delete;

 private:
  std::atomic<std::size_t>& count_;
};

}  // namespace

class TEventClient;

struct TWebServer::Impl {
  explicit Impl(Options opts) : options(opts) {}

  void Accept();
  void Admit(tcp::socket socket);
  void Distribute();
  // The table as served now; made from the newest snapshot when it is newer
  // than the last one made.
  std::shared_ptr<const TServedTable> Current();
  void Forget(TEventClient* client);

  Options options;
  std::atomic<std::size_t> clients{0};
  std::atomic<std::uint16_t> port{0};

  // The exchange thread's hand-over.
  std::mutex latestLock;
  std::shared_ptr<const TTableSnapshot> latest;
  bool distributePosted = false;

  // Server thread only.
  std::shared_ptr<const TServedTable> served;

  // Declared after what their handlers touch, so that destroying the
  // io_context (and with it every pending handler and its connection)
  // finds it all still there.
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  std::list<std::shared_ptr<TEventClient>> streams;  // server thread only
  std::thread thread;
};

// One /events client: the stream's header and first event, then one event
// per table; at most one written and one waiting.
class TEventClient : public std::enable_shared_from_this<TEventClient> {
 public:
  TEventClient(TWebServer::Impl& server, tcp::socket socket, std::unique_ptr<TClientSlot> slot)
      : server_(server), socket_(std::move(socket)), timer_(server.io), slot_(std::move(slot)) {}

  void Start(std::string start, std::uint64_t sequence) {
    sent_ = sequence;
    auto bytes = std::make_shared<const std::string>(std::move(start));
    Write(asio::buffer(*bytes), bytes);
    WatchForClose();
  }

  // A newer table replaces the one waiting; the one being written finishes.
  void Offer(const std::shared_ptr<const TServedTable>& table) {
    if (closed_ || table->sequence <= sent_) return;
    sent_ = table->sequence;
    if (writing_) {
      waiting_ = table;
      return;
    }
    Write(asio::buffer(table->event), table);
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    timer_.cancel();
    // The place is free now, not when the aborted operations come back.
    slot_.reset();
    server_.Forget(this);
  }

 private:
  void Write(asio::const_buffer bytes, std::shared_ptr<const void> keep) {
    writing_ = true;
    const std::uint64_t generation = ++generation_;
    timer_.expires_after(server_.options.writeTimeout);
    timer_.async_wait([self = shared_from_this(), generation](beast::error_code error) {
      // A client that has not taken the event in time cannot keep up.
      if (!error && self->writing_ && self->generation_ == generation) self->Close();
    });
    asio::async_write(socket_, bytes,
                      [self = shared_from_this(), keep = std::move(keep)](beast::error_code error, std::size_t) {
                        self->Written(error);
                      });
  }

  void Written(beast::error_code error) {
    writing_ = false;
    timer_.cancel();
    if (error) {
      Close();
      return;
    }
    if (waiting_ && !closed_) {
      auto next = std::move(waiting_);
      Write(asio::buffer(next->event), next);
    }
  }

  // The client sends nothing after its request; a read ends when it leaves.
  void WatchForClose() {
    socket_.async_read_some(asio::buffer(drain_), [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error) {
        self->Close();
      } else {
        self->WatchForClose();
      }
    });
  }

  TWebServer::Impl& server_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  std::unique_ptr<TClientSlot> slot_;
  std::shared_ptr<const TServedTable> waiting_;
  std::uint64_t sent_ = 0;  // sequence of the newest table written or waiting
  std::uint64_t generation_ = 0;
  bool writing_ = false;
  bool closed_ = false;
  std::array<char, 512> drain_{};
};

namespace {

// One connection from its accept until it becomes an event stream or closes:
// requests one after the other, each within the request timeout.
class TSession : public std::enable_shared_from_this<TSession> {
 public:
  // Without a slot the connection is over the limit: its request is
  // answered with 503.
  TSession(TWebServer::Impl& server, tcp::socket socket, std::unique_ptr<TClientSlot> slot)
      : server_(server), stream_(std::move(socket)), slot_(std::move(slot)) {}

  void Read() {
    parser_.emplace();
    ConfigureRequestParser(*parser_);
    stream_.expires_after(slot_ != nullptr ? server_.options.requestTimeout
                                           : std::chrono::duration_cast<std::chrono::milliseconds>(kRefusalTimeout));
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) { self->Received(error); });
  }

 private:
  void Received(beast::error_code error) {
    if (error == http::error::end_of_stream || error == beast::error::timeout ||
        error == asio::error::operation_aborted || error == asio::error::connection_reset ||
        error == asio::error::eof) {
      Close();
      return;
    }
    if (error) {
      Write(RefusedRequest(error));
      return;
    }
    if (slot_ == nullptr) {
      Write(ServiceUnavailable());
      return;
    }
    const auto table = server_.Current();
    TWebReply reply = Respond(parser_->get(), *table);
    if (reply.eventStream) {
      std::string start = EventStreamStart(reply.response, *table);
      stream_.expires_never();
      auto client = std::make_shared<TEventClient>(server_, stream_.release_socket(), std::move(slot_));
      server_.streams.push_back(client);
      client->Start(std::move(start), table->sequence);
      return;
    }
    Write(std::move(reply.response));
  }

  void Write(TWebResponse response) {
    response_ = std::move(response);
    stream_.expires_after(server_.options.writeTimeout);
    http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error || !self->response_.keep_alive() || self->slot_ == nullptr) {
        self->Close();
      } else {
        self->Read();
      }
    });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
    slot_.reset();
  }

  TWebServer::Impl& server_;
  beast::tcp_stream stream_;
  std::unique_ptr<TClientSlot> slot_;
  beast::flat_buffer buffer_;
  std::optional<TWebRequestParser> parser_;
  TWebResponse response_;
};

}  // namespace

void TWebServer::Impl::Accept() {
  acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || !acceptor.is_open()) return;
    if (!error) Admit(std::move(socket));
    Accept();
  });
}

void TWebServer::Impl::Admit(tcp::socket socket) {
  std::unique_ptr<TClientSlot> slot;
  if (clients.load() < options.maxClients) slot = std::make_unique<TClientSlot>(clients);
  beast::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);  // an event is one small write: send it now
  std::make_shared<TSession>(*this, std::move(socket), std::move(slot))->Read();
}

std::shared_ptr<const TServedTable> TWebServer::Impl::Current() {
  std::shared_ptr<const TTableSnapshot> newest;
  {
    std::lock_guard<std::mutex> guard(latestLock);
    newest = latest;
  }
  if (served == nullptr) served = ServeTable(TTableSnapshot{});  // nothing from the feed yet
  if (newest != nullptr && newest->sequence != served->sequence) served = ServeTable(newest);
  return served;
}

void TWebServer::Impl::Distribute() {
  {
    std::lock_guard<std::mutex> guard(latestLock);
    distributePosted = false;
  }
  // Without streams the table is made only when someone asks for it.
  if (streams.empty()) return;
  const auto table = Current();
  for (const auto& client : streams) client->Offer(table);
}

void TWebServer::Impl::Forget(TEventClient* client) {
  streams.remove_if([client](const std::shared_ptr<TEventClient>& c) { return c.get() == client; });
}

TWebServer::TWebServer() : TWebServer(Options{}) {}

TWebServer::TWebServer(Options options) : impl_(std::make_unique<Impl>(options)) {}

TWebServer::~TWebServer() {
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    asio::post(d.io, [&d] {
      beast::error_code ignored;
      d.acceptor.close(ignored);
      const auto streams = d.streams;
      for (const auto& client : streams) client->Close();
      d.io.stop();
    });
    d.thread.join();
  }
  d.streams.clear();
}

TWebListenResult TWebServer::Start(std::uint16_t port) {
  Impl& d = *impl_;
  if (d.thread.joinable()) return TWebListenResult::Failed;
  const tcp::endpoint endpoint(tcp::v4(), port);
  beast::error_code error;
  d.acceptor.open(endpoint.protocol(), error);
  if (error) return TWebListenResult::Failed;
  platform::PrepareListener(static_cast<std::uintptr_t>(d.acceptor.native_handle()));
  d.acceptor.bind(endpoint, error);
  if (error == asio::error::address_in_use || error == asio::error::access_denied) {
    d.acceptor.close(error);
    return TWebListenResult::PortBusy;
  }
  if (!error) d.acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    d.acceptor.close(error);
    return TWebListenResult::Failed;
  }
  d.port.store(d.acceptor.local_endpoint(error).port());
  d.Accept();
  d.thread = std::thread([&d] {
    // A handler that throws (out of memory) costs its connection, not the server.
    for (;;) {
      try {
        d.io.run();
        return;
      } catch (const std::exception&) {
      }
    }
  });
  return TWebListenResult::Listening;
}

std::uint16_t TWebServer::Port() const { return impl_->port.load(); }

std::size_t TWebServer::ClientCount() const { return impl_->clients.load(); }

void TWebServer::Publish(std::shared_ptr<const TTableSnapshot> snapshot) {
  Impl& d = *impl_;
  bool post = false;
  {
    std::lock_guard<std::mutex> guard(d.latestLock);
    d.latest = std::move(snapshot);
    post = !d.distributePosted;
    d.distributePosted = true;
  }
  if (post) asio::post(d.io, [&d] { d.Distribute(); });
}
