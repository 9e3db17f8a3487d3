#include "platform/singleinstance.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/programfolder.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <unistd.h>

#include <sys/wait.h>
extern char** environ;
#endif

namespace {

// Runs the probe under `name` in a process of its own; its exit code.
// `runtimeDir`: the probe's XDG_RUNTIME_DIR in place of ours (POSIX).
int RunProbe(const std::string& name, const char* runtimeDir = nullptr) {
#ifdef _WIN32
  (void)runtimeDir;
  const auto probe = platform::ProgramFolder() / "brelvo_singleinstance_probe.exe";
  std::wstring command = L"\"" + probe.wstring() + L"\" " + std::wstring(name.begin(), name.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(probe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return -1;
  }
  // Answering the probe's request needs this thread's messages served.
  while (MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
#else
  const std::string probe = (platform::ProgramFolder() / "brelvo_singleinstance_probe").string();
  std::string nameArgument = name;
  char* argv[] = {const_cast<char*>(probe.c_str()), nameArgument.data(), nullptr};
  std::vector<std::string> variables;
  for (char** v = environ; *v != nullptr; ++v) {
    if (runtimeDir == nullptr || std::string(*v).rfind("XDG_RUNTIME_DIR=", 0) != 0) variables.emplace_back(*v);
  }
  if (runtimeDir != nullptr) variables.push_back(std::string("XDG_RUNTIME_DIR=") + runtimeDir);
  std::vector<char*> environment;
  for (std::string& v : variables) environment.push_back(v.data());
  environment.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, probe.c_str(), nullptr, nullptr, argv, environment.data()) != 0) return -1;
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
#endif
}

std::string UniqueName(const char* what) {
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId();
#else
  const long pid = static_cast<long>(getpid());
#endif
  return std::string("brelvo-test-") + what + "-" + std::to_string(pid);
}

TEST(SingleInstanceLock, SecondProcessIsRefusedWhileTheFirstHoldsIt) {
  const std::string name = UniqueName("held");
  // A probe that ends frees the lock with its process.
  ASSERT_EQ(RunProbe(name), 0);
  ASSERT_EQ(RunProbe(name), 0);

  ASSERT_TRUE(platform::AcquireSingleInstanceLock(name.c_str()));
  // Held, and nobody listens for the show request: no answer.
  EXPECT_EQ(RunProbe(name), 3);
  EXPECT_EQ(RunProbe(name), 3);
  // Another name is another program.
  EXPECT_EQ(RunProbe(UniqueName("other")), 0);
  // Asking again in the same process does not pass the lock twice either.
  EXPECT_FALSE(platform::AcquireSingleInstanceLock(name.c_str()));
#ifdef _WIN32
  // One lock for every session of the machine.
  const HANDLE global = OpenMutexA(SYNCHRONIZE, FALSE, ("Global\\" + name).c_str());
  EXPECT_NE(global, nullptr) << "the lock is not in the Global namespace";
  if (global != nullptr) CloseHandle(global);
#else
  // The machine's lock, not one per runtime folder (per user or session);
  // and nothing on disk another user could plant in its place.
  const std::filesystem::path elsewhere =
      std::filesystem::temp_directory_path() / ("brelvo-runtime-" + std::to_string(getpid()));
  std::filesystem::create_directories(elsewhere);
  EXPECT_EQ(RunProbe(name, elsewhere.c_str()), 3);
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
  std::filesystem::remove_all(elsewhere);
#endif
}

// The listener's requests run wherever the queue runs them; here at once.
class ImmediateQueue : public platform::GuiQueue {
 public:
  void Post(std::function<void()> task) override { task(); }
  void Invoke(const std::function<void()>& task) override { task(); }
};

// A second copy, in a process of its own, asks the holder of the lock to
// show its window, and ends as before.
TEST(SingleInstanceLock, ASecondCopyAsksTheFirstToShowItsWindow) {
  const std::string name = UniqueName("show");
  std::atomic<int> requests{0};
  ImmediateQueue queue;
  platform::ShowRequestListener listener(
      [&] {
        ++requests;
        return true;
      },
      &queue, name.c_str());
  ASSERT_TRUE(listener.Listening());
  ASSERT_TRUE(platform::AcquireSingleInstanceLock(name.c_str()));
  EXPECT_EQ(RunProbe(name), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (requests.load() == 0 && std::chrono::steady_clock::now() < deadline) {
#ifdef _WIN32
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(requests.load(), 1);
  EXPECT_FALSE(platform::RequestShowFromFirstCopy(UniqueName("nobody").c_str())) << "no copy listens there";
}

}  // namespace
