// The board's serial port as the board-link thread uses it: raw 8N1 bytes,
// reads and writes that never wait, and one wait for all of them together
// with a wake-up that any thread may ring (new work for the board).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TSerialLink {
 public:
  TSerialLink();
  ~TSerialLink();
  TSerialLink(const TSerialLink&) = delete;
  TSerialLink& operator=(const TSerialLink&) = delete;

  // Opens `device` (POSIX path, or "\\.\COMn") at `baudRate`, 8 data bits,
  // no parity, one stop bit, no flow control. False when the device is
  // missing or is not a serial device.
  bool Open(const std::string& device, std::int32_t baudRate);
  bool IsOpen() const;
  void Close();

  // What the port takes now, without waiting: the count written (0 when the
  // line is full), -1 when the port failed.
  long WriteSome(const std::uint8_t* data, std::size_t size);
  // What is there, without waiting; -1 when the port failed.
  long ReadAvailable(std::uint8_t* buffer, std::size_t size);

  enum TEvent : unsigned { evNone = 0, evReadable = 1, evWritable = 2, evWoken = 4, evFailed = 8 };
  // Sleeps until the port has bytes, has room (when `wantWrite`), Wake() is
  // called or `timeoutMs` passes (-1: no limit). Events as a bit set.
  unsigned Wait(bool wantWrite, int timeoutMs);
  // Ends a Wait at once, or the next one; safe from any thread.
  void Wake();

 private:
#ifdef _WIN32
  bool StartRead();
  void* handle_ = nullptr;
  void* wakeEvent_ = nullptr;
  void* readEvent_ = nullptr;
  void* writeEvent_ = nullptr;
  void* readNowEvent_ = nullptr;
  unsigned long commEvents_ = 0;     // what WaitCommEvent reports
  void* readOverlapped_ = nullptr;   // OVERLAPPED of the WaitCommEvent in flight
  void* writeOverlapped_ = nullptr;  // OVERLAPPED of the write in flight
  bool readPending_ = false;         // a WaitCommEvent in flight
  bool writePending_ = false;
  std::uint8_t writeBuffer_[4096];
#else
  int fd_ = -1;
  int wakeFd_ = -1;
#endif
};
