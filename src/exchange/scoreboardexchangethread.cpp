#include "exchange/scoreboardexchangethread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "exchange/controllerlibrary.h"
#include "exchange/lineassembler.h"
#include "feed/timingfeedparser.h"
#include "platform/clock.h"
#include "platform/messagewindow.h"
#include "platform/socket.h"
#include "platform/textcodec.h"
#include "standings/celltext.h"
#include "standings/competitors.h"

namespace {

// A connection attempt never holds the thread longer than this.
constexpr std::chrono::milliseconds kConnectTimeout{3000};
// Attempts come when more than this many whole seconds have passed.
constexpr std::int64_t kAttemptSpacingSeconds = 5;
constexpr int kPassMilliseconds = 20;
// A peer that vanished without closing is noticed after about
// idle + interval * count = 11 s.
constexpr std::chrono::seconds kKeepAliveIdle{5};
constexpr std::chrono::seconds kKeepAliveInterval{2};
constexpr int kKeepAliveCount = 3;
// The timing application sends a heartbeat every second while connected, so
// a connection that brought nothing for this long is lost even where the
// system will not shorten its keep-alive probing.
constexpr std::int64_t kSilentFeedMilliseconds = 15000;

}  // namespace

struct TScoreboardExchangeThread::Impl {
  Impl(TWindowHandle window, Options opts)
      : windowHandle(window),
        options(std::move(opts)),
        clock(options.clock != nullptr ? *options.clock : platform::SystemClock()),
        receiveBuffer(new char[kFeedBufferSize]),
        lineAssembler(kFeedBufferSize),
        published(options.snapshotSink) {}

  // Thread body and its steps.
  void Execute();
  void AttemptConnection();
  // Until the window names the feed there is nothing to try, and the first
  // attempt comes as soon as it does.
  bool HasFeedAddress() {
    std::lock_guard<std::mutex> guard(connectionLock);
    return feedAddressSet;
  }
  void ReceiveOnce();
  void ProcessLine(std::string_view line, std::int32_t& fullRefresh);
  void EndOfData(std::int32_t fullRefresh);
  void Post(std::int32_t code, std::intptr_t value = 0) {
    PostWindowMessage(windowHandle, WM_EXCHANGE_NOTIFY, static_cast<std::uintptr_t>(code), value);
  }
  // The feed's state for the window's panel; a lost link is told once.
  void ReportFeedConnected();
  void ReportFeedDisconnected();
  void ReportFeedSilence(std::int64_t silentMs);
  static void LogLastLine(void* self);

  bool FeedConnected() {
    std::lock_guard<std::mutex> guard(connectionLock);
    return connected != 0;
  }

  // Board side; the caller holds boardLock. `rows`, when given, gets the
  // rows of the push also without a controller.
  void SendTableToScoreboard(std::int32_t fullRefresh, std::vector<TSnapshotRow>* rows = nullptr);
  void ResetRowRecord();
  void RefreshLocked(std::int32_t testPattern);

  TWindowHandle windowHandle;
  Options options;
  platform::Clock& clock;

  // Feed connection. connectionLock guards feedSocket, connected, feedAddress
  // and addressGeneration; it is never held across a connect, only across
  // the non-blocking receive and the changes of these members.
  std::mutex connectionLock;
  platform::TcpSocket feedSocket;
  std::int32_t connected = 0;
  std::uint32_t feedIpv4 = 0;  // network order
  std::uint16_t feedPort = 0;  // host order
  bool feedAddressSet = false;
  std::uint64_t addressGeneration = 0;
  std::int64_t lastDataMs = 0;  // steady clock; exchange thread only

  // What the window was last told of the feed; exchange thread only.
  std::int32_t feedReported = 0;     // a TExchangeNotify feed code, 0 before the first
  std::int64_t silenceReported = 0;  // seconds last posted with enFeedSilent, 0 while data flows

  std::unique_ptr<char[]> receiveBuffer;
  TLineAssembler lineAssembler;
  std::u16string lastLine;

  // Session state, read and written whole by both threads.
  std::atomic<std::int32_t> scoreboardMode{0};
  std::atomic<std::int32_t> tableDirty{0};
  std::atomic<std::int32_t> startLightShown{0};
  std::atomic<std::int32_t> finishLightShown{0};
  std::atomic<bool> feedLogShown{true};
  std::int32_t lastFlag = fsNone;  // exchange thread only

