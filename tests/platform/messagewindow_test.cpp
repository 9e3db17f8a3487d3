#include "platform/messagewindow.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t kTestMessage = 0x8007;
constexpr std::uint32_t kLastMessage = 0x8008;
constexpr int kMessages = 2000;

struct TReceived {
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
  std::thread::id thread;
};

void Increment(void* arg) { ++*static_cast<int*>(arg); }

TEST(Synchronize, NullWindowRunsAtOnceOnTheCallingThread) {
  int calls = 0;
  platform::Synchronize(nullptr, &Increment, &calls);
  EXPECT_EQ(calls, 1);
  platform::Synchronize(nullptr, nullptr, &calls);  // no function: nothing to run
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(PostWindowMessage(nullptr, kTestMessage, 0, 0));
}

#ifndef _WIN32

// The GUI thread of these tests: one worker running queued tasks in order.
class TTestGuiQueue final : public platform::GuiQueue {
 public:
  TTestGuiQueue() : thread_([this] { Run(); }) {}
  ~TTestGuiQueue() override {
    Post({});
    thread_.join();
  }
  void Post(std::function<void()> task) override {
    std::lock_guard<std::mutex> guard(lock_);
    tasks_.push_back(std::move(task));
    wake_.notify_one();
  }
  void Invoke(const std::function<void()>& task) override {
    std::promise<void> done;
    Post([&] {
      task();
      done.set_value();
    });
    done.get_future().wait();
  }
  std::thread::id Id() const { return thread_.get_id(); }

 private:
  void Run() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> guard(lock_);
        wake_.wait(guard, [&] { return !tasks_.empty(); });
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      if (!task) return;
      task();
    }
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_;
};

class MessageWindowPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_.Invoke([this] {
      window_ = std::make_unique<platform::MessageWindow>(
          [this](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
            received_.push_back({message, wParam, lParam, std::this_thread::get_id()});
          },
          &queue_);
    });
  }
  void TearDown() override {
    queue_.Invoke([this] { window_.reset(); });
  }
  std::vector<TReceived> Received() {
    std::vector<TReceived> copy;
    queue_.Invoke([&] { copy = received_; });
    return copy;
  }
  TTestGuiQueue queue_;
  std::unique_ptr<platform::MessageWindow> window_;
  std::vector<TReceived> received_;  // GUI thread only
};

TEST_F(MessageWindowPosix, PostsFromOtherThreadsArriveOnTheGuiThreadInOrder) {
  const TWindowHandle handle = window_->Handle();
  std::thread poster([&] {
    for (int i = 0; i < kMessages; ++i) {
      ASSERT_TRUE(PostWindowMessage(handle, kTestMessage, static_cast<std::uintptr_t>(i), -i));
    }
  });
  poster.join();
  const std::vector<TReceived> received = Received();
  ASSERT_EQ(received.size(), static_cast<std::size_t>(kMessages));
  for (int i = 0; i < kMessages; ++i) {
    EXPECT_EQ(received[i].message, kTestMessage);
    EXPECT_EQ(received[i].wParam, static_cast<std::uintptr_t>(i));
    EXPECT_EQ(received[i].lParam, -i);
    EXPECT_EQ(received[i].thread, queue_.Id());
  }
}

TEST_F(MessageWindowPosix, SynchronizeRunsOnTheGuiThreadAfterEarlierPostsAndWaits) {
  const TWindowHandle handle = window_->Handle();
  struct TCall {
    std::thread::id ranOn;
    std::size_t seenBefore = 0;
    std::vector<TReceived>* received = nullptr;
  } call;
  call.received = &received_;
  std::thread exchange([&] {
    for (int i = 0; i < 100; ++i) PostWindowMessage(handle, kTestMessage, static_cast<std::uintptr_t>(i), 0);
    platform::Synchronize(
        handle,
        [](void* arg) {
          auto* self = static_cast<TCall*>(arg);
          self->ranOn = std::this_thread::get_id();
          self->seenBefore = self->received->size();
        },
        &call);
    // Synchronize has returned, so the call has run: no waiting needed here.
    EXPECT_EQ(call.ranOn, queue_.Id());
  });
  exchange.join();
  EXPECT_EQ(call.seenBefore, 100u);
}

TEST_F(MessageWindowPosix, SynchronizeFromTheGuiThreadItselfDoesNotDeadlock) {
  int calls = 0;
  const TWindowHandle handle = window_->Handle();
  queue_.Invoke([&] { platform::Synchronize(handle, &Increment, &calls); });
  EXPECT_EQ(calls, 1);
}

TEST_F(MessageWindowPosix, MessagesStillQueuedWhenTheWindowGoesAwayAreDropped) {
  const TWindowHandle handle = window_->Handle();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // Hold the GUI thread, queue the window's end, then post while the window
  // still exists: those messages are delivered only after it is gone.
  queue_.Post([released] { released.wait(); });
  queue_.Post([this] { window_.reset(); });
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(PostWindowMessage(handle, kTestMessage, 0, 0));
  release.set_value();
  EXPECT_TRUE(Received().empty());
}

#else

// The Win32 window needs a message loop on its own thread: the test thread.
TEST(MessageWindowWin32, PostsAndSynchronizeFromAnotherThreadReachTheLoopInOrder) {
  std::vector<TReceived> received;
  bool quit = false;
  platform::MessageWindow window(
      [&](std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
        received.push_back({message, wParam, lParam, std::this_thread::get_id()});
        if (message == kLastMessage) quit = true;
      },
      nullptr);
  const TWindowHandle handle = window.Handle();
  ASSERT_NE(handle, nullptr);

  struct TCall {
    std::thread::id ranOn;
    std::size_t seenBefore = 0;
    std::vector<TReceived>* received = nullptr;
  } call;
  call.received = &received;
  std::atomic<bool> postsOk{true};
  std::thread exchange([&] {
    for (int i = 0; i < kMessages; ++i) {
      if (!PostWindowMessage(handle, kTestMessage, static_cast<std::uintptr_t>(i), -i)) postsOk = false;
    }
    platform::Synchronize(
        handle,
        [](void* arg) {
          auto* self = static_cast<TCall*>(arg);
          self->ranOn = std::this_thread::get_id();
          self->seenBefore = self->received->size();
        },
        &call);
    PostWindowMessage(handle, kLastMessage, 0, 0);
  });

  MSG msg;
  while (!quit && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  exchange.join();

  EXPECT_TRUE(postsOk);
  ASSERT_EQ(received.size(), static_cast<std::size_t>(kMessages + 1));
  for (int i = 0; i < kMessages; ++i) {
    EXPECT_EQ(received[i].wParam, static_cast<std::uintptr_t>(i));
    EXPECT_EQ(received[i].lParam, -i);
    EXPECT_EQ(received[i].thread, std::this_thread::get_id());
  }
  EXPECT_EQ(call.ranOn, std::this_thread::get_id());
  // Sent messages are handled before posted ones, so the call may overtake
  // posts that were still queued; it never runs after the last post.
  EXPECT_LE(call.seenBefore, static_cast<std::size_t>(kMessages));
}

TEST(MessageWindowWin32, SynchronizeOnTheWindowsOwnThreadRunsAtOnce) {
  platform::MessageWindow window([](std::uint32_t, std::uintptr_t, std::intptr_t) {}, nullptr);
  int calls = 0;
  platform::Synchronize(window.Handle(), &Increment, &calls);
  EXPECT_EQ(calls, 1);
}

#endif

}  // namespace
