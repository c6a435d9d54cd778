#ifdef _WIN32

#include "serial/win32/Win32SerialPort.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

#include "files/Wide.h"
#include "serial/SystemDevices.h"

namespace kelvane {

namespace {

constexpr DWORD kDriverQueue = 16 * 1024;  // asked of the driver for each direction
constexpr DWORD kWaitMask = EV_RXCHAR | EV_ERR;
constexpr DWORD kCloseWaitMs = 500;

std::string PortName(int n) { return "COM" + std::to_string(n); }

// "COM3" opens as "\\.\COM3" (the only form that reaches COM10 and up); a path given in full
// is taken as it is.
std::wstring OpenName(const std::string& device) {
  if (device.rfind("\\\\", 0) == 0) return Widen(device);
  return L"\\\\.\\" + Widen(device);
}

}  // namespace

bool ParseDcbSettings(const std::string& text, DCB& dcb) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    part.erase(0, part.find_first_not_of(' '));
    part.erase(part.find_last_not_of(' ') + 1);
    parts.push_back(part);
  }
  if (parts.size() != 4 || parts[0].empty() || parts[1].size() != 1) return false;
  if (parts[0].find_first_not_of("0123456789") != std::string::npos || parts[0].size() > 7)
    return false;
  const int baud = std::stoi(parts[0]);
  if (baud <= 0) return false;
  dcb.BaudRate = static_cast<DWORD>(baud);
  switch (std::tolower(static_cast<unsigned char>(parts[1][0]))) {
    case 'n': dcb.Parity = NOPARITY; break;
    case 'e': dcb.Parity = EVENPARITY; break;
    case 'o': dcb.Parity = ODDPARITY; break;
    case 'm': dcb.Parity = MARKPARITY; break;
    case 's': dcb.Parity = SPACEPARITY; break;
    default: return false;
  }
  if (parts[2].size() != 1 || parts[2][0] < '5' || parts[2][0] > '8') return false;
  dcb.ByteSize = static_cast<BYTE>(parts[2][0] - '0');
  if (parts[3] == "1")
    dcb.StopBits = ONESTOPBIT;
  else if (parts[3] == "1.5")
    dcb.StopBits = ONE5STOPBITS;
  else if (parts[3] == "2")
    dcb.StopBits = TWOSTOPBITS;
  else
    return false;
  // Raw bytes: no parity check or replacement, no flow control of either kind, no character
  // that means anything to the driver; DTR and RTS on, as adapters expect of an open port.
  dcb.fBinary = TRUE;
  dcb.fParity = dcb.Parity != NOPARITY;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = FALSE;
  return true;
}

Win32SerialPort::Win32SerialPort(const SettingsStore& settings)
    : store_(settings), ownDevices_(std::make_unique<SystemDevices>()), devices_(*ownDevices_) {}

Win32SerialPort::Win32SerialPort(const SettingsStore& settings, const DeviceList& devices)
    : store_(settings), devices_(devices) {}

Win32SerialPort::~Win32SerialPort() { CloseDevice(); }

std::string Win32SerialPort::Device(int n) const {
  return MapPort(store_, n, devices_.Devices(), devices_).device;
}

PortState Win32SerialPort::StateOf(int n) const {
  return !open_ || port_ != n ? PortState::Closed : lost_ ? PortState::Lost : PortState::Open;
}

std::string Win32SerialPort::Describe(int n) const {
  return PortToolTip(MapPort(store_, n, devices_.Devices(), devices_), StateOf(n), devices_);
}

bool Win32SerialPort::Fail(OpenFailure failure) {
  failure_ = std::move(failure);
  lastError_ = Explain(failure_);
  return false;
}

std::intptr_t Win32SerialPort::ReadinessHandle() const {
  return open_ && ready_ ? reinterpret_cast<std::intptr_t>(ready_) : -1;
}

