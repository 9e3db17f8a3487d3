#include "faces/qt/qtguiqueue.h"

#include <QThread>

TQtGuiQueue::TQtGuiQueue(QObject* context) : context_(context), shared_(std::make_shared<TShared>()) {}

TQtGuiQueue::~TQtGuiQueue() { Shutdown(); }

void TQtGuiQueue::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->shutdown) return;
  }
  QMetaObject::invokeMethod(
      context_,
      [shared = shared_, task = std::move(task)] {
        {
          std::lock_guard<std::mutex> lock(shared->mutex);
          if (shared->shutdown) return;
        }
        task();
      },
      Qt::QueuedConnection);
}

void TQtGuiQueue::Invoke(const std::function<void()>& task) {
  if (QThread::currentThread() == context_->thread()) {
    task();
    return;
  }
  struct TCall {
    bool running = false;
    bool finished = false;
    bool abandoned = false;
  };
  auto call = std::make_shared<TCall>();
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->shutdown) return;
  }
  // The task runs without the queue's lock, so it may post to the window
  // itself; the waiter keeps `task` alive until it has finished.
  QMetaObject::invokeMethod(
      context_,
      [shared = shared_, call, &task] {
        {
          std::lock_guard<std::mutex> guard(shared->mutex);
          if (call->abandoned || shared->shutdown) return;
          call->running = true;
        }
        task();
        std::lock_guard<std::mutex> guard(shared->mutex);
        call->finished = true;
        shared->done.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->done.wait(lock, [&] { return call->finished || (shared_->shutdown && !call->running); });
  call->abandoned = true;
}

void TQtGuiQueue::Shutdown() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->shutdown = true;
  shared_->done.notify_all();
}
