#include "web/webserver.h"

#include <array>
#include <atomic>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
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
// After a failed accept (out of descriptors, most often) the next waits
// this long, so that the server thread does not spin on the same error.
constexpr std::chrono::milliseconds kAcceptPause{100};

// An event stream's comment: keeps proxies and phones from closing a quiet
// stream, and lets a gone peer show itself by not acknowledging it.
const std::string kKeepAliveComment = ":\n";

}  // namespace

class TEventClient;

struct TWebServer::Impl {
  explicit Impl(Options opts) : options(opts) {}

  // One listening socket (IPv4, IPv6) and its pause after an accept error.
  struct TListener {
    explicit TListener(asio::io_context& io) : acceptor(io), pause(io) {}
    tcp::acceptor acceptor;
    asio::steady_timer pause;
  };

  void Accept(TListener& listener);
  void Admit(tcp::socket socket);
  void Distribute();
  void KeepAlive();
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
  // Event streams open: without one the server thread is not woken for a
  // snapshot (a clock tick would cost the exchange thread a wake-up for
  // nothing); a request takes the newest when it comes.
  std::atomic<std::size_t> streamCount{0};
  // Every snapshot also goes onward to WebPublish, streams or none.
  std::atomic<bool> publishing{false};

  // Server thread only.
  std::shared_ptr<const TServedTable> served;
  TRowsJson rowsJson;  // the text of the rows served, for the clock ticks that keep them
  std::map<asio::ip::address, std::size_t> perAddress;  // places held by each client address
  std::size_t refusing = 0;                             // 503s being answered

  // Declared after what their handlers touch, so that destroying the
  // io_context (and with it every pending handler and its connection)
  // finds it all still there.
  asio::io_context io{1};
  std::list<TListener> listeners;
  asio::steady_timer keepAlive{io};
  std::list<std::shared_ptr<TEventClient>> streams;  // server thread only
  std::unique_ptr<TWebPublisher> publisher;          // server thread only, once started
  std::thread thread;
};

namespace {

// One of the places counted against the limits, for as long as its
// connection lives.
class TClientSlot {
 public:
  TClientSlot(TWebServer::Impl& server, asio::ip::address address) : server_(server), address_(std::move(address)) {
    ++server_.clients;
    ++server_.perAddress[address_];
  }
  ~TClientSlot() {
    --server_.clients;
    const auto held = server_.perAddress.find(address_);
    if (held != server_.perAddress.end() && --held->second == 0) server_.perAddress.erase(held);
  }
  TClientSlot(const TClientSlot&) = delete;
  TClientSlot& operator=(const TClientSlot&) = delete;

 private:
  TWebServer::Impl& server_;
  asio::ip::address address_;
};

// One of the few connections answered with 503 at once.
class TRefusalSlot {
 public:
  explicit TRefusalSlot(std::size_t& count) : count_(count) { ++count_; }
  ~TRefusalSlot() { --count_; }
  TRefusalSlot(const TRefusalSlot&) = delete;
  TRefusalSlot& operator=(const TRefusalSlot&) = delete;

