// The results page's server: HTTP on a port of all interfaces, on a thread
// of its own. It takes table snapshots from the exchange thread without
// ever making it wait: a snapshot is stored and the server thread told; the
// server thread serialises it once and offers it to every event stream.
// A quiet stream gets a comment now and then; a peer that stops answering
// is dropped.
// Each stream holds at most the event being written and one waiting, which
// a newer table replaces; a client that does not take an event in time is
// dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "exchange/tablesnapshot.h"
#include "web/webpublisher.h"

enum class TWebListenResult : std::int32_t {
  Listening,
  PortBusy,      // another program holds the port
  NoPermission,  // the system keeps the port from this program (below 1024 on Linux)
  Failed,        // the port cannot be used for another reason
};

class TWebServer final : public TTableSnapshotSink {
 public:
  struct Options {
    // Connections at once, and of one client address, so that one device
    // cannot keep every viewer out; past either the next few get 503 and
    // the rest are closed at once.
    std::size_t maxClients = 256;
    std::size_t maxPerAddress = 8;
    std::size_t maxRefusals = 4;                         // 503s being answered at once
    std::chrono::milliseconds requestTimeout{10000};     // to send a whole request
    std::chrono::milliseconds writeTimeout{10000};       // to take one reply or event
    std::chrono::milliseconds keepAliveInterval{15000};  // a comment on a quiet event stream
    std::chrono::seconds silentPeer{15};                 // an event stream's peer that acknowledges nothing
    // WebPublish: each event of /events is also published there. Empty, or
    // not an http:// URL with a host and a path: no publishing.
    std::string publishUrl;
  };

  TWebServer();
  explicit TWebServer(Options options);
  // Closes every connection and joins the server thread.
  ~TWebServer() override;
  TWebServer(const TWebServer&) = delete;
  TWebServer& operator=(const TWebServer&) = delete;

  // Listens on every interface, IPv4 and where the system has it IPv6
  // (port 0: a free one), and starts the thread. Once only.
  TWebListenResult Start(std::uint16_t port);
  std::uint16_t Port() const;  // the port listened on; 0 before Start

  // Any thread; returns at once.
  void Publish(std::shared_ptr<const TTableSnapshot> snapshot) override;

  std::size_t ClientCount() const;  // connections open now
  // Null without publishing; its figures may be read from any thread.
  const TWebPublisher* Publisher() const;

  // The server thread's state; its connections hold on to it.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};
