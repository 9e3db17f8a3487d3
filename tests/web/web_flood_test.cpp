// The results server under a flood from one device, and a port the system
// keeps from the program. The flood comes from a child process, so that the
// descriptors and the CPU counted here are the server's alone.
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "web/webserver.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// A process out of descriptors cannot even list them: then "too many".
int OpenDescriptors() {
  std::error_code error;
  std::filesystem::directory_iterator entry("/proc/self/fd", error);
  int n = 0;
  for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) ++n;
  return error ? 1 << 30 : n;
}

// The descriptor limit back as it was and the flood ended, however the
// test ends.
struct TFloodScope {
  rlimit saved{};
  pid_t child = -1;
  TFloodScope() { getrlimit(RLIMIT_NOFILE, &saved); }
  ~TFloodScope() {
    setrlimit(RLIMIT_NOFILE, &saved);
    if (child > 0) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// A blocking connection from `from` (a loopback address) to the server.
int Connect(const char* from, std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The first line of the answer to a GET of /results.json, within `limit`.
std::string StatusLine(const char* from, std::uint16_t port, std::chrono::milliseconds limit = 2000ms) {
  const int fd = Connect(from, port);
  if (fd < 0) return "no connection";
  const std::string request = "GET /results.json HTTP/1.1\r\nHost: x\r\n\r\n";
  if (write(fd, request.data(), request.size()) < 0) return "not sent";
  std::string answer;
  const auto end = Steady::now() + limit;
  while (answer.find("\r\n") == std::string::npos && Steady::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[512];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer.substr(0, answer.find("\r\n"));
}

// The flooding device: `total` connections from 127.0.0.1, most of them a
// request head that never ends, every tenth a whole request; then one byte
// to the parent; then `more` further connections on each 'm' it reads; it
// ends (all closed) on 'e' or when the parent goes.
[[noreturn]] void Flood(std::uint16_t port, int total, int more, int toParent, int fromParent) {
  alarm(60);
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  auto open = [port](int count) {
    for (int i = 0; i < count; ++i) {
      const int fd = Connect("127.0.0.1", port);
      if (fd < 0) continue;
      const std::string bytes = i % 10 == 0 ? "GET / HTTP/1.1\r\nHost: x\r\n\r\n" : "GET / HTTP/1.1\r\nHost: x\r\n";
      (void)!write(fd, bytes.data(), bytes.size());
    }
  };
  open(total);
  (void)!write(toParent, "c", 1);
  char command = 0;
  while (read(fromParent, &command, 1) == 1 && command == 'm') {
    open(more);
    (void)!write(toParent, "c", 1);
  }
  _exit(0);
}

// 2,000 connections held from one address take at most the address's
// places and the few 503s: the descriptors stay far below the limit, so
// that the feed's reconnect and the archive's next file still open, and
// another device is served during the flood. Out of descriptors, the server
// waits instead of spinning; a viewer is served once the flood ends.
TEST(WebFlood, OneDeviceCannotTakeThePageOrTheProcess) {
  TWebServer::Options options;
  TWebServer server(options);
  ASSERT_EQ(server.Start(0), TWebListenResult::Listening);
  const std::uint16_t port = server.Port();
  ASSERT_EQ(StatusLine("127.0.0.1", port).rfind("HTTP/1.1 200", 0), 0u);
  const int before = OpenDescriptors();

  TFloodScope scope;
  int up[2], down[2];
  ASSERT_EQ(pipe(up), 0);
  ASSERT_EQ(pipe(down), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(up[0]);
    close(down[1]);
    Flood(port, 2000, 200, up[1], down[0]);
  }
  scope.child = child;
  close(up[1]);
  close(down[0]);
  auto waitForChild = [&] {
    pollfd p{up[0], POLLIN, 0};
    char c = 0;
    return poll(&p, 1, 30000) == 1 && read(up[0], &c, 1) == 1;
  };

  // The process may not open more than a few dozen descriptors beyond what
  // it has: a server that kept the flood would run out.
  const rlimit saved = scope.saved;
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(before + 64);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);

  const auto floodStart = Steady::now();
  const double cpuStart = CpuSeconds();
  const bool flooded = waitForChild();
  const double floodSeconds = std::chrono::duration<double>(Steady::now() - floodStart).count();
  std::this_thread::sleep_for(300ms);  // the last connections are taken and closed
  const int held = OpenDescriptors() - before;
  const double cpuHold = CpuSeconds();
  std::this_thread::sleep_for(1s);
  const double holdCpu = CpuSeconds() - cpuHold;
  const double floodCpu = cpuHold - cpuStart;
  EXPECT_TRUE(flooded) << "the flood did not get its connections through";
  EXPECT_LE(held, static_cast<int>(options.maxPerAddress + options.maxRefusals) + 2);
  EXPECT_EQ(server.ClientCount(), options.maxPerAddress);
  // The feed and the archive still get their descriptors.
  FILE* archive = std::tmpfile();
  EXPECT_NE(archive, nullptr);
  if (archive != nullptr) std::fclose(archive);
  EXPECT_EQ(StatusLine("127.0.0.2", port).rfind("HTTP/1.1 200", 0), 0u) << "another device is kept out";

  // No descriptor left at all: accepts fail, and the server waits between them.
  // The limit bounds a new descriptor's number, and a new one takes the
  // lowest free number.
  const int lowestFree = dup(0);
  close(lowestFree);
  tight.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const double cpuStarved = CpuSeconds();
  ASSERT_EQ(write(down[1], "m", 1), 1);
  EXPECT_TRUE(waitForChild());
  std::this_thread::sleep_for(1s);
  const double starvedCpu = CpuSeconds() - cpuStarved;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  ASSERT_EQ(write(down[1], "e", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  scope.child = -1;
  const auto ended = Steady::now();
  // The flood's places are freed as the server sees its connections end; a
  // browser that finds the server still full asks again.
  std::string answer;
  while ((answer = StatusLine("127.0.0.1", port)).rfind("HTTP/1.1 200", 0) != 0 && Steady::now() < ended + 5s) {
    std::this_thread::sleep_for(20ms);
  }
  const double servedMs = std::chrono::duration<double, std::milli>(Steady::now() - ended).count();
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  // A spinning server thread takes what CPU it gets, a third of a core even
  // on a busy machine; a waiting one takes next to none.
  EXPECT_LT(holdCpu, 0.1);
  EXPECT_LT(starvedCpu, 0.1);
  std::printf(
      "flood of 2000: %.2f s, %.3f CPU-s; %d descriptors held; CPU-s per second held %.3f, out of descriptors %.3f; "
      "a viewer served %.0f ms after the flood\n",
      floodSeconds, floodCpu, held, holdCpu, starvedCpu, servedMs);
  close(up[0]);
  close(down[1]);
}

// Below 1024 Linux keeps a port from a program without the right, which the
// operator is told as such, not as a port taken by another program.
TEST(WebFlood, PortWithoutPermissionIsNotCalledBusy) {
  std::uint16_t port = 0;
  for (std::uint16_t candidate = 1000; candidate > 900 && port == 0; --candidate) {
    if (StatusLine("127.0.0.1", candidate, 200ms) == "no connection") port = candidate;
  }
  ASSERT_NE(port, 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Root binds anything: the test drops the right first.
    if (geteuid() == 0 && setuid(65534) != 0) _exit(2);
    TWebServer server;
    const TWebListenResult result = server.Start(port);
    _exit(result == TWebListenResult::NoPermission ? 0 : result == TWebListenResult::PortBusy ? 3 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no user to drop to, 3: called busy, 4: failed otherwise";
}

}  // namespace
