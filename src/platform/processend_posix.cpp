#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <signal.h>
#include <thread>

#include "platform/processend.h"

namespace platform {
namespace {

sigset_t EndSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void EndProcess(int exitCode) {
  std::fflush(nullptr);
  std::_Exit(exitCode);
}

void BlockEndSignals() {
  const sigset_t set = EndSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

struct EndRequestListener::Impl {
  std::atomic<bool> stopping{false};
  std::thread thread;
};

EndRequestListener::EndRequestListener(std::function<void()> onEnd, GuiQueue* queue) : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.thread = std::thread([&d, queue, onEnd = std::move(onEnd)] {
    const sigset_t set = EndSignals();
    // Short waits, so the listener can be ended (tests); a signal that
    // comes meanwhile stays pending for the next wait.
    const timespec slice{0, 200 * 1000 * 1000};
    while (!d.stopping.load()) {
      const int signal = sigtimedwait(&set, nullptr, &slice);
      if (signal <= 0) continue;
      if (queue != nullptr) {
        queue->Post(onEnd);
      } else {
        onEnd();
      }
    }
  });
}

EndRequestListener::~EndRequestListener() {
  impl_->stopping.store(true);
  if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace platform
