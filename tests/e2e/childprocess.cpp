#include "childprocess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

extern char** environ;

namespace e2e {

TChildProcess::TChildProcess(std::vector<std::string> argv, const std::map<std::string, std::string>& env) {
  // Everything the child needs is built before the fork: after it only
  // async-signal-safe calls are allowed.
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : env) merged[key] = value;
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : merged) envStrings.push_back(key + "=" + value);
  std::vector<char*> envp, args;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  for (std::string& s : argv) args.push_back(s.data());
  args.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // A test that dies must not leave its programs running.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  if (pid_ < 0) {
    ::close(pipeFds[0]);
    return;
  }
  reader_ = std::thread([this, fd = pipeFds[0]] { ReadLoop(fd); });
}

TChildProcess::~TChildProcess() {
  if (pid_ > 0 && !reaped_) Stop(SIGTERM);
  if (reader_.joinable()) reader_.join();
}

void TChildProcess::ReadLoop(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> guard(lock_);
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
        lines_.push_back(std::move(partial_));
        partial_.clear();
      } else {
        partial_.push_back(buffer[i]);
      }
    }
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (!partial_.empty()) lines_.push_back(std::move(partial_));
  partial_.clear();
  ::close(fd);
  changed_.notify_all();
}

int TChildProcess::Reap(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno == ECHILD)) {
      reaped_ = true;
      status_ = r == pid_ ? status : -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int TChildProcess::Stop(int signal, std::chrono::milliseconds grace) {
  if (pid_ <= 0) return -1;
  if (reaped_) return status_;
  ::kill(pid_, signal);
  if (Reap(grace) == -1 && !reaped_) {
    ::kill(pid_, SIGKILL);
    Reap(std::chrono::milliseconds(5000));
  }
  return status_;
}

bool TChildProcess::Running() {
  if (pid_ <= 0 || reaped_) return false;
  Reap(std::chrono::milliseconds(0));
  return !reaped_;
}

std::vector<std::string> TChildProcess::Lines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lines_;
}

std::optional<std::size_t> TChildProcess::WaitForLine(const std::string& text, std::chrono::milliseconds limit,
                                                      std::size_t from) const {
  std::unique_lock<std::mutex> guard(lock_);
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (std::size_t i = from; i < lines_.size(); ++i) {
      if (lines_[i].find(text) != std::string::npos) return i;
    }
    if (changed_.wait_until(guard, end) == std::cv_status::timeout) {
      for (std::size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].find(text) != std::string::npos) return i;
      }
      return std::nullopt;
    }
  }
}

std::string TChildProcess::Output() const {
  std::string out;
  for (const std::string& line : Lines()) out += "  | " + line + "\n";
  return out;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace e2e
