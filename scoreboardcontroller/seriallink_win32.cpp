#include <windows.h>

#include "seriallink.h"

bool TSerialLink::Open(const std::string& device, std::int32_t baudRate) {
  Close();
  HANDLE h = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) {
    ::CloseHandle(h);
    return false;
  }
  dcb.BaudRate = static_cast<DWORD>(baudRate > 0 ? baudRate : 115200);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  // Reads return at once with what is there; a write waits at most 500 ms.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 500;
  if (!::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &timeouts)) {
    ::CloseHandle(h);
    return false;
  }
  handle_ = h;
  return true;
}

bool TSerialLink::IsOpen() const { return handle_ != nullptr; }

void TSerialLink::Close() {
  if (handle_ != nullptr) ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

TSerialLink::Result TSerialLink::Write(const std::uint8_t* data, std::size_t size, int timeoutMs) {
  if (handle_ == nullptr) return Result::Failed;
  COMMTIMEOUTS timeouts{};
  if (::GetCommTimeouts(static_cast<HANDLE>(handle_), &timeouts) &&
      timeouts.WriteTotalTimeoutConstant != static_cast<DWORD>(timeoutMs)) {
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(timeoutMs);
    ::SetCommTimeouts(static_cast<HANDLE>(handle_), &timeouts);
  }
  std::size_t done = 0;
  while (done < size) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(size - done > 65536 ? 65536 : size - done);
    if (!::WriteFile(static_cast<HANDLE>(handle_), data + done, chunk, &written, nullptr)) return Result::Failed;
    if (written == 0) return Result::TimedOut;
    done += written;
  }
  return Result::Done;
}

long TSerialLink::ReadAvailable(std::uint8_t* buffer, std::size_t size) {
  if (handle_ == nullptr) return -1;
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(size > 65536 ? 65536 : size);
  if (!::ReadFile(static_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) return -1;
  return static_cast<long>(got);
}
