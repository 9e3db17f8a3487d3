// POSIX has no system message queue: the handle is a TWindowTarget whose
// post() queues a call of the handler on the GUI thread through GuiQueue, and
// whose send() runs a function there and waits.
//
// The handle must outlive every thread that posts to it or synchronizes on it
// (the exchange thread and the controller library). Messages that were queued
// but not yet delivered when the window goes away are dropped, not delivered
// to a dead handler.
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/messagewindow.h"

namespace platform {

namespace {

struct TDelivery {
  MessageHandler handler;
  std::atomic<bool> alive{true};
};

}  // namespace

struct MessageWindow::Impl {
  TWindowTarget target{};
  GuiQueue* queue = nullptr;
  std::thread::id guiThread;
  std::shared_ptr<TDelivery> delivery;

  static int Post(void* context, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    auto* self = static_cast<Impl*>(context);
    if (self->queue == nullptr) return 0;
    std::shared_ptr<TDelivery> delivery = self->delivery;
    self->queue->Post([delivery, message, wParam, lParam] {
      if (delivery->alive.load(std::memory_order_acquire) && delivery->handler) {
        delivery->handler(message, wParam, lParam);
      }
    });
    return 1;
  }

  static void Send(void* context, void (*fn)(void*), void* arg) {
    if (fn == nullptr) return;
    auto* self = static_cast<Impl*>(context);
    // On the GUI thread itself a blocking hand-over would wait for ever;
    // run at once, as SendMessageW does for its own thread.
    if (self->queue == nullptr || std::this_thread::get_id() == self->guiThread) {
      fn(arg);
      return;
    }
    self->queue->Invoke([fn, arg] { fn(arg); });
  }
};

MessageWindow::MessageWindow(MessageHandler handler, GuiQueue* queue) : impl_(std::make_unique<Impl>()) {
  impl_->queue = queue;
  impl_->guiThread = std::this_thread::get_id();
  impl_->delivery = std::make_shared<TDelivery>();
  impl_->delivery->handler = std::move(handler);
  impl_->target.context = impl_.get();
  impl_->target.post = &Impl::Post;
  impl_->target.send = &Impl::Send;
}

MessageWindow::~MessageWindow() { impl_->delivery->alive.store(false, std::memory_order_release); }

TWindowHandle MessageWindow::Handle() const { return &impl_->target; }

void ServeWaitingCalls() {}

void Synchronize(TWindowHandle window, void (*fn)(void*), void* arg) {
  if (fn == nullptr) return;
  if (window == nullptr || window->send == nullptr) {
    fn(arg);
    return;
  }
  window->send(window->context, fn, arg);
}

}  // namespace platform
