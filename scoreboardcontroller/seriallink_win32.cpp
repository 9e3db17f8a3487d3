// The board's port on Windows: overlapped I/O, so one WaitForMultipleObjects
// sleeps on the read in flight, the write in flight and the wake-up event.
//
// Reads: only what ClearCommError says is waiting, so a read never waits,
// and when nothing is there a WaitCommEvent for EV_RXCHAR is left in flight
// to wake the link thread when the board speaks. Under wine a read left in
// flight with the "return when a byte arrives" timeouts never completes, and
// one with the "return at once" timeouts waits for bytes; reading only what
// is waiting behaves the same on both.
//
// Writes: one write in flight, with no write timeouts at all. A write then
// completes only when every byte has gone, and its success is what we rely
// on: wine, on a COM port backed by a pseudo-terminal, reports 0 bytes
// written for a write whose bytes all arrived. Taking the count at its word
// would make us send frames twice or give up a working port; the success
// flag is reliable on both, and a port that fails reports failure.
#include <windows.h>

#include <cstring>

#include "seriallink.h"

namespace {

OVERLAPPED* Ov(void* p) { return static_cast<OVERLAPPED*>(p); }

}  // namespace

TSerialLink::TSerialLink()
    : wakeEvent_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      readEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      writeEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      readNowEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      readOverlapped_(new OVERLAPPED{}),
      writeOverlapped_(new OVERLAPPED{}) {}

TSerialLink::~TSerialLink() {
  Close();
  for (void* e : {wakeEvent_, readEvent_, writeEvent_, readNowEvent_}) {
    if (e != nullptr) ::CloseHandle(static_cast<HANDLE>(e));
  }
  delete Ov(readOverlapped_);
  delete Ov(writeOverlapped_);
}

bool TSerialLink::Open(const std::string& device, std::int32_t baudRate) {
  Close();
  HANDLE h = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
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
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  if (!::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &timeouts) || !::SetCommMask(h, EV_RXCHAR | EV_ERR)) {
    ::CloseHandle(h);
    return false;
  }
  handle_ = h;
  return true;
}

bool TSerialLink::IsOpen() const { return handle_ != nullptr; }

void TSerialLink::Close() {
  if (handle_ == nullptr) return;
  HANDLE h = static_cast<HANDLE>(handle_);
  ::CancelIo(h);
  DWORD ignored = 0;
  // The buffers belong to the system until the cancelled I/O has ended.
  if (readPending_) ::GetOverlappedResult(h, Ov(readOverlapped_), &ignored, TRUE);
  if (writePending_) ::GetOverlappedResult(h, Ov(writeOverlapped_), &ignored, TRUE);
  ::CloseHandle(h);
  handle_ = nullptr;
  readPending_ = writePending_ = false;
}

bool TSerialLink::StartRead() {
  if (readPending_) return true;
  OVERLAPPED* ov = Ov(readOverlapped_);
  *ov = OVERLAPPED{};
  ov->hEvent = static_cast<HANDLE>(readEvent_);
  if (::WaitCommEvent(static_cast<HANDLE>(handle_), &commEvents_, ov)) return true;  // already there
  if (::GetLastError() != ERROR_IO_PENDING) return false;
  readPending_ = true;
  return true;
}

long TSerialLink::ReadAvailable(std::uint8_t* buffer, std::size_t size) {
  if (handle_ == nullptr) return -1;
  HANDLE h = static_cast<HANDLE>(handle_);
  if (readPending_) {
    DWORD ignored = 0;
    // Wine ends a pending WaitCommEvent with ERROR_OPERATION_ABORTED when
    // the port is read or written meanwhile: no failure, just a wait to
    // arm again. A port that really failed fails ClearCommError below.
    if (::GetOverlappedResult(h, Ov(readOverlapped_), &ignored, FALSE) || ::GetLastError() == ERROR_OPERATION_ABORTED) {
      readPending_ = false;
    } else if (::GetLastError() != ERROR_IO_INCOMPLETE) {
      return -1;
    }
  }
  DWORD errors = 0;
  COMSTAT status{};
  if (!::ClearCommError(h, &errors, &status)) return -1;
  if (status.cbInQue == 0) return StartRead() ? 0 : -1;
  // Bytes that are there: the read completes at once. It still needs an
  // OVERLAPPED on a handle opened for overlapped I/O.
  OVERLAPPED ov{};
  ov.hEvent = static_cast<HANDLE>(readNowEvent_);
  const DWORD want = static_cast<DWORD>(size < status.cbInQue ? size : status.cbInQue);
  DWORD got = 0;
  if (!::ReadFile(h, buffer, want, &got, &ov)) {
    if (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(h, &ov, &got, TRUE)) return -1;
  }
  if (got > 0) return static_cast<long>(got);
  return StartRead() ? 0 : -1;
}

long TSerialLink::WriteSome(const std::uint8_t* data, std::size_t size) {
  if (handle_ == nullptr) return -1;
  HANDLE h = static_cast<HANDLE>(handle_);
  if (writePending_) {
    DWORD ignored = 0;
    if (!::GetOverlappedResult(h, Ov(writeOverlapped_), &ignored, FALSE)) {
      return ::GetLastError() == ERROR_IO_INCOMPLETE ? 0 : -1;
    }
    writePending_ = false;  // succeeded: every byte went (see the top of this file)
  }
  if (size == 0) return 0;
  const std::size_t n = size < sizeof writeBuffer_ ? size : sizeof writeBuffer_;
  std::memcpy(writeBuffer_, data, n);
  OVERLAPPED* ov = Ov(writeOverlapped_);
  *ov = OVERLAPPED{};
  ov->hEvent = static_cast<HANDLE>(writeEvent_);
  DWORD written = 0;
  if (!::WriteFile(h, writeBuffer_, static_cast<DWORD>(n), &written, ov)) {
    if (::GetLastError() != ERROR_IO_PENDING) return -1;
    writePending_ = true;
  }
  // The bytes are the port's now, whatever count it reports.
  return static_cast<long>(n);
}

unsigned TSerialLink::Wait(bool wantWrite, int timeoutMs) {
  HANDLE handles[3] = {static_cast<HANDLE>(wakeEvent_)};
  unsigned meaning[3] = {evWoken};
  DWORD count = 1;
  if (handle_ != nullptr) {
    if (wantWrite && !writePending_) return evWritable;
    if (!readPending_) return evReadable;  // read until the port is empty first
    {
      handles[count] = static_cast<HANDLE>(readEvent_);
      meaning[count++] = evReadable;
    }
    if (wantWrite && writePending_) {
      handles[count] = static_cast<HANDLE>(writeEvent_);
      meaning[count++] = evWritable;
    }
  }
  const DWORD r =
      ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count) return meaning[r - WAIT_OBJECT_0];
  return r == WAIT_FAILED ? evFailed : evNone;
}

void TSerialLink::Wake() { ::SetEvent(static_cast<HANDLE>(wakeEvent_)); }