bool Win32SerialPort::SetPortOpen(bool open) {
  if (!open) {
    closedLost_ = open_ && lost_;
    open_ = false;
    lost_ = false;
    in_.clear();
    CloseDevice();
    return true;
  }
  if (open_) return true;
  failure_ = {};
  lastError_.clear();
  lost_ = false;
  in_.clear();
  out_.clear();
  inFlight_.clear();
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!ParseDcbSettings(settings_, dcb)) {
    OpenFailure bad;
    bad.cause = OpenCause::BadSettings;
    bad.port = port_;
    bad.settings = settings_;
    return Fail(bad);
  }
  device_ = Device(port_);
  if (device_.empty()) return Fail(DiagnoseOpen(port_, device_, devices_));
  handle_ = ::CreateFileW(OpenName(device_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    const std::string why = SystemMessage(error);
    // Windows refuses a port another program holds with "access denied".
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
      return Fail(DiagnoseOpen(port_, device_, devices_, OpenCause::Busy, why));
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return Fail(DiagnoseOpen(port_, device_, devices_, OpenCause::NoSuchDevice));
    return Fail(DiagnoseOpen(port_, device_, devices_, OpenCause::Other, why));
  }
  // Reads return at once with what the driver holds; writes have no time limit of their own
  // (they are never waited on).
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  DCB current{};
  current.DCBlength = sizeof current;
  const bool set = ::GetFileType(handle_) == FILE_TYPE_CHAR &&
                   ::SetupComm(handle_, kDriverQueue, kDriverQueue) &&
                   ::GetCommState(handle_, &current) &&
                   (ParseDcbSettings(settings_, current), ::SetCommState(handle_, &current)) &&
                   ::SetCommTimeouts(handle_, &timeouts) && ::SetCommMask(handle_, kWaitMask);
  if (!set) {
    const std::string why = SystemMessage(::GetLastError());
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return Fail(DiagnoseOpen(port_, device_, devices_, OpenCause::Other,
                             "not a serial port that takes 115200 8N1: " + why));
  }
  // Bytes that arrived before the open are no answer to anything sent now.
  ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
  ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wrote_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  waitOv_ = {};
  waitOv_.hEvent = ready_;
  writeOv_ = {};
  writeOv_.hEvent = wrote_;
  waiting_ = writing_ = false;
  open_ = true;
  closedLost_ = false;
  Service();
  return true;
}

void Win32SerialPort::CloseDevice() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    // Pending operations end before their buffers and events go: a mask of 0 ends the wait
    // for bytes, the cancel the write. Never waited on for long: a driver (or Wine) that does
    // not end them must not hold the program.
    ::SetCommMask(handle_, 0);
    ::CancelIoEx(handle_, nullptr);
    if (waiting_) ::WaitForSingleObject(waitOv_.hEvent, kCloseWaitMs);
    if (writing_) ::WaitForSingleObject(writeOv_.hEvent, kCloseWaitMs);
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  waiting_ = writing_ = false;
  out_.clear();
  inFlight_.clear();
  for (HANDLE* h : {&ready_, &wrote_})
    if (*h) ::CloseHandle(*h), *h = nullptr;
}

void Win32SerialPort::MarkLost(DWORD error) const {
  if (!open_ || lost_) return;
  lost_ = true;
  lastError_ = PortName(port_) + " (" + device_ + "): the line was lost (" + SystemMessage(error) +
               "); the adapter was unplugged or the far end closed.";
  if (ready_) ::SetEvent(ready_);  // whoever waits learns of it
}

void Win32SerialPort::StartWrite() const {
  if (writing_ || out_.empty() || lost_) return;
  inFlight_.swap(out_);
  out_.clear();
  ::ResetEvent(wrote_);
  DWORD n = 0;
  if (::WriteFile(handle_, inFlight_.data(), static_cast<DWORD>(inFlight_.size()), &n, &writeOv_)) {
    inFlight_.clear();  // taken at once
    return;
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    writing_ = true;
    return;
  }
  MarkLost(::GetLastError());
}

