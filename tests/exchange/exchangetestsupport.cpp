#include "exchangetestsupport.h"

#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace exchangetest {
namespace {

#ifdef _WIN32
using RawSocket = SOCKET;
RawSocket Raw(std::intptr_t s) { return static_cast<RawSocket>(s); }
void CloseSock(std::intptr_t s) { ::closesocket(Raw(s)); }
bool WaitReadable(std::intptr_t s, int ms) {
  WSAPOLLFD p{Raw(s), POLLRDNORM, 0};
  return ::WSAPoll(&p, 1, ms) > 0;
}
struct WinsockUser {
  WinsockUser() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockUser() { WSACleanup(); }
};
void EnsureSockets() { static WinsockUser user; }
#else
using RawSocket = int;
RawSocket Raw(std::intptr_t s) { return static_cast<RawSocket>(s); }
void CloseSock(std::intptr_t s) { ::close(Raw(s)); }
bool WaitReadable(std::intptr_t s, int ms) {
  pollfd p{Raw(s), POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}
void EnsureSockets() {}
#endif

}  // namespace

std::uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

LoopbackServer::LoopbackServer(int backlog) {
  EnsureSockets();
  RawSocket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(s, backlog);
  socklen_t len = sizeof addr;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  listener_ = static_cast<std::intptr_t>(s);
}

LoopbackServer::~LoopbackServer() {
  CloseClient();
  StopListening();
}

void LoopbackServer::StopListening() {
  if (listener_ != kNone) CloseSock(listener_);
  listener_ = kNone;
}

bool LoopbackServer::Accept(std::chrono::milliseconds timeout) {
  if (listener_ == kNone) return false;
  if (!WaitReadable(listener_, static_cast<int>(timeout.count()))) return false;
  RawSocket c = ::accept(Raw(listener_), nullptr, nullptr);
  if (c == static_cast<RawSocket>(-1)) return false;
  CloseClient();
  client_ = static_cast<std::intptr_t>(c);
  return true;
}

bool LoopbackServer::Send(const std::string& bytes) {
  if (client_ == kNone) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto n = ::send(Raw(client_), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void LoopbackServer::CloseClient(bool reset) {
  if (client_ == kNone) return;
  if (reset) {
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    ::setsockopt(Raw(client_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  }
  CloseSock(client_);
  client_ = kNone;
}

bool LoopbackServer::ClientClosed(std::chrono::milliseconds timeout) {
  if (client_ == kNone) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[256];
  while (std::chrono::steady_clock::now() < deadline) {
    if (!WaitReadable(client_, 20)) continue;
    const auto n = ::recv(Raw(client_), buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
  return false;
}

std::uint16_t LoopbackServer::PeerPort() const {
  if (client_ == kNone) return 0;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  ::getpeername(Raw(client_), reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

std::intptr_t ConnectNonBlocking(std::uint16_t port) {
  EnsureSockets();
  RawSocket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#ifdef _WIN32
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
#else
  ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
#endif
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return static_cast<std::intptr_t>(s);
}

void CloseRawSocket(std::intptr_t socket) { CloseSock(socket); }

void FakeClock::SleepMilliseconds(int) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

TestWindow::TestWindow() {
#ifdef _WIN32
  window_ = std::make_unique<platform::MessageWindow>(
      [this](std::uint32_t m, std::uintptr_t w, std::intptr_t l) { Record(m, w, l); }, nullptr);
#else
  target_.context = this;
  target_.post = [](void* self, uint32_t m, uintptr_t w, intptr_t l) {
    static_cast<TestWindow*>(self)->Record(m, w, l);
    return 1;
  };
  target_.send = [](void*, void (*fn)(void*), void* arg) { fn(arg); };
#endif
}

TestWindow::~TestWindow() = default;

TWindowHandle TestWindow::Handle() const {
#ifdef _WIN32
  return window_->Handle();
#else
  return const_cast<TWindowTarget*>(&target_);
#endif
}

void TestWindow::Record(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard<std::mutex> guard(lock_);
  messages_.push_back({message, wParam, lParam});
}

std::vector<PostedMessage> TestWindow::Messages() {
  Pump();
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

int TestWindow::Count(std::uint32_t message, std::uintptr_t wParam) {
  int n = 0;
  for (const auto& m : Messages())
    if (m.message == message && m.wParam == wParam) ++n;
  return n;
}

void TestWindow::Pump() {
#ifdef _WIN32
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
#endif
}

bool WaitUntil(TestWindow& window, const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    window.Pump();
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

FakeBoard::FakeBoard() {
  if (!library_.Load(kLibraryName)) return;
  copy_ = library_.GetSymbol<TFakeCopyCalls>(kFakeCopyCallsExport);
  reset_ = library_.GetSymbol<TFakeReset>(kFakeResetExport);
  live_ = library_.GetSymbol<TFakeLiveControllers>(kFakeLiveControllersExport);
  shutGate_ = library_.GetSymbol<TFakeShutGate>(kFakeShutGateExport);
  waiting_ = library_.GetSymbol<TFakeWaitingCalls>(kFakeWaitingCallsExport);
}

void FakeBoard::Reset() {
  if (settle) settle();
  if (reset_ != nullptr) reset_();
}

std::vector<TFakeCall> FakeBoard::Calls() {
  if (settle) settle();
  return CallsSoFar();
}

std::vector<TFakeCall> FakeBoard::CallsSoFar() {
  std::vector<TFakeCall> calls;
  if (copy_ == nullptr) return calls;
  for (;;) {
    const std::int32_t total = copy_(0, nullptr, 0);
    calls.resize(static_cast<std::size_t>(total));
    const std::int32_t again = copy_(0, calls.data(), total);
    if (again == total) return calls;  // nothing was added between the two calls
  }
}

int FakeBoard::LiveControllers() { return live_ != nullptr ? live_() : -1; }

void FakeBoard::ShutGate(bool shut) {
  if (shutGate_ != nullptr) shutGate_(shut ? 1 : 0);
}

int FakeBoard::WaitingCalls() { return waiting_ != nullptr ? waiting_() : -1; }

std::function<void(const std::u16string&)> FeedLogRecorder::Sink() {
  return [this](const std::u16string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(line);
  };
}

std::vector<std::u16string> FeedLogRecorder::Lines() {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_;
}

std::size_t FeedLogRecorder::Count() {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_.size();
}

void DestroyPumping(TestWindow& window, std::unique_ptr<TScoreboardExchangeThread>& thread) {
  if (!thread) return;
  thread->Terminate();
  std::atomic<bool> done{false};
  std::thread destroyer([&] {
    thread.reset();
    done = true;
  });
  WaitUntil(
      window, [&] { return done.load(); }, std::chrono::milliseconds(30000));
  destroyer.join();
}

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

}  // namespace exchangetest
