#include "exchange/boardworker.h"

#include <algorithm>
#include <utility>

namespace {

bool TakesWholeBoard(const TBoardCommand& command) {
  switch (command.kind) {
    case bcClear:
    case bcStartLight:
    case bcFinishLight:
    case bcPicture:
      return true;
    default:
      return false;
  }
}

}  // namespace

TBoardWorker::TBoardWorker(std::string libraryName, TWindowHandle window, std::function<void()> loaded,
                           TConventionSetting convention)
    : libraryName_(std::move(libraryName)), window_(window), loaded_(std::move(loaded)), convention_(convention) {
  thread_ = std::thread([this] { Run(); });
}

TBoardWorker::~TBoardWorker() { Stop(); }

void TBoardWorker::DropOne() { ++finished_; }

void TBoardWorker::Submit(TBoardCommand command) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stop_) return;
    ++submitted_;
    auto isTable = [](const TBoardCommand& c) { return c.kind == bcTable; };
    if (command.kind == bcRaceTime) {
      // Newest first: an older clock nobody saw yet is of no use, and the
      // clock goes ahead of the tables that wait (never of an operator's
      // command: those keep their order).
      const auto older =
          std::find_if(waiting_.begin(), waiting_.end(), [](const TBoardCommand& c) { return c.kind == bcRaceTime; });
      if (older != waiting_.end()) {
        waiting_.erase(older);
        DropOne();
      }
      waiting_.insert(std::find_if(waiting_.begin(), waiting_.end(), isTable), std::move(command));
    } else {
      if (command.kind == bcTable || TakesWholeBoard(command)) {
        // A waiting table is replaced whole; a redraw it asked for is kept.
        for (auto it = waiting_.begin(); it != waiting_.end();) {
          if (isTable(*it)) {
            if (command.kind == bcTable) command.fullRefresh |= it->fullRefresh;
            it = waiting_.erase(it);
            DropOne();
          } else {
            ++it;
          }
        }
      }
      if (TakesWholeBoard(command) && pushing_) cut_ = true;
      waiting_.push_back(std::move(command));
    }
  }
  changed_.notify_all();
}

bool TBoardWorker::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  const std::uint64_t target = submitted_;
  return changed_.wait_for(guard, timeout, [&] { return stop_ || (loadedFlag_ && finished_ >= target); });
}

bool TBoardWorker::Stop(std::chrono::milliseconds limit) {
  {
    std::unique_lock<std::mutex> guard(lock_);
    stop_ = true;
    cut_ = true;
    finished_ += waiting_.size();
    waiting_.clear();
    changed_.notify_all();
    if (!thread_.joinable()) return true;
    if (limit == std::chrono::milliseconds::max()) {
      changed_.wait(guard, [&] { return ended_; });
    } else if (!changed_.wait_for(guard, limit, [&] { return ended_; })) {
      thread_.detach();
      return false;
    }
  }
  thread_.join();
  return true;
}

bool TBoardWorker::Loaded() const {
  std::lock_guard<std::mutex> guard(lock_);
  return loadedFlag_;
}

bool TBoardWorker::HasController() const {
  std::lock_guard<std::mutex> guard(lock_);
  return controller_ != nullptr;
}

TControllerLoad TBoardWorker::Load() const {
  std::lock_guard<std::mutex> guard(lock_);
  return load_;
}

bool TBoardWorker::Cut() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cut_;
}

void TBoardWorker::Run() {
  library_.Load(libraryName_, window_, convention_);
  {
    std::lock_guard<std::mutex> guard(lock_);
    controller_ = library_.Controller();
    load_ = library_.Result();
    loadedFlag_ = true;
  }
  changed_.notify_all();
  if (loaded_) loaded_();

  for (;;) {
    TBoardCommand command;
    {
      std::unique_lock<std::mutex> guard(lock_);
      changed_.wait(guard, [&] { return stop_ || !waiting_.empty(); });
      if (stop_) break;
      command = std::move(waiting_.front());
      waiting_.pop_front();
      pushing_ = command.kind == bcTable;
      cut_ = false;
    }
    Make(command);
    {
      std::lock_guard<std::mutex> guard(lock_);
      pushing_ = false;
      ++finished_;
    }
    changed_.notify_all();
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    controller_ = nullptr;
  }
  library_.Delete();
  {
    std::lock_guard<std::mutex> guard(lock_);
    ended_ = true;
  }
  changed_.notify_all();
}

void TBoardWorker::Make(const TBoardCommand& command) {
  ScoreboardController* board = controller_;  // written only by this thread
  if (board == nullptr) return;
  switch (command.kind) {
    case bcTable:
      board->ClearBoard(0);
      for (std::size_t i = 0; i < command.rows.size(); ++i) {
        if (Cut()) return;  // never shown: the command that cut it takes the board
        const TBoardRow& row = command.rows[i];
        board->SetRow(command.mode, static_cast<std::int32_t>(i + 1), row.number, row.bestLapTime, row.lastLapTime,
                      row.laps, row.totalTime, row.raceGap, row.bestLapGap,
                      row.name.empty() ? nullptr : row.name.c_str());
      }
      if (Cut()) return;
      board->Show(command.fullRefresh, command.mode);
      break;
    case bcClear:
      board->ClearBoard(command.value);
      break;
    case bcStartLight:
      board->StartLight();
      break;
    case bcFinishLight:
      board->FinishLight();
      break;
    case bcBrightness:
      board->SetBrightness(command.value);
      break;
    case bcRaceTime:
      board->SetRaceTime(command.value);
      break;
    case bcPicture:
      board->ShowPicture(command.bits.empty() ? nullptr : command.bits.data(), command.width, command.height,
                         command.reserved1, command.reserved2);
      break;
    case bcOpenPort:
      board->OpenPort(1, command.portName.c_str(), 115200);
      break;
  }
}