 private:
  std::size_t& count_;
};

}  // namespace

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

  // A comment when nothing is being written: a stream that only waits for
  // the next table would look dead to a proxy, and a dead peer would never
  // be found out.
  void Ping() {
    if (closed_ || writing_) return;
    Write(asio::buffer(kKeepAliveComment), nullptr);
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
  // answered with 503 while it holds one of the few refusals.
  TSession(TWebServer::Impl& server, tcp::socket socket, std::unique_ptr<TClientSlot> slot,
           std::unique_ptr<TRefusalSlot> refusal = nullptr)
      : server_(server), stream_(std::move(socket)), slot_(std::move(slot)), refusal_(std::move(refusal)) {}

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
      const auto target = parser_->get().target();
      Write(ServiceUnavailable(std::string_view(target.data(), target.size())));
      return;
    }
    auto table = server_.Current();
    TWebReply reply = Respond(parser_->get(), *table);
    if (reply.eventStream) {
      // Counted before the table is taken again: a snapshot published in
      // between is either in this table or told to the server thread.
      ++server_.streamCount;
      table = server_.Current();
      std::string start = EventStreamStart(reply.response, *table);
      stream_.expires_never();
      platform::WatchForSilentPeer(static_cast<std::uintptr_t>(stream_.socket().native_handle()),
                                   static_cast<int>(server_.options.silentPeer.count()));
      auto client = std::make_shared<TEventClient>(server_, stream_.release_socket(), std::move(slot_));
      server_.streams.push_back(client);
      client->Start(std::move(start), table->sequence);
      return;
    }
    Write(std::move(reply.response));
  }

  void Write(TWebResponse response) {
    response_ = std::move(response);
    stream_.expires_after(slot_ != nullptr ? server_.options.writeTimeout
                                           : std::chrono::duration_cast<std::chrono::milliseconds>(kRefusalTimeout));
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
    refusal_.reset();
  }

  TWebServer::Impl& server_;
  beast::tcp_stream stream_;
  std::unique_ptr<TClientSlot> slot_;
  std::unique_ptr<TRefusalSlot> refusal_;
  beast::flat_buffer buffer_;
  std::optional<TWebRequestParser> parser_;
  TWebResponse response_;
};

}  // namespace

void TWebServer::Impl::Accept(TListener& listener) {
  listener.acceptor.async_accept([this, &listener](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted || !listener.acceptor.is_open()) return;
    if (error) {
      listener.pause.expires_after(kAcceptPause);
      listener.pause.async_wait([this, &listener](beast::error_code waited) {
        if (!waited) Accept(listener);
      });
      return;
    }
    try {
      Admit(std::move(socket));
    } catch (const std::exception&) {
      // The connection is lost (out of memory); the next one is still taken.
    }
    Accept(listener);
  });
}

void TWebServer::Impl::Admit(tcp::socket socket) {
  beast::error_code error;
  const tcp::endpoint peer = socket.remote_endpoint(error);
  if (error) return;  // gone already
  asio::ip::address address = peer.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  std::unique_ptr<TClientSlot> slot;
  std::unique_ptr<TRefusalSlot> refusal;
  const auto held = perAddress.find(address);
  if (clients.load() < options.maxClients && (held == perAddress.end() || held->second < options.maxPerAddress)) {
    slot = std::make_unique<TClientSlot>(*this, address);
  } else if (refusing < options.maxRefusals) {
    refusal = std::make_unique<TRefusalSlot>(refusing);
  } else {
    // A flood costs a descriptor for no longer than this.
    socket.close(error);
    return;
  }
  socket.set_option(tcp::no_delay(true), error);  // an event is one small write: send it now
  std::make_shared<TSession>(*this, std::move(socket), std::move(slot), std::move(refusal))->Read();
}

std::shared_ptr<const TServedTable> TWebServer::Impl::Current() {
  std::shared_ptr<const TTableSnapshot> newest;
  {
    std::lock_guard<std::mutex> guard(latestLock);
    newest = latest;
  }
  if (served == nullptr) served = ServeTable(TTableSnapshot{});  // nothing from the feed yet
  if (newest != nullptr && newest->sequence != served->sequence) served = ServeTable(newest, &rowsJson);
  return served;
}

void TWebServer::Impl::Distribute() {
  {
    std::lock_guard<std::mutex> guard(latestLock);
    distributePosted = false;
  }
  // Without streams the table is made only when someone asks for it.
  if (streams.empty() && publisher == nullptr) return;
  const auto table = Current();
  if (publisher != nullptr) publisher->Offer(table);
  for (const auto& client : streams) client->Offer(table);
}

