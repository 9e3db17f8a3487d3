// A companion program run by a test: started with fork and exec, its
// standard output and error merged into one pipe that a reader thread cuts
// into lines, so the test can wait for what the program says.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace e2e {

class TChildProcess {
 public:
  // Runs argv[0] with the test's environment plus `env` (a value replaces an
  // inherited one). Started() tells whether the fork succeeded; an exec that
  // fails shows as exit code 127.
  TChildProcess(std::vector<std::string> argv, const std::map<std::string, std::string>& env = {});
  // Ends the program (SIGTERM, then SIGKILL after two seconds) if it still runs.
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // Sends `signal` and waits for the end; the exit status as waitpid gives it.
  int Stop(int signal, std::chrono::milliseconds grace = std::chrono::milliseconds(2000));
  bool Running();

  // Every line the program wrote so far, line ends removed.
  std::vector<std::string> Lines() const;
  // Waits until a line at index `from` or later contains `text`; its index.
  std::optional<std::size_t> WaitForLine(const std::string& text, std::chrono::milliseconds limit,
                                         std::size_t from = 0) const;
  std::string Output() const;  // all lines, for failure messages

 private:
  void ReadLoop(int fd);
  int Reap(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::thread reader_;
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::string partial_;
};

// Polls `condition` every 10 ms until it holds or `limit` has passed.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// The whole file, or an empty string when it cannot be read.
std::string ReadFile(const std::string& path);

// Sends all of `bytes` on a connected socket; false when the peer is gone.
bool SendAll(int fd, const std::string& bytes);

}  // namespace e2e