  // Keeps each table push and each single controller command whole.
  std::mutex boardLock;
  TControllerLibrary controllerLibrary;
  std::atomic<ScoreboardController*> controller{nullptr};
  TCompetitor rowRecord{0};

  TSnapshotPublisher published;  // exchange thread only
  std::u16string className;      // scratch of "$C" records

  std::atomic<bool> terminated{false};
  std::thread thread;
  // The body's end, for a bounded Stop.
  std::mutex endLock;
  std::condition_variable bodyEndedSignal;
  bool bodyEnded = false;
  bool abandoned = false;  // Stop gave up on the body; this Impl stays to it
};

TScoreboardExchangeThread::TScoreboardExchangeThread(TWindowHandle windowHandle)
    : TScoreboardExchangeThread(windowHandle, Options{}) {}

TScoreboardExchangeThread::TScoreboardExchangeThread(TWindowHandle windowHandle, Options options)
    : impl_(new Impl(windowHandle, std::move(options))) {
  Impl& d = *impl_;
  d.controllerLibrary.Load(d.options.libraryName, d.windowHandle, d.options.controllerConvention);
  d.controller.store(d.controllerLibrary.Controller());
  // The body starts once the object is complete.
  d.thread = std::thread([impl = impl_] {
    impl->Execute();
    bool orphaned = false;
    {
      std::lock_guard<std::mutex> guard(impl->endLock);
      impl->bodyEnded = true;
      orphaned = impl->abandoned;
    }
    impl->bodyEndedSignal.notify_all();
    // Abandoned by Stop: nobody else holds the state any more.
    if (orphaned) delete impl;
  });
}

TScoreboardExchangeThread::~TScoreboardExchangeThread() {
  if (!Stop(std::chrono::milliseconds::max())) return;  // the abandoned body owns impl_ now
  delete impl_;
}

bool TScoreboardExchangeThread::Stop(std::chrono::milliseconds limit) {
  if (abandoned_) return false;
  Impl& d = *impl_;
  // No new hand-over to a window that is ending.
  d.feedLogShown.store(false);
  Terminate();
  if (!d.thread.joinable()) return true;
  const auto deadline = limit == std::chrono::milliseconds::max() ? std::chrono::steady_clock::time_point::max()
                                                                  : std::chrono::steady_clock::now() + limit;
  constexpr std::chrono::milliseconds kSlice{10};
  std::unique_lock<std::mutex> guard(d.endLock);
  while (!d.bodyEnded) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      d.abandoned = true;
      abandoned_ = true;
      d.thread.detach();
      return false;
    }
    // In slices: a hand-over the body began before the stop waits for this
    // thread, which answers it between them.
    d.bodyEndedSignal.wait_for(guard, std::min<std::chrono::steady_clock::duration>(kSlice, deadline - now));
    if (d.bodyEnded) break;
    guard.unlock();
    platform::ServeWaitingCalls();
    guard.lock();
  }
  guard.unlock();
  d.thread.join();
  return true;
}

void TScoreboardExchangeThread::Terminate() { impl_->terminated.store(true); }
bool TScoreboardExchangeThread::Terminated() const { return impl_->terminated.load(); }
bool TScoreboardExchangeThread::HasController() const { return impl_->controller.load() != nullptr; }
const TControllerLoad& TScoreboardExchangeThread::ControllerLoad() const { return impl_->controllerLibrary.Result(); }
std::int32_t TScoreboardExchangeThread::ScoreboardMode() const { return impl_->scoreboardMode.load(); }

void TScoreboardExchangeThread::Impl::Execute() {
  {
    platform::SocketLibrary socketLibrary;
    std::int64_t lastAttempt = 0;
    while (!terminated.load()) {
      const std::int64_t now = clock.NowSeconds();
      if (now - lastAttempt > kAttemptSpacingSeconds && HasFeedAddress()) {
        lastAttempt = now;
        AttemptConnection();
      }
      ReceiveOnce();
      if (published.Active()) published.Feed(FeedConnected());
      clock.SleepMilliseconds(kPassMilliseconds);
    }
    std::lock_guard<std::mutex> guard(connectionLock);
    if (feedSocket.IsOpen()) {
      feedSocket.ShutdownBoth();
      feedSocket.Close();
    }
    connected = 0;
  }
  std::lock_guard<std::mutex> guard(boardLock);
  controller.store(nullptr);
  controllerLibrary.Delete();
}