void TWebServer::Impl::KeepAlive() {
  keepAlive.expires_after(options.keepAliveInterval);
  keepAlive.async_wait([this](beast::error_code error) {
    if (error) return;
    for (const auto& client : streams) client->Ping();
    KeepAlive();
  });
}

void TWebServer::Impl::Forget(TEventClient* client) {
  streamCount -= streams.remove_if([client](const std::shared_ptr<TEventClient>& c) { return c.get() == client; });
}

TWebServer::TWebServer() : TWebServer(Options{}) {}

TWebServer::TWebServer(Options options) : impl_(std::make_unique<Impl>(options)) {}

TWebServer::~TWebServer() {
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    asio::post(d.io, [&d] {
      beast::error_code ignored;
      for (auto& listener : d.listeners) {
        listener.acceptor.close(ignored);
        listener.pause.cancel();
      }
      d.keepAlive.cancel();
      if (d.publisher != nullptr) d.publisher->Close();
      const auto streams = d.streams;
      for (const auto& client : streams) client->Close();
      d.io.stop();
    });
    d.thread.join();
  }
  d.streams.clear();
}

namespace {

// Whether a program answers on the loopback at `port`: a refused bind says
// "in use" on one system and "access denied" on another.
bool PortAnswers(std::uint16_t port) {
  asio::io_context io;
  tcp::socket probe(io);
  beast::error_code error;
  probe.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port), error);
  return !error;
}

// Opens, binds and listens; the error of the first step that failed.
beast::error_code Listen(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
  beast::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (error) return error;
  // The IPv6 socket takes IPv6 only; IPv4 has its own.
  if (endpoint.protocol() == tcp::v6()) acceptor.set_option(asio::ip::v6_only(true), error);
  platform::PrepareListener(static_cast<std::uintptr_t>(acceptor.native_handle()));
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    beast::error_code ignored;
    acceptor.close(ignored);
  }
  return error;
}

}  // namespace

TWebListenResult TWebServer::Start(std::uint16_t port) {
  Impl& d = *impl_;
  if (d.thread.joinable() || !d.listeners.empty()) return TWebListenResult::Failed;
  PrepareWebPages();
  auto& v4 = d.listeners.emplace_back(d.io);
  beast::error_code error = Listen(v4.acceptor, tcp::endpoint(tcp::v4(), port));
  if (error) {
    d.listeners.clear();
    if (error == asio::error::address_in_use) return TWebListenResult::PortBusy;
    if (error == asio::error::access_denied) {
      return PortAnswers(port) ? TWebListenResult::PortBusy : TWebListenResult::NoPermission;
    }
    return TWebListenResult::Failed;
  }
  d.port.store(v4.acceptor.local_endpoint(error).port());
  // IPv6 where the system has it, on the same port; without it the page
  // is still served over IPv4.
  auto& v6 = d.listeners.emplace_back(d.io);
  if (Listen(v6.acceptor, tcp::endpoint(tcp::v6(), d.port.load()))) d.listeners.pop_back();
  for (auto& listener : d.listeners) d.Accept(listener);
  d.KeepAlive();
  if (const auto target = ParsePublishUrl(d.options.publishUrl)) {
    d.publisher = std::make_unique<TWebPublisher>(d.io, *target);
    d.publishing.store(true);
    // What the subscribers see at once, until the feed gives a table: not
    // the last session's.
    asio::post(d.io, [&d] { d.publisher->Offer(d.Current()); });
  }
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

const TWebPublisher* TWebServer::Publisher() const { return impl_->publisher.get(); }

void TWebServer::Publish(std::shared_ptr<const TTableSnapshot> snapshot) {
  Impl& d = *impl_;
  bool post = false;
  {
    std::lock_guard<std::mutex> guard(d.latestLock);
    d.latest = std::move(snapshot);
    post = !d.distributePosted && (d.streamCount.load() > 0 || d.publishing.load());
    if (post) d.distributePosted = true;
  }
  if (post) asio::post(d.io, [&d] { d.Distribute(); });
}
