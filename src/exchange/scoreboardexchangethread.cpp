#include "exchange/scoreboardexchangethread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "exchange/boardworker.h"
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

  // Connected for the page only once data came: a timing application that
  // hangs with its port open is no live feed.
  bool FeedConnected() {
    std::lock_guard<std::mutex> guard(connectionLock);
    return connected != 0 && dataSinceConnect;
  }

  // Board side; the caller holds pushLock. The table for the board as it
  // stands now; `rows`, when given, gets the page's rows of it.
  TBoardCommand TableCommand(std::int32_t fullRefresh, std::vector<TSnapshotRow>* rows);
  void ResetRowRecord();
  // RefreshScoreboard's steps; the caller holds pushLock.
  void RefreshLocked(std::int32_t testPattern);
  // A table the window gave the board, for the exchange thread to hand to
  // the page; the caller holds pushLock.
  void PublishFromWindow(std::vector<TSnapshotRow> rows);
  // Exchange thread, under pushLock: hands on what the window left.
  void PublishWindowTables();
  // Exchange thread: every change for the page goes out after the tables
  // the window gave the board before it.
  template <typename Change>
  void Publish(Change&& change) {
    if (!published.Active()) return;
    std::lock_guard<std::mutex> guard(pushLock);
    PublishWindowTables();
    change();
  }

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
  bool dataSinceConnect = false;

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

  // Makes every controller call; created before the thread starts.
  std::unique_ptr<TBoardWorker> board;
  // Held while a table is built and handed to the board, while a hold
  // changes with its command, and while the page is handed a table: so the
  // board's order, the holds and the page's order agree. Never held across
  // a controller call, a connect or Synchronize.
  std::mutex pushLock;
  TCompetitor rowRecord{0};
  bool windowTablePending = false;  // under pushLock
  std::int32_t windowTableMode = 0;
  std::vector<TSnapshotRow> windowTableRows;

  TSnapshotPublisher published;  // exchange thread only
  std::u16string className;      // scratch of "$C" records

  std::atomic<bool> terminated{false};
  std::thread thread;
  // The body's end, for a bounded Stop.
  std::mutex endLock;
  std::condition_variable bodyEndedSignal;
  bool bodyEnded = false;
  bool abandoned = false;       // Stop gave up on the body; this Impl stays to it
  bool boardAbandoned = false;  // Stop gave up on the board thread (a library hanging in a call)
};

TScoreboardExchangeThread::TScoreboardExchangeThread(TWindowHandle windowHandle)
    : TScoreboardExchangeThread(windowHandle, Options{}) {}

TScoreboardExchangeThread::TScoreboardExchangeThread(TWindowHandle windowHandle, Options options)
    : impl_(new Impl(windowHandle, std::move(options))) {
  Impl& d = *impl_;
  // A library slow to load or to create its controller holds only its own
  // thread; the window hears when it is done.
  d.board = std::make_unique<TBoardWorker>(
      d.options.libraryName, d.windowHandle, [&d] { d.Post(enControllerLoaded); }, d.options.controllerConvention);
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
  Stop(std::chrono::milliseconds::max());
  if (abandoned_) return;  // the abandoned body owns impl_ now
  // Its thread still runs in the library: the worker stays to the process's end.
  if (impl_->boardAbandoned) (void)impl_->board.release();
  delete impl_;
}

bool TScoreboardExchangeThread::Stop(std::chrono::milliseconds limit) {
  if (abandoned_) return false;
  Impl& d = *impl_;
  // No new hand-over to a window that is ending.
  d.feedLogShown.store(false);
  Terminate();
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
  if (d.thread.joinable()) d.thread.join();
  // Then the board thread closes the port (the library's delete) in what
  // is left of the time.
  if (d.boardAbandoned) return false;
  const auto left = limit == std::chrono::milliseconds::max()
                        ? limit
                        : std::max(std::chrono::milliseconds{0}, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                     deadline - std::chrono::steady_clock::now()));
  if (!d.board->Stop(left)) {
    d.boardAbandoned = true;
    return false;
  }
  return true;
}