void TScoreboardExchangeThread::Impl::AttemptConnection() {
  std::uint32_t ipv4 = 0;
  std::uint16_t port = 0;
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(connectionLock);
    if (connected != 0) return;
    if (feedSocket.IsOpen()) feedSocket.Close();
    if (!feedAddressSet) return;  // nothing to connect to until the window says where
    ipv4 = feedIpv4;
    port = feedPort;
    generation = addressGeneration;
  }
  // The connect runs without the lock, so the window can change the address
  // while it is pending.
  platform::TcpSocket socket;
  if (!socket.Open() || !socket.Connect(ipv4, port, kConnectTimeout) || !socket.SetNonBlocking(true)) {
    ReportFeedDisconnected();
    return;
  }
  socket.SetKeepAlive(kKeepAliveIdle, kKeepAliveInterval, kKeepAliveCount);
  {
    std::lock_guard<std::mutex> guard(connectionLock);
    // An address set meanwhile wins: this socket leads to the old feed.
    if (generation != addressGeneration || terminated.load()) return;
    feedSocket = std::move(socket);
    connected = 1;
    lastDataMs = clock.SteadyMilliseconds();
    lineAssembler.Reset();
    if (options.feedConnected) options.feedConnected();
  }
  ReportFeedConnected();
}

void TScoreboardExchangeThread::Impl::ReportFeedConnected() {
  silenceReported = 0;
  feedReported = enFeedConnected;
  Post(enFeedConnected);
}

void TScoreboardExchangeThread::Impl::ReportFeedDisconnected() {
  silenceReported = 0;
  if (feedReported == enFeedDisconnected) return;
  feedReported = enFeedDisconnected;
  Post(enFeedDisconnected);
}

// Called on every pass without data while connected; posts at most once a
// second, so the window's count moves without a timer of its own.
void TScoreboardExchangeThread::Impl::ReportFeedSilence(std::int64_t silentMs) {
  const std::int64_t silent = silentMs / 1000;
  if (silent <= kFeedSilentSeconds || silent == silenceReported) return;
  silenceReported = silent;
  feedReported = enFeedSilent;
  Post(enFeedSilent, static_cast<std::intptr_t>(silent));
}

void TScoreboardExchangeThread::Impl::ReceiveOnce() {
  std::size_t received = 0;
  platform::ReceiveStatus status;
  bool lost = false;
  std::int64_t silentMs = 0;
  {
    std::lock_guard<std::mutex> guard(connectionLock);
    if (!feedSocket.IsOpen()) return;  // no connection: the receive would fail at once
    status = feedSocket.Receive(receiveBuffer.get(), kFeedBufferSize, received);
    const std::int64_t now = clock.SteadyMilliseconds();
    if (status == platform::ReceiveStatus::Data) lastDataMs = now;
    silentMs = now - lastDataMs;
    lost = status == platform::ReceiveStatus::Closed || status == platform::ReceiveStatus::Error ||
           (status == platform::ReceiveStatus::WouldBlock && silentMs >= kSilentFeedMilliseconds);
    if (lost) {
      feedSocket.Close();
      connected = 0;
    }
  }
  if (lost) {
    ReportFeedDisconnected();
    return;
  }
  if (status != platform::ReceiveStatus::Data || received == 0) {
    ReportFeedSilence(silentMs);
    return;
  }
  if (silenceReported != 0) ReportFeedConnected();  // data again after a silence
  if (options.feedReceived) options.feedReceived(receiveBuffer.get(), received);

  std::int32_t fullRefresh = 0;
  lineAssembler.Feed(receiveBuffer.get(), received, [&](std::string_view line) { ProcessLine(line, fullRefresh); });
  EndOfData(fullRefresh);
}

void TScoreboardExchangeThread::Impl::LogLastLine(void* self) {
  auto& d = *static_cast<Impl*>(self);
  if (d.options.feedLog) d.options.feedLog(d.lastLine);
}

