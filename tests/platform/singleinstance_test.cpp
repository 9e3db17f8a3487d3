#include "platform/singleinstance.h"

#include <cstdlib>
#include <string>

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
int RunProbe(const std::string& name) {
#ifdef _WIN32
  const auto probe = platform::ProgramFolder() / "brelvo_singleinstance_probe.exe";
  std::wstring command = L"\"" + probe.wstring() + L"\" " + std::wstring(name.begin(), name.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(probe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
#else
  const std::string probe = (platform::ProgramFolder() / "brelvo_singleinstance_probe").string();
  std::string nameArgument = name;
  char* argv[] = {const_cast<char*>(probe.c_str()), nameArgument.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, probe.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
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
  EXPECT_EQ(RunProbe(name), 1);
  EXPECT_EQ(RunProbe(name), 1);
  // Another name is another program.
  EXPECT_EQ(RunProbe(UniqueName("other")), 0);
  // Asking again in the same process does not pass the lock twice either.
  EXPECT_FALSE(platform::AcquireSingleInstanceLock(name.c_str()));
#ifndef _WIN32
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = runtimeDir != nullptr && *runtimeDir != '\0' ? runtimeDir : "/tmp";
  for (const std::string& used : {name, UniqueName("other")}) {
    EXPECT_EQ(::unlink((folder + "/brelvo-" + used + ".lock").c_str()), 0) << used;
  }
#endif
}

}  // namespace
