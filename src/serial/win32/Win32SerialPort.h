#pragma once
// The serial object on the Win32 communications API. The device is opened as \\.\COMn for
// overlapped I/O, raw at the line settings without flow control; reads take what the driver
// holds and never wait, writes are queued and handed to the driver without waiting for them
// to finish. ReadinessHandle() is an event that is set when bytes arrive or the line fails (a
// pending WaitCommEvent), for WaitForMultipleObjects or QWinEventNotifier.
// A named pipe (\\.\pipe\NAME, the receiver emulator's stand-in for a line) opens the same
// way without the communications settings: a read stays pending on it and sets the event, and
// the pipe breaking is the far end hanging up.
#ifdef _WIN32

#include <memory>

#include "serial/DevicePort.h"

// Of <windows.h>, which is left out here: its macros (MessageBox) would rename the methods
// of whatever includes this.
struct _OVERLAPPED;

namespace kelvane {

class Win32SerialPort final : public DevicePort {
 public:
  // Devices as this machine's system lists them.
  explicit Win32SerialPort(const SettingsStore& settings);
  Win32SerialPort(const SettingsStore& settings, const DeviceList& devices);
  ~Win32SerialPort() override;

  // The event to wait on; -1 while closed and once the line is lost.
  std::intptr_t ReadinessHandle() const override;
  // Queued bytes are sent by the driver: waits on the write's completion, not a sleep.
  void WaitForSent(std::chrono::milliseconds d) override;
  bool LowLatencyActive() const { return false; }  // set in the driver's settings on Windows

 private:
  KELVANE_DEVICE_PORT_BACK_END

  // Finishes and starts writes and notices a failed write or wait; nothing else drives them.
  void ServiceWrites() const;
  void StartWrite() const;
  void ArmWait() const;
  void Failed(unsigned long error) const;
  // A pipe: takes what the completed reads brought into arrived_ and starts the next read.
  void ServicePipeReads() const;

  void* handle_;           // INVALID_HANDLE_VALUE while closed
  void* ready_ = nullptr;  // manual-reset: bytes or a failure wait
  void* wrote_ = nullptr;  // the write's completion
  std::unique_ptr<_OVERLAPPED> waitOv_;
  std::unique_ptr<_OVERLAPPED> writeOv_;
  std::unique_ptr<_OVERLAPPED> readOv_;  // a pipe's pending read
  bool pipe_ = false;
  mutable bool reading_ = false;
  mutable Bytes pipeIn_;   // the pending read's buffer
  mutable Bytes arrived_;  // read from the pipe, not handed out yet
  mutable unsigned long waitMask_ = 0;
  mutable bool waiting_ = false;
  mutable bool writing_ = false;
  mutable Bytes out_;       // queued, not yet handed to the driver
  mutable Bytes inFlight_;  // handed to the driver by the pending write
  mutable bool failed_ = false;
  mutable bool ended_ = false;  // failed because the far end closed the pipe
  mutable std::string failedWhy_;
};

}  // namespace kelvane

#endif