void Win32SerialPort::ArmWait() const {
  if (waiting_ || lost_) return;
  ::ResetEvent(ready_);
  waitMask_ = 0;
  if (::WaitCommEvent(handle_, &waitMask_, &waitOv_)) {
    ::SetEvent(ready_);  // something is there already
    return;
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    waiting_ = true;
    return;
  }
  MarkLost(::GetLastError());
}

void Win32SerialPort::Service() const {
  if (!open_ || lost_ || handle_ == INVALID_HANDLE_VALUE) return;
  DWORD n = 0;
  if (writing_) {
    if (::GetOverlappedResult(handle_, &writeOv_, &n, FALSE)) {
      writing_ = false;
      inFlight_.clear();
    } else if (::GetLastError() != ERROR_IO_INCOMPLETE) {
      return MarkLost(::GetLastError());
    }
  }
  StartWrite();
  if (waiting_) {
    // Reset first: a completion after this sets the event again.
    ::ResetEvent(ready_);
    if (::GetOverlappedResult(handle_, &waitOv_, &n, FALSE))
      waiting_ = false;
    else if (const DWORD error = ::GetLastError(); error == ERROR_OPERATION_ABORTED)
      waiting_ = false;  // ended by a purge or a read (Wine does so): armed again below
    else if (error != ERROR_IO_INCOMPLETE)
      return MarkLost(error);
  }
  DWORD errors = 0;
  COMSTAT stat{};
  if (!::ClearCommError(handle_, &errors, &stat)) return MarkLost(::GetLastError());
  if (stat.cbInQue > 0) {
    const std::size_t had = in_.size();
    in_.resize(had + stat.cbInQue);
    OVERLAPPED readOv{};
    readOv.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    bool ok = ::ReadFile(handle_, in_.data() + had, stat.cbInQue, &got, &readOv);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING)
      ok = ::GetOverlappedResult(handle_, &readOv, &got, TRUE);  // the timeouts end it at once
    const DWORD error = ok ? 0 : ::GetLastError();
    ::CloseHandle(readOv.hEvent);
    in_.resize(had + (ok ? got : 0));
    if (!ok) return MarkLost(error);
  }
  ArmWait();
  if (!in_.empty()) ::SetEvent(ready_);
}

bool Win32SerialPort::Lost() const {
  Service();
  return lost_;
}

void Win32SerialPort::Output(std::span<const std::uint8_t> bytes) {
  if (!open_ || lost_ || bytes.empty()) return;
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  Service();
}

int Win32SerialPort::OutBufferCount() const {
  if (!open_ || lost_) return 0;  // a lost line never drains
  Service();
  return static_cast<int>(out_.size() + (writing_ ? inFlight_.size() : 0));
}

void Win32SerialPort::SetOutBufferCount(int) {
  out_.clear();
  if (!open_ || handle_ == INVALID_HANDLE_VALUE) return;
  ::PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
  if (writing_) {
    DWORD n = 0;
    ::GetOverlappedResult(handle_, &writeOv_, &n, TRUE);  // aborted: ends at once
    writing_ = false;
  }
  inFlight_.clear();
}

int Win32SerialPort::InBufferCount() const {
  Service();
  return static_cast<int>(in_.size());
}

void Win32SerialPort::SetInBufferCount(int) {
  if (open_ && handle_ != INVALID_HANDLE_VALUE) ::PurgeComm(handle_, PURGE_RXCLEAR);
  in_.clear();
}

Bytes Win32SerialPort::Input() {
  // Bytes already taken in are handed out without asking the driver again: an upload reads
  // one byte at a time.
  if (in_.empty() || inputLen_ == 0 || in_.size() < static_cast<std::size_t>(inputLen_)) Service();
  const std::size_t take =
      inputLen_ == 0 ? in_.size() : std::min(in_.size(), static_cast<std::size_t>(inputLen_));
  Bytes out(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(take));
  // The event may stay set with nothing left to read: the next Service resets it. Resetting
  // it here could swallow a wait that has just completed.
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(take));
  return out;
}

}  // namespace kelvane

#endif
