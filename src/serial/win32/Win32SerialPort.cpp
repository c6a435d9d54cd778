#ifdef _WIN32

#include "serial/win32/Win32SerialPort.h"

#include <windows.h>

#include <algorithm>

#include "files/Wide.h"
#include "serial/SystemDevices.h"

namespace kelvane {

namespace {

constexpr DWORD kDriverQueue = 16 * 1024;  // asked of the driver for each direction
constexpr DWORD kWaitMask = EV_RXCHAR | EV_ERR;
constexpr DWORD kCloseWaitMs = 500;
constexpr std::size_t kPipeRead = 4096;

// The errors of a pipe whose far end closed.
bool PipeHungUp(DWORD error) {
  return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
}

// "COM3" opens as "\\.\COM3" (the only form that reaches COM10 and up); a path given in full
// is taken as it is.
std::wstring OpenName(const std::string& device) {
  if (device.rfind("\\\\", 0) == 0) return Widen(device);
  return L"\\\\.\\" + Widen(device);
}

// `line` as a DCB's fields: raw bytes, no parity check or replacement, no flow control of
// either kind, no character that means anything to the driver; DTR and RTS on, as adapters
// expect of an open port.
void SetDcb(const LineSettings& line, DCB& dcb) {
  dcb.BaudRate = static_cast<DWORD>(line.baud);
  switch (line.parity) {
    case LineSettings::Parity::None: dcb.Parity = NOPARITY; break;
    case LineSettings::Parity::Even: dcb.Parity = EVENPARITY; break;
    case LineSettings::Parity::Odd: dcb.Parity = ODDPARITY; break;
    case LineSettings::Parity::Mark: dcb.Parity = MARKPARITY; break;
    case LineSettings::Parity::Space: dcb.Parity = SPACEPARITY; break;
  }
  dcb.ByteSize = static_cast<BYTE>(line.dataBits);
  switch (line.stopBits) {
    case LineSettings::StopBits::One: dcb.StopBits = ONESTOPBIT; break;
    case LineSettings::StopBits::OneAndHalf: dcb.StopBits = ONE5STOPBITS; break;
    case LineSettings::StopBits::Two: dcb.StopBits = TWOSTOPBITS; break;
  }
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
}

}  // namespace

Win32SerialPort::Win32SerialPort(const SettingsStore& settings)
    : DevicePort(settings, std::make_unique<SystemDevices>()),
      handle_(INVALID_HANDLE_VALUE),
      waitOv_(std::make_unique<OVERLAPPED>()),
      writeOv_(std::make_unique<OVERLAPPED>()),
      readOv_(std::make_unique<OVERLAPPED>()) {}

Win32SerialPort::Win32SerialPort(const SettingsStore& settings, const DeviceList& devices)
    : DevicePort(settings, devices),
      handle_(INVALID_HANDLE_VALUE),
      waitOv_(std::make_unique<OVERLAPPED>()),
      writeOv_(std::make_unique<OVERLAPPED>()),
      readOv_(std::make_unique<OVERLAPPED>()) {}

Win32SerialPort::~Win32SerialPort() { CloseDevice(); }

std::intptr_t Win32SerialPort::ReadinessHandle() const {
  return handle_ != INVALID_HANDLE_VALUE && ready_ ? reinterpret_cast<std::intptr_t>(ready_) : -1;
}

DevicePort::Result Win32SerialPort::OpenDevice(const std::string& node, const LineSettings& line,
                                               const std::optional<SerialDevice>&) {
  failed_ = ended_ = false;
  failedWhy_.clear();
  out_.clear();
  inFlight_.clear();
  arrived_.clear();
  handle_ = ::CreateFileW(OpenName(node).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // Windows refuses a port another program holds with "access denied".
    // A pipe another program has open says "all pipe instances are busy".
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
        error == ERROR_PIPE_BUSY)
      return {OpenCause::Busy, SystemMessage(error)};
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return {OpenCause::NoSuchDevice, {}};
    return {OpenCause::Other, SystemMessage(error)};
  }
  pipe_ = ::GetFileType(handle_) == FILE_TYPE_PIPE;
  if (pipe_) {
    ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wrote_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    *readOv_ = {};
    readOv_->hEvent = ready_;
    *writeOv_ = {};
    writeOv_->hEvent = wrote_;
    waiting_ = writing_ = reading_ = false;
    pipeIn_.resize(kPipeRead);
    ServicePipeReads();
    return {};
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
                   (SetDcb(line, current), ::SetCommState(handle_, &current)) &&
                   ::SetCommTimeouts(handle_, &timeouts) && ::SetCommMask(handle_, kWaitMask);
  if (!set) {
    const std::string why = SystemMessage(::GetLastError());
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return {OpenCause::Other, "not a serial port that takes these line settings: " + why};
  }
  // What came in as the port opened stays to be read, as on the other systems: a receiver's
  // ready announced then is its answer. Nothing is queued out yet.
  ::PurgeComm(handle_, PURGE_TXCLEAR);
  ready_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  wrote_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  *waitOv_ = {};
  waitOv_->hEvent = ready_;
  *writeOv_ = {};
  writeOv_->hEvent = wrote_;
  waiting_ = writing_ = false;
  ArmWait();
  return {};
}

void Win32SerialPort::CloseDevice() {
  if (handle_ != INVALID_HANDLE_VALUE) {
    // Pending operations end before their buffers and events go: a mask of 0 ends the wait
    // for bytes, the cancel the write. Never waited on for long: a driver (or Wine) that does
    // not end them must not hold the program.
    if (!pipe_) ::SetCommMask(handle_, 0);
    ::CancelIoEx(handle_, nullptr);
    if (waiting_) ::WaitForSingleObject(waitOv_->hEvent, kCloseWaitMs);
    if (writing_) ::WaitForSingleObject(writeOv_->hEvent, kCloseWaitMs);
    if (reading_) ::WaitForSingleObject(readOv_->hEvent, kCloseWaitMs);
    ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  waiting_ = writing_ = reading_ = false;
  out_.clear();
  inFlight_.clear();
  arrived_.clear();
  for (void** h : {&ready_, &wrote_})
    if (*h) ::CloseHandle(*h), *h = nullptr;
}

void Win32SerialPort::Failed(unsigned long error) const {
  if (failed_) return;
  failed_ = true;
  ended_ = pipe_ && PipeHungUp(error);
  if (!ended_) failedWhy_ = SystemMessage(error);
  if (ready_) ::SetEvent(ready_);  // whoever waits learns of it
}

void Win32SerialPort::StartWrite() const {
  if (writing_ || out_.empty() || failed_) return;
  inFlight_.swap(out_);
  out_.clear();
  ::ResetEvent(wrote_);
  DWORD n = 0;
  if (::WriteFile(handle_, inFlight_.data(), static_cast<DWORD>(inFlight_.size()), &n,
                  writeOv_.get())) {
    inFlight_.clear();  // taken at once
    return;
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    writing_ = true;
    return;
  }
  Failed(::GetLastError());
}

void Win32SerialPort::ArmWait() const {
  if (waiting_ || failed_ || handle_ == INVALID_HANDLE_VALUE) return;
  ::ResetEvent(ready_);
  waitMask_ = 0;
  if (::WaitCommEvent(handle_, &waitMask_, waitOv_.get())) {
    ::SetEvent(ready_);  // something is there already
    return;
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    waiting_ = true;
    return;
  }
  Failed(::GetLastError());
}

void Win32SerialPort::ServiceWrites() const {
  if (handle_ == INVALID_HANDLE_VALUE || failed_) return;
  DWORD n = 0;
  if (writing_) {
    if (::GetOverlappedResult(handle_, writeOv_.get(), &n, FALSE)) {
      writing_ = false;
      inFlight_.clear();
    } else if (::GetLastError() != ERROR_IO_INCOMPLETE) {
      return Failed(::GetLastError());
    }
  }
  StartWrite();
}

void Win32SerialPort::ServicePipeReads() const {
  while (!failed_ && handle_ != INVALID_HANDLE_VALUE) {
    if (reading_) {
      DWORD n = 0;
      if (!::GetOverlappedResult(handle_, readOv_.get(), &n, FALSE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return;
        reading_ = false;
        return Failed(error);
      }
      reading_ = false;
      arrived_.insert(arrived_.end(), pipeIn_.begin(),
                      pipeIn_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    // A read that completes at once is taken on the next round, as one that completes later.
    if (!::ReadFile(handle_, pipeIn_.data(), static_cast<DWORD>(pipeIn_.size()), nullptr,
                    readOv_.get()) &&
        ::GetLastError() != ERROR_IO_PENDING)
      return Failed(::GetLastError());
    reading_ = true;
  }
}

bool Win32SerialPort::DeviceFailed() const {
  ServiceWrites();
  if (pipe_) {
    ServicePipeReads();
    // What a read brought stays announced until it is taken (the next read reset the event).
    if (!arrived_.empty()) ::SetEvent(ready_);
  }
  return failed_;
}

DevicePort::Read Win32SerialPort::ReadDevice(Bytes& into, std::string& why) {
  ServiceWrites();
  if (pipe_) {
    // Reset first: a read that completes after this sets the event again.
    ::ResetEvent(ready_);
    ServicePipeReads();
    into.insert(into.end(), arrived_.begin(), arrived_.end());
    arrived_.clear();
    if (!failed_) return Read::Drained;
    if (ended_) return Read::Ended;
    why = failedWhy_;
    return Read::Failed;
  }
  if (!failed_ && waiting_) {
    // Reset first: a completion after this sets the event again.
    ::ResetEvent(ready_);
    DWORD n = 0;
    if (::GetOverlappedResult(handle_, waitOv_.get(), &n, FALSE))
      waiting_ = false;
    else if (const DWORD error = ::GetLastError(); error == ERROR_OPERATION_ABORTED)
      waiting_ = false;  // ended by a purge or a read (Wine does so): armed again below
    else if (error != ERROR_IO_INCOMPLETE)
      Failed(error);
  }
  DWORD errors = 0;
  COMSTAT stat{};
  if (!failed_ && !::ClearCommError(handle_, &errors, &stat)) Failed(::GetLastError());
  if (!failed_ && stat.cbInQue > 0) {
    const std::size_t had = into.size();
    into.resize(had + stat.cbInQue);
    OVERLAPPED readOv{};
    readOv.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    bool ok = ::ReadFile(handle_, into.data() + had, stat.cbInQue, &got, &readOv);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING)
      ok = ::GetOverlappedResult(handle_, &readOv, &got, TRUE);  // the timeouts end it at once
    const DWORD error = ok ? 0 : ::GetLastError();
    ::CloseHandle(readOv.hEvent);
    into.resize(had + (ok ? got : 0));
    if (!ok) Failed(error);
  }
  if (failed_) {
    why = failedWhy_;
    return Read::Failed;
  }
  ArmWait();
  return Read::Drained;
}

bool Win32SerialPort::WriteDevice(std::span<const std::uint8_t> bytes, std::string& why) {
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  ServiceWrites();
  if (failed_ && !ended_) why = "writing failed: " + failedWhy_;
  return !failed_;
}

int Win32SerialPort::DeviceQueuedOut() const {
  ServiceWrites();
  if (failed_) return 0;
  return static_cast<int>(out_.size() + (writing_ ? inFlight_.size() : 0));
}

void Win32SerialPort::WaitForSent(std::chrono::milliseconds d) {
  if (OutBufferCount() > 0 && writing_)
    ::WaitForSingleObject(wrote_, static_cast<DWORD>(std::max<long long>(0, d.count())));
}

void Win32SerialPort::DropDeviceOut() {
  out_.clear();
  if (handle_ == INVALID_HANDLE_VALUE) return;
  if (pipe_)
    ::CancelIoEx(handle_, writeOv_.get());
  else
    ::PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
  if (writing_) {
    DWORD n = 0;
    ::GetOverlappedResult(handle_, writeOv_.get(), &n, TRUE);  // aborted: ends at once
    writing_ = false;
  }
  inFlight_.clear();
}

void Win32SerialPort::DropDeviceIn() {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  if (pipe_) {
    ServicePipeReads();  // what the pipe holds now
    arrived_.clear();
    return;
  }
  ::PurgeComm(handle_, PURGE_RXCLEAR);
}

}  // namespace kelvane

#endif
