// The board's serial port as the board-link thread uses it: raw 8N1 bytes,
// writes that give up after a timeout, reads that never wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TSerialLink {
 public:
  TSerialLink() = default;
  ~TSerialLink() { Close(); }
  TSerialLink(const TSerialLink&) = delete;
  TSerialLink& operator=(const TSerialLink&) = delete;

  // Opens `device` (POSIX path, or "\\.\COMn") at `baudRate`, 8 data bits,
  // no parity, one stop bit, no flow control. False when the device is
  // missing or is not a serial device.
  bool Open(const std::string& device, std::int32_t baudRate);
  bool IsOpen() const;
  void Close();

  enum class Result { Done, TimedOut, Failed };
  // Writes all `size` bytes, or stops after `timeoutMs` (the board stopped
  // taking bytes) or at a device error (the port went away).
  Result Write(const std::uint8_t* data, std::size_t size, int timeoutMs);
  // Reads what is there, without waiting; -1 when the device failed.
  long ReadAvailable(std::uint8_t* buffer, std::size_t size);

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};
