#pragma once
// The serial object on the Win32 communications API. Port n is mapped as PortAssignment says:
// the device assigned to "COMn" in the "Ports" settings section, else COMn itself. The device
// is opened as \\.\COMn for overlapped I/O, 115200 8N1 raw without flow control; reads take
// what the driver holds and never wait, writes are queued and handed to the driver without
// waiting for them to finish. ReadinessHandle() is an event that is set when bytes arrive or
// the line fails (a pending WaitCommEvent), for WaitForMultipleObjects or QWinEventNotifier.
#ifdef _WIN32

#include <windows.h>

#include <memory>
#include <string>

#include "files/SettingsStore.h"
#include "serial/Devices.h"
#include "serial/OpenFailure.h"
#include "serial/PortAssignment.h"
#include "serial/SerialPort.h"

namespace kelvane {

// "115200,n,8,1" as a DCB's fields; false when the text is not of that form.
bool ParseDcbSettings(const std::string& text, DCB& dcb);

class Win32SerialPort final : public SerialPort {
 public:
  // Devices as this machine's system lists them.
  explicit Win32SerialPort(const SettingsStore& settings);
  Win32SerialPort(const SettingsStore& settings, const DeviceList& devices);
  ~Win32SerialPort() override;
  Win32SerialPort(const Win32SerialPort&) = delete;
  Win32SerialPort& operator=(const Win32SerialPort&) = delete;

  void SetCommPort(int port) override { port_ = port; }
  int CommPort() const override { return port_; }
  void SetSettings(const std::string& settings) override { settings_ = settings; }
  bool SetPortOpen(bool open) override;
  bool PortOpen() const override { return open_; }
  void SetInputMode(int mode) override { inputMode_ = mode; }
  void Output(std::span<const std::uint8_t> bytes) override;
  using SerialPort::Output;
  int OutBufferCount() const override;
  void SetOutBufferCount(int zero) override;
  int InBufferCount() const override;
  void SetInBufferCount(int zero) override;
  void SetInputLen(int count) override { inputLen_ = count < 0 ? 0 : count; }
  Bytes Input() override;
  std::string LastError() const override { return lastError_; }
  bool Lost() const override;
  bool ClosedLost() const override { return closedLost_; }
  std::intptr_t ReadinessHandle() const override;

  const OpenFailure& Failure() const { return failure_; }
  bool LowLatencyActive() const { return false; }  // set in the driver's settings on Windows

  std::string Device(int n) const;  // "COMn", or the device assigned to port n
  std::string Describe(int n) const;
  PortState StateOf(int n) const;
  const DeviceList& DeviceSource() const { return devices_; }

 private:
  // Moves what the driver holds into in_, finishes and starts writes, re-arms the wait for
  // bytes and notices a failed line. Called by every query: nothing else drives it.
  void Service() const;
  void StartWrite() const;
  void ArmWait() const;
  void MarkLost(DWORD error) const;
  void CloseDevice();
  bool Fail(OpenFailure failure);

  const SettingsStore& store_;
  std::unique_ptr<DeviceList> ownDevices_;
  const DeviceList& devices_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE ready_ = nullptr;  // manual-reset: bytes or a failure wait
  HANDLE wrote_ = nullptr;  // the write's completion
  mutable OVERLAPPED waitOv_{};
  mutable OVERLAPPED writeOv_{};
  mutable DWORD waitMask_ = 0;
  mutable bool waiting_ = false;
  mutable bool writing_ = false;
  mutable Bytes in_;        // received, not yet read
  mutable Bytes out_;       // queued, not yet handed to the driver
  mutable Bytes inFlight_;  // handed to the driver by the pending write
  mutable bool lost_ = false;
  mutable std::string lastError_;
  int port_ = 1;
  std::string settings_ = kLineSettings;
  std::string device_;
  bool open_ = false;
  bool closedLost_ = false;
  int inputMode_ = 0;
  int inputLen_ = 0;
  OpenFailure failure_;
};

}  // namespace kelvane

#endif