void TScoreboardExchangeThread::Terminate() { impl_->terminated.store(true); }
bool TScoreboardExchangeThread::Terminated() const { return impl_->terminated.load(); }
bool TScoreboardExchangeThread::ControllerLoaded() const { return impl_->board->Loaded(); }
bool TScoreboardExchangeThread::HasController() const { return impl_->board->HasController(); }
TControllerLoad TScoreboardExchangeThread::ControllerLoad() const { return impl_->board->Load(); }
bool TScoreboardExchangeThread::WaitForBoard(std::chrono::milliseconds timeout) {
  return impl_->board->WaitIdle(timeout);
}
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
      if (published.Active()) {
        const bool live = FeedConnected();
        Publish([&] { published.Feed(live); });
      }
      clock.SleepMilliseconds(kPassMilliseconds);
    }
    std::lock_guard<std::mutex> guard(connectionLock);
    if (feedSocket.IsOpen()) {
      feedSocket.ShutdownBoth();
      feedSocket.Close();
    }
    connected = 0;
  }
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
    dataSinceConnect = false;  // connected for the window once data comes
    lastDataMs = clock.SteadyMilliseconds();
    lineAssembler.Reset();
    if (options.feedConnected) options.feedConnected();
  }
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
  bool firstData = false;
  std::int64_t silentMs = 0;
  {
    std::lock_guard<std::mutex> guard(connectionLock);
    if (!feedSocket.IsOpen()) return;  // no connection: the receive would fail at once
    status = feedSocket.Receive(receiveBuffer.get(), kFeedBufferSize, received);
    const std::int64_t now = clock.SteadyMilliseconds();
    if (status == platform::ReceiveStatus::Data && received > 0) {
      lastDataMs = now;
      firstData = !dataSinceConnect;
      dataSinceConnect = true;
    }
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
  if (firstData || silenceReported != 0) ReportFeedConnected();  // data at last, or again after a silence
  if (firstData) Publish([&] { published.Feed(true); });
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
      Publish([&] { published.Clear(record->name); });
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
      Publish([&] { published.Heartbeat(record->raceTime, record->flag, record->timeToGo, record->lapsToGo); });
      if (lastFlag != fsNone) {
        TBoardCommand command;
        command.kind = bcRaceTime;
        command.value = record->raceTime;
        board->Submit(std::move(command));
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
  if (lastFlag == fsNone || tableDirty.load() != 1) return;
  std::vector<TSnapshotRow> rows;
  {
    std::lock_guard<std::mutex> guard(pushLock);
    // Under the lock: a light the window switched on a moment ago reaches
    // the board after this table, or holds it back.
    if (startLightShown.load() != 0 || finishLightShown.load() != 0) return;
    PublishWindowTables();
    board->Submit(TableCommand(fullRefresh, published.Active() ? &rows : nullptr));
    tableDirty.store(0);
    Post(enTableSent);
    published.Table(scoreboardMode.load(), std::move(rows));
  }
}

void TScoreboardExchangeThread::Impl::ResetRowRecord() {
  rowRecord.totalTime = rowRecord.lastLapTime = rowRecord.bestLapTime = 0;
  rowRecord.regNumber = 0;
  rowRecord.number = rowRecord.racePosition = rowRecord.bestLapPosition = 0;
  rowRecord.laps = rowRecord.bestLapNumber = rowRecord.raceGap = rowRecord.bestLapGap = 0;
  rowRecord.name.clear();
}

TBoardCommand TScoreboardExchangeThread::Impl::TableCommand(std::int32_t fullRefresh, std::vector<TSnapshotRow>* rows) {
  TBoardCommand command;
  command.kind = bcTable;
  command.fullRefresh = fullRefresh;
  const std::int32_t mode = scoreboardMode.load();
  command.mode = mode;
  // Row i is position i + 1, so the rows reach the highest position held:
  // with holes in the positions, one row per competitor would cut the cars
  // at the end. A position past any board's rows is a feed fault, not a car.
  auto rowCount = [mode] { return std::min(std::max(GetCompetitorCount(), GetHighestPosition(mode)), kMaxPosition); };
  if (rows != nullptr) rows->reserve(static_cast<std::size_t>(rowCount()));
  // The page's rows of the push before are the exchange thread's: the
  // window's tables are made afresh.
  const bool onExchangeThread = std::this_thread::get_id() == thread.get_id();
  for (std::int32_t i = 0; i < rowCount(); ++i) {
    // A position nobody holds is an empty row, never a copy of the row before.
    const bool held = CopyCompetitor(i, mode, rowRecord);
    if (!held) ResetRowRecord();
    command.rows.push_back(TBoardRow{rowRecord.number, rowRecord.bestLapTime, rowRecord.lastLapTime, rowRecord.laps,
                                     rowRecord.totalTime, rowRecord.raceGap, rowRecord.bestLapGap, rowRecord.name});
    if (rows != nullptr)
      rows->push_back(onExchangeThread ? published.Row(i, rowRecord, held, mode)
                                       : TSnapshotPublisher::FreshRow(i, rowRecord, held, mode));
  }
  return command;
}

void TScoreboardExchangeThread::Impl::PublishFromWindow(std::vector<TSnapshotRow> rows) {
  if (!published.Active()) return;
  windowTableMode = scoreboardMode.load();
  windowTableRows = std::move(rows);
  windowTablePending = true;
}

void TScoreboardExchangeThread::Impl::PublishWindowTables() {
  if (!windowTablePending) return;
  windowTablePending = false;
  published.Table(windowTableMode, std::move(windowTableRows));
  windowTableRows.clear();
}

void TScoreboardExchangeThread::Impl::RefreshLocked(std::int32_t testPattern) {
  startLightShown.store(0);
  finishLightShown.store(0);
  if (testPattern != 1) {
    std::vector<TSnapshotRow> rows;
    board->Submit(TableCommand(1, published.Active() ? &rows : nullptr));
    PublishFromWindow(std::move(rows));
    return;
  }
  // The board's own check; the page keeps the results.
  TBoardCommand command;
  command.kind = bcTable;
  command.fullRefresh = 1;
  command.mode = scoreboardMode.load();
  for (std::int32_t n = 0; n < 8; ++n) {
    std::u16string name = u"Имя_1";
    name += static_cast<char16_t>(u'1' + n);
    command.rows.push_back(TBoardRow{n + 22, 59999 + 1000 * n, 62333 + 1000 * n, n + 7, 0, 0, 10 * n, name});
  }
  board->Submit(std::move(command));
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
  std::lock_guard<std::mutex> guard(d.pushLock);
  d.RefreshLocked(0);
}

void TScoreboardExchangeThread::RefreshScoreboard(std::int32_t testPattern) {
  std::lock_guard<std::mutex> guard(impl_->pushLock);
  impl_->RefreshLocked(testPattern);
}

void TScoreboardExchangeThread::ClearScoreboard() {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> guard(d.pushLock);
  TBoardCommand command;
  command.kind = bcClear;
  command.value = 1;
  d.board->Submit(std::move(command));
  d.startLightShown.store(0);
  d.finishLightShown.store(0);
  // The board is blank, and so is the page until the next push.
  d.PublishFromWindow({});
}

void TScoreboardExchangeThread::SetTrafficLight(std::int32_t light) {
  Impl& d = *impl_;
  if (light != 1 && light != 2) return;
  std::lock_guard<std::mutex> guard(d.pushLock);
  TBoardCommand command;
  command.kind = light == 1 ? bcStartLight : bcFinishLight;
  d.startLightShown.store(light == 1 ? 1 : 0);
  d.finishLightShown.store(light == 2 ? 1 : 0);
  d.board->Submit(std::move(command));
}

void TScoreboardExchangeThread::SetBrightness(std::int32_t level) {
  TBoardCommand command;
  command.kind = bcBrightness;
  command.value = level;
  impl_->board->Submit(std::move(command));
}

void TScoreboardExchangeThread::SendPicture(const std::uint8_t* bits, std::int32_t width, std::int32_t height,
                                            std::int32_t reserved1, std::int32_t reserved2) {
  TBoardCommand command;
  command.kind = bcPicture;
  command.width = width;
  command.height = height;
  command.reserved1 = reserved1;
  command.reserved2 = reserved2;
  // Rows of width / 8 bytes, as the controller reads them; a library that
  // rounds a ragged width up reads zeros, never past the copy.
  if (bits != nullptr && width > 0 && height > 0) {
    const std::size_t rowBytes = static_cast<std::size_t>(width / 8);
    command.bits.assign(bits, bits + rowBytes * static_cast<std::size_t>(height));
    command.bits.resize((static_cast<std::size_t>(width) + 7) / 8 * static_cast<std::size_t>(height));
  }
  std::lock_guard<std::mutex> guard(impl_->pushLock);
  impl_->board->Submit(std::move(command));
}

void TScoreboardExchangeThread::OpenScoreboardPort(const std::string& portName) {
  TBoardCommand command;
  command.kind = bcOpenPort;
  command.portName = portName;
  impl_->board->Submit(std::move(command));
}

std::int32_t TScoreboardExchangeThread::GetListRowCount() { return GetRowCount(impl_->scoreboardMode.load()); }

std::u16string TScoreboardExchangeThread::GetResultCellText(std::int32_t row, std::int32_t column) {
  return GetCellText(row, column, impl_->scoreboardMode.load());
}
