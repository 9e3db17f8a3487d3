// The yardstick for the program's idle CPU: a bare loop that connects to the
// feed, receives without blocking and sleeps 20 ms, nothing else. The figure
// script runs it beside the program on the same silent feed.
//
//   bench_idleloop <port>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/socket.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
  platform::SocketLibrary library;
  platform::TcpSocket socket;
  if (!socket.Open() || !socket.Connect(platform::InetAddr("127.0.0.1"), port, std::chrono::seconds(5)) ||
      !socket.SetNonBlocking(true))
    return 1;
  char buffer[65536];
  for (;;) {
    std::size_t received = 0;
    const platform::ReceiveStatus status = socket.Receive(buffer, sizeof buffer, received);
    if (status == platform::ReceiveStatus::Closed || status == platform::ReceiveStatus::Error) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
