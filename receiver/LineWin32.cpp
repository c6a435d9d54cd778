// The line on Windows: a COM port through the communications API, or, standing in for the
// pseudo-terminal, a named pipe the PC opens like a port (\\.\pipe\NAME). Everything is
// overlapped: on a pipe one read stays pending across calls, so that a deadline never loses
// bytes; on a port a pending wait for a received byte (WaitCommEvent) is, and reads take what
// the driver holds at once.
// A pipe holds no bytes for a PC that has not opened it: what is written meanwhile is
// dropped, as the pseudo-terminal's hold discards it.
#ifdef _WIN32

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

#include "files/Wide.h"
#include "receiver/Line.h"

namespace kelvane::rx {

namespace {

using namespace std::chrono;

constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
constexpr DWORD kPipeBuffer = 64 * 1024;

std::string Failure(const std::string& what, DWORD error) {
  return what + ": " + SystemMessage(error);
}

// The last error, taken before anything else can change it.
[[noreturn]] void ThrowLast(const char* what, const std::string& more = {}) {
  const DWORD error = ::GetLastError();
  throw LineError(Failure(what + more, error));
}

// The errors that mean the PC closed its end of a pipe.
bool HungUp(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

// Waits until the event is set or the deadline passes; true when it is set.
bool WaitUntil(HANDLE event, SteadyClock::time_point until) {
  for (;;) {
    const auto left = duration_cast<milliseconds>(until - SteadyClock::now()).count();
    const DWORD ms = left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left + 1, 60000));
    if (::WaitForSingleObject(event, ms) == WAIT_OBJECT_0) return true;
    if (ms == 0 || SteadyClock::now() >= until) return false;
  }
}

}  // namespace

struct Line::System {
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool pipe = false;
  bool connected = false;  // a PC has the pipe open
  bool connecting = false, reading = false, waiting = false;
  DWORD events = 0;  // what the port's pending wait saw
  OVERLAPPED connectOv{}, readOv{}, writeOv{}, waitOv{};
  std::uint8_t in[kChunk];

  System() {
    for (OVERLAPPED* ov : {&connectOv, &readOv, &writeOv, &waitOv})
      ov->hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~System() {
    for (OVERLAPPED* ov : {&connectOv, &readOv, &writeOv, &waitOv})
      if (ov->hEvent) ::CloseHandle(ov->hEvent);
  }

  // Ends the pending operations; their buffers stay valid until they have.
  void Cancel() {
    if (handle == INVALID_HANDLE_VALUE) return;
    if (!pipe) ::SetCommMask(handle, 0);  // ends the wait for a byte
    ::CancelIoEx(handle, nullptr);
    DWORD n = 0;
    if (connecting) ::GetOverlappedResult(handle, &connectOv, &n, TRUE);
    if (reading) ::GetOverlappedResult(handle, &readOv, &n, TRUE);
    if (waiting) ::GetOverlappedResult(handle, &waitOv, &n, TRUE);
    connecting = reading = waiting = false;
  }

  // Waits (overlapped) for the next PC to open the pipe.
  void Listen() {
    connected = false;
    connectOv.Internal = connectOv.InternalHigh = 0;
    ::ResetEvent(connectOv.hEvent);
    if (::ConnectNamedPipe(handle, &connectOv)) {
      connected = true;
      return;
    }
    switch (const DWORD error = ::GetLastError()) {
      case ERROR_IO_PENDING: connecting = true; return;
      case ERROR_PIPE_CONNECTED: connected = true; return;  // it opened before we listened
      default: throw LineError(Failure("waiting for the PC on the pipe", error));
    }
  }

  // The PC went away: the pipe waits for the next one.
  void ListenAgain() {
    Cancel();
    ::DisconnectNamedPipe(handle);
    Listen();
  }

  // True once a PC has the pipe open (a port is always open); waits until `until` for one.
  bool Connected(SteadyClock::time_point until) {
    if (!pipe || connected) return true;
    if (!WaitUntil(connectOv.hEvent, until)) return false;
    DWORD n = 0;
    connecting = false;
    if (::GetOverlappedResult(handle, &connectOv, &n, FALSE)) {
      connected = true;
    } else if (const DWORD error = ::GetLastError(); HungUp(error)) {
      ListenAgain();  // it opened and closed the pipe already
    } else {
      throw LineError(Failure("waiting for the PC on the pipe", error));
    }
    return connected;
  }

  // A port: what its driver holds, taken at once (the timeouts let no read wait); 0 when it
  // holds nothing.
  std::size_t TakeQueued(std::uint8_t* buf) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(handle, &errors, &stat)) ThrowLast("read");
    if (stat.cbInQue == 0) return 0;
    DWORD got = 0;
    ::ResetEvent(readOv.hEvent);
    bool ok = ::ReadFile(handle, buf, std::min<DWORD>(stat.cbInQue, kChunk), nullptr, &readOv);
    if (ok || ::GetLastError() == ERROR_IO_PENDING)
      ok = ::GetOverlappedResult(handle, &readOv, &got, TRUE);
    if (!ok) ThrowLast("read");
    return got;
  }

  // A port: starts the wait for a received byte unless one is pending.
  void ArmWait() {
    if (waiting) return;
    ::ResetEvent(waitOv.hEvent);
    events = 0;
    if (::WaitCommEvent(handle, &events, &waitOv)) return;  // something is there already
    if (::GetLastError() != ERROR_IO_PENDING) ThrowLast("waiting for bytes");
    waiting = true;
  }
};

Line::Line() : sys_(std::make_unique<System>()) {}
Line::Line(Line&&) noexcept = default;

