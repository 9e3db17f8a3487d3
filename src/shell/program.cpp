#include "shell/program.h"

#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "platform/debugoutput.h"
#include "platform/dynamiclibrary.h"
#include "platform/processend.h"
#include "platform/singleinstance.h"
#include "platform/textcodec.h"

namespace {

// Process-wide and never destroyed: the end runs while other threads live.
struct TProgramState {
  std::mutex lock;
  bool ending = false;
  std::thread::id endingThread;
  TmainForm* form = nullptr;
  platform::GuiQueue* queue = nullptr;
  platform::ShowRequestListener* showListener = nullptr;
};

TProgramState& State() {
  static auto* state = new TProgramState;
  return *state;
}

constexpr std::chrono::milliseconds kShowAnswerWait{500};
constexpr std::chrono::milliseconds kHandOverPause{200};

// The product's one name; tests and demos that run programs side by side
// give each run a name of its own (BRELVO_INSTANCE).
std::string LockName(const TProgramOptions& options) {
  if (options.lockName != nullptr) return options.lockName;
  std::string name = platform::kSingleInstanceName;
  const char* instance = std::getenv("BRELVO_INSTANCE");
  if (instance != nullptr && *instance != '\0') name = name + "-" + instance;
  return name;
}

}  // namespace

THandOver HandOverToFirstCopy(const char* lockName, std::chrono::milliseconds limit) {
  const char* name = lockName != nullptr ? lockName : platform::kSingleInstanceName;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    if (platform::RequestShowFromFirstCopy(name, kShowAnswerWait)) return THandOver::Answered;
    std::this_thread::sleep_for(kHandOverPause);
    // The first copy ended meanwhile ("Выход" just before): this one is
    // the program now.
    if (platform::AcquireSingleInstanceLock(name)) return THandOver::TookOver;
  } while (std::chrono::steady_clock::now() < deadline);
  return THandOver::NoAnswer;
}

void EndProgram() {
  TProgramState& state = State();
  {
    std::unique_lock<std::mutex> guard(state.lock);
    if (state.ending) {
      if (state.endingThread == std::this_thread::get_id()) return;
      // The first end finishes and ends the process under this caller.
      guard.unlock();
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    state.ending = true;
    state.endingThread = std::this_thread::get_id();
  }
  // A second copy started now waits for this one to end, then takes over.
  delete state.showListener;
  state.showListener = nullptr;
  // A feed-log hand-over waiting on the window is let go.
  if (state.queue != nullptr) state.queue->Shutdown();
  if (state.form != nullptr) {
    const auto started = std::chrono::steady_clock::now();
    const bool stopped = state.form->FormEnd();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    platform::DebugOutput(std::string("end: settings saved, exchange thread ") +
                          (stopped ? "stopped" : "abandoned inside the board library") + ", archive closed, " +
                          std::to_string(ms) + " ms\n");
  }
  platform::EndProcess(0);
}

void RunProgram(TProgramFace& face, const TProgramOptions& options) {
  // Kept for the whole run: the listener and the hand-over use it.
  static const std::string lockNameText = LockName(options);
  const char* lockName = lockNameText.c_str();
  // A second copy shows the first one's window and ends: no window of its
  // own, no message, exit code 0.
  if (!platform::AcquireSingleInstanceLock(lockName)) {
    const THandOver handOver = HandOverToFirstCopy(lockName, options.handOver);
    if (handOver != THandOver::TookOver) {
      platform::DebugOutput(handOver == THandOver::Answered ? "second copy: the running copy showed its window\n"
                                                            : "second copy: the running copy did not answer\n");
      platform::EndProcess(0);
    }
    platform::DebugOutput("second copy: the first one ended; this one runs\n");
  }
  // Before any library loads: never from the current folder or PATH.
  platform::RestrictLibrarySearch();
  // Before any thread starts, so that only the listener takes them.
  platform::BlockEndSignals();
  TProgramState& state = State();
  try {
    TmainFormEnvironment environment;
    environment.programEnd = [] { EndProgram(); };
    TmainForm& form = face.MakeWindow(std::move(environment));
    {
      std::lock_guard<std::mutex> guard(state.lock);
      state.form = &form;
      state.queue = face.Queue();
    }
    form.FormCreate();
    state.showListener =
        new platform::ShowRequestListener([&form] { return form.AnotherCopyStarted(); }, face.Queue(), lockName);
    // Lives until the process ends.
    new platform::EndRequestListener([] { EndProgram(); }, face.Queue());
    face.RunLoop();
  } catch (const std::exception& e) {
    face.ShowError(platform::AnsiToUtf16(e.what()));
  } catch (...) {
    face.ShowError(std::u16string());
  }
  EndProgram();
  // Reached only if the end was already running on this thread.
  platform::EndProcess(0);
}
