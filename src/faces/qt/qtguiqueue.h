// The GUI thread as the platform layer reaches it on POSIX: posted calls run
// from Qt's event loop; a blocking call waits until the GUI thread has run
// it, or until the queue is shut down (so a window being torn down never
// deadlocks with a thread that waits on it).
#pragma once

#include <QObject>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/messagewindow.h"

class TQtGuiQueue : public platform::GuiQueue {
 public:
  // `context` lives on the GUI thread; calls queued to it die with it.
  explicit TQtGuiQueue(QObject* context);
  ~TQtGuiQueue() override;

  void Post(std::function<void()> task) override;
  void Invoke(const std::function<void()>& task) override;

  // Releases every waiting Invoke whose task has not started, without
  // running it; later calls are dropped.
  void Shutdown() override;

 private:
  struct TShared {
    std::mutex mutex;
    std::condition_variable done;
    bool shutdown = false;
  };
  QObject* context_;
  std::shared_ptr<TShared> shared_;
};