Line Line::OpenPty(const std::string& linkPath, bool pace) {
  Line line;
  line.pty_ = true;
  line.pace_ = pace;
  std::string name = linkPath;
  if (name.empty())
    name = "kelvane-receiver-" + std::to_string(::GetCurrentProcessId());
  else if (name.rfind(kPipePrefix, 0) == 0)
    name.erase(0, std::strlen(kPipePrefix));
  if (name.empty() || name.find_first_of("\\/") != std::string::npos)
    throw LineError("--link takes a pipe's name on Windows, NAME or \\\\.\\pipe\\NAME, not " +
                    linkPath);
  line.peerPath_ = kPipePrefix + name;
  // One PC at a time, only from this machine; a name another program serves is refused
  // rather than shared.
  line.sys_->pipe = true;
  line.sys_->handle = ::CreateNamedPipeW(
      Widen(line.peerPath_).c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kPipeBuffer,
      kPipeBuffer, 0, nullptr);
  if (line.sys_->handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)
      throw LineError("the pipe " + line.peerPath_ + " is served by another program");
    throw LineError(Failure("creating the pipe " + line.peerPath_, error));
  }
  line.sys_->Listen();
  return line;
}

Line Line::OpenDevice(const std::string& path, bool pace) {
  Line line;
  line.pace_ = pace;
  line.peerPath_ = path;
  const std::string full = path.rfind("\\\\", 0) == 0 ? path : "\\\\.\\" + path;
  HANDLE h = ::CreateFileW(Widen(full).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowLast("open ", path);
  line.sys_->handle = h;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) ThrowLast("not a serial port: ", path);
  // 115200 8N1, raw: no flow control, no character that means anything to the driver.
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  // Reads return at once with what the driver holds; a pending WaitCommEvent is the wait.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  if (!::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &timeouts) ||
      !::SetCommMask(h, EV_RXCHAR | EV_ERR))
    ThrowLast("setting up ", path);
  ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return line;
}

Line::~Line() {
  if (sys_) Close();  // not when moved from
}

void Line::Close() {
  if (sys_->handle == INVALID_HANDLE_VALUE) return;
  sys_->Cancel();
  ::CloseHandle(sys_->handle);
  sys_->handle = INVALID_HANDLE_VALUE;
  sys_->connected = false;
}

void Line::ReleaseHold() {}  // nothing holds a pipe or a port

void Line::HoldAgain() {
  if (!pty_ || !IsOpen() || !sys_->connected) return;
  sys_->ListenAgain();
  peerSeen_ = false;
  peerClosed_ = false;
  queue_.clear();
}

void Line::DiscardUnread() {}  // a pipe keeps nothing for a PC that has not opened it

bool Line::IsOpen() const { return sys_->handle != INVALID_HANDLE_VALUE; }

std::size_t Line::Send(const std::uint8_t* bytes, std::size_t n) {
  System& s = *sys_;
  if (!s.Connected(SteadyClock::now())) return n;  // no PC to read them
  DWORD w = 0;
  ::ResetEvent(s.writeOv.hEvent);
  bool ok = ::WriteFile(s.handle, bytes, static_cast<DWORD>(n), nullptr, &s.writeOv);
  if (!ok && ::GetLastError() == ERROR_IO_PENDING)
    ok = ::GetOverlappedResult(s.handle, &s.writeOv, &w, TRUE);
  else if (ok)
    ::GetOverlappedResult(s.handle, &s.writeOv, &w, FALSE);
  if (ok) return w;
  const DWORD error = ::GetLastError();
  if (s.pipe && HungUp(error)) {
    if (peerSeen_) PeerGone();
    s.ListenAgain();  // a PC that opened the pipe and closed it again unheard
    return n;
  }
  throw LineError(Failure("write", error));
}

std::size_t Line::Receive(std::uint8_t (&buf)[kChunk], SteadyClock::time_point until) {
  System& s = *sys_;
  if (!IsOpen()) {  // closed on purpose: nothing comes, as on a closed descriptor
    std::this_thread::sleep_until(until);
    return 0;
  }
  while (!s.pipe) {
    if (const std::size_t n = s.TakeQueued(buf)) return n;
    s.ArmWait();
    // A byte that came before the wait was armed may not end it: looked for once more.
    if (const std::size_t n = s.TakeQueued(buf)) return n;
    if (!s.waiting)
      std::this_thread::sleep_for(milliseconds(1));  // it ended at once: no busy loop
    else if (!WaitUntil(s.waitOv.hEvent, until))
      return 0;
    DWORD n = 0;
    if (s.waiting) ::GetOverlappedResult(s.handle, &s.waitOv, &n, FALSE);  // aborted: armed again
    s.waiting = false;
    if (SteadyClock::now() >= until) return s.TakeQueued(buf);
  }
  for (;;) {
    if (!s.Connected(until)) return 0;
    if (!s.reading) {
      ::ResetEvent(s.readOv.hEvent);
      if (::ReadFile(s.handle, s.in, sizeof s.in, nullptr, &s.readOv) ||
          ::GetLastError() == ERROR_IO_PENDING) {
        s.reading = true;
      } else if (const DWORD error = ::GetLastError(); !(s.pipe && HungUp(error))) {
        throw LineError(Failure("read", error));
      } else if (peerSeen_) {
        return kHungUp;
      } else {
        s.ListenAgain();
        continue;
      }
    }
    if (!WaitUntil(s.readOv.hEvent, until)) return 0;
    s.reading = false;
    DWORD n = 0;
    if (::GetOverlappedResult(s.handle, &s.readOv, &n, FALSE)) {
      if (n == 0) continue;
      std::memcpy(buf, s.in, n);
      return n;
    }
    const DWORD error = ::GetLastError();
    if (!(s.pipe && HungUp(error))) throw LineError(Failure("read", error));
    if (peerSeen_) return kHungUp;
    s.ListenAgain();
  }
}

}  // namespace kelvane::rx

#endif