void TScoreboardExchangeThread::Impl::ProcessLine(std::string_view line, std::int32_t& fullRefresh) {
  if (feedLogShown.load(std::memory_order_relaxed)) {
    platform::FeedTextToUtf16(line, lastLine);
    platform::Synchronize(windowHandle, &Impl::LogLastLine, this);
  }

  const TProcessResult* record = ProcessFeedLine(line);
  if (record == nullptr) {
    // "$C" names a class: the screens show it, the board never.
    std::int32_t classNumber = 0;
    if (published.Active() && feed::DecodeClassRecord(line, classNumber, className))
      published.ClassRecord(classNumber, className);
    return;
  }
  published.Record(*record);
  bool releasesStartLight = false;
  switch (record->kind) {
    case rkRun:
      if (record->sameRun) break;  // the standings were kept
      [[fallthrough]];
    case rkInit:
      Post(enTableCleared);
      published.Clear(record->name);
      tableDirty.store(1);
      fullRefresh = 1;
      break;
    case rkRace:
      SortCompetitors(scoreboardMode.load());
      if (scoreboardMode.load() != smPractice) tableDirty.store(1);
      releasesStartLight = true;
      break;
    case rkBestLap:
      SortCompetitors(scoreboardMode.load());
      releasesStartLight = true;
      break;
    case rkPassing:
      SortCompetitors(scoreboardMode.load());
      tableDirty.store(1);
      releasesStartLight = true;
      break;
    case rkHeartbeat:
      lastFlag = record->flag;
      published.Heartbeat(record->raceTime, record->flag, record->timeToGo, record->lapsToGo);
      if (lastFlag != fsNone) {
        std::lock_guard<std::mutex> guard(boardLock);
        if (ScoreboardController* board = controller.load()) board->SetRaceTime(record->raceTime);
      }
      break;
    default:
      break;
  }
  if (releasesStartLight) {
    if (startLightShown.exchange(0) == 1) fullRefresh = 1;
  }
}

void TScoreboardExchangeThread::Impl::EndOfData(std::int32_t fullRefresh) {
  if (lastFlag == fsNone || tableDirty.load() != 1 || startLightShown.load() != 0 || finishLightShown.load() != 0)
    return;
  std::vector<TSnapshotRow> rows;
  {
    std::lock_guard<std::mutex> guard(boardLock);
    SendTableToScoreboard(fullRefresh, published.Active() ? &rows : nullptr);
  }
  tableDirty.store(0);
  Post(enTableSent);
  published.Table(scoreboardMode.load(), std::move(rows));
}

void TScoreboardExchangeThread::Impl::ResetRowRecord() {
  rowRecord.totalTime = rowRecord.lastLapTime = rowRecord.bestLapTime = 0;
  rowRecord.regNumber = 0;
  rowRecord.number = rowRecord.racePosition = rowRecord.bestLapPosition = 0;
  rowRecord.laps = rowRecord.bestLapNumber = rowRecord.raceGap = rowRecord.bestLapGap = 0;
  rowRecord.name.clear();
}

void TScoreboardExchangeThread::Impl::SendTableToScoreboard(std::int32_t fullRefresh, std::vector<TSnapshotRow>* rows) {
  ScoreboardController* board = controller.load();
  if (finishLightShown.load() == 1 || (board == nullptr && rows == nullptr)) return;
  const std::int32_t mode = scoreboardMode.load();
  if (board != nullptr) board->ClearBoard(0);
  // Row i is position i + 1, so the rows reach the highest position held:
  // with holes in the positions, one row per competitor would cut the cars
  // at the end. A position past any board's rows is a feed fault, not a car.
  auto rowCount = [mode] { return std::min(std::max(GetCompetitorCount(), GetHighestPosition(mode)), kMaxPosition); };
  if (rows != nullptr) rows->reserve(static_cast<std::size_t>(rowCount()));
  for (std::int32_t i = 0; i < rowCount(); ++i) {
    // A position nobody holds is an empty row, never a copy of the row before.
    const bool held = CopyCompetitor(i, mode, rowRecord);
    if (!held) ResetRowRecord();
    if (board != nullptr) {
      board->SetRow(mode, i + 1, rowRecord.number, rowRecord.bestLapTime, rowRecord.lastLapTime, rowRecord.laps,
                    rowRecord.totalTime, rowRecord.raceGap, rowRecord.bestLapGap,
                    rowRecord.name.empty() ? nullptr : rowRecord.name.c_str());
    }
    if (rows != nullptr) rows->push_back(published.Row(i, rowRecord, held, mode));
  }
  if (board != nullptr) board->Show(fullRefresh, mode);
}

void TScoreboardExchangeThread::Impl::RefreshLocked(std::int32_t testPattern) {
  startLightShown.store(0);
  finishLightShown.store(0);
  if (testPattern != 1) {
    SendTableToScoreboard(1);
    return;
  }
  ScoreboardController* board = controller.load();
  if (board == nullptr) return;
  const std::int32_t mode = scoreboardMode.load();
  board->ClearBoard(0);
  for (std::int32_t n = 0; n < 8; ++n) {
    std::u16string name = u"Имя_1";
    name += static_cast<char16_t>(u'1' + n);
    board->SetRow(mode, n + 1, n + 22, 59999 + 1000 * n, 62333 + 1000 * n, n + 7, 0, 0, 10 * n, name.c_str());
  }
  board->Show(1, mode);
}

void TScoreboardExchangeThread::SetFeedAddress(std::uint32_t ipv4NetworkOrder, std::int32_t port) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> guard(d.connectionLock);
  d.feedIpv4 = ipv4NetworkOrder;
  d.feedPort = static_cast<std::uint16_t>(port);
  d.feedAddressSet = true;
  ++d.addressGeneration;  // an attempt in flight now leads nowhere
  if (d.connected == 1) {
    d.connected = 0;
    d.feedSocket.ShutdownBoth();
    d.feedSocket.Close();
  }
}

void TScoreboardExchangeThread::SetFeedLogShown(bool shown) { impl_->feedLogShown.store(shown); }

void TScoreboardExchangeThread::SetScoreboardMode(std::int32_t mode) {
  Impl& d = *impl_;
  d.scoreboardMode.store(mode);
  SortCompetitors(mode);
  std::lock_guard<std::mutex> guard(d.boardLock);
  d.RefreshLocked(0);
}

void TScoreboardExchangeThread::RefreshScoreboard(std::int32_t testPattern) {
  std::lock_guard<std::mutex> guard(impl_->boardLock);
  impl_->RefreshLocked(testPattern);
}

void TScoreboardExchangeThread::ClearScoreboard() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> guard(d.boardLock);
  if (ScoreboardController* board = d.controller.load()) board->ClearBoard(1);
  d.startLightShown.store(0);
  d.finishLightShown.store(0);
}

void TScoreboardExchangeThread::SetTrafficLight(std::int32_t light) {
  Impl& d = *impl_;
  if (light != 1 && light != 2) return;
  std::lock_guard<std::mutex> guard(d.boardLock);
  ScoreboardController* board = d.controller.load();
  if (light == 1) {
    d.startLightShown.store(1);
    d.finishLightShown.store(0);
    if (board != nullptr) board->StartLight();
  } else {
    d.startLightShown.store(0);
    d.finishLightShown.store(1);
    if (board != nullptr) board->FinishLight();
  }
}

void TScoreboardExchangeThread::SetBrightness(std::int32_t level) {
  std::lock_guard<std::mutex> guard(impl_->boardLock);
  if (ScoreboardController* board = impl_->controller.load()) board->SetBrightness(level);
}

void TScoreboardExchangeThread::SendPicture(const std::uint8_t* bits, std::int32_t width, std::int32_t height,
                                            std::int32_t reserved1, std::int32_t reserved2) {
  std::lock_guard<std::mutex> guard(impl_->boardLock);
  if (ScoreboardController* board = impl_->controller.load())
    board->ShowPicture(bits, width, height, reserved1, reserved2);
}

void TScoreboardExchangeThread::OpenScoreboardPort(const std::string& portName) {
  std::lock_guard<std::mutex> guard(impl_->boardLock);
  if (ScoreboardController* board = impl_->controller.load()) board->OpenPort(1, portName.c_str(), 115200);
}

std::int32_t TScoreboardExchangeThread::GetListRowCount() { return GetRowCount(impl_->scoreboardMode.load()); }

std::u16string TScoreboardExchangeThread::GetResultCellText(std::int32_t row, std::int32_t column) {
  return GetCellText(row, column, impl_->scoreboardMode.load());
}
