#pragma once
// The serial object on a device of the system, without the system: port n is mapped to a
// device as PortAssignment says (the path assigned to "COMn" in the "Ports" settings
// section, else the n-th serial device found), a failed open is explained through
// OpenFailure, received bytes are kept in a buffer of its own, and a line that fails is
// lost once, with the reason in words. A back end (PosixSerialPort) supplies opening,
// reading, writing and the queues of one device; nothing here blocks.

#include <memory>
#include <string>

#include "files/SettingsStore.h"
#include "serial/Devices.h"
#include "serial/LineSettings.h"
#include "serial/OpenFailure.h"
#include "serial/PortAssignment.h"
#include "serial/SerialPort.h"

// The back end's overrides, declared alike by the serial object of every system.
#define KELVANE_DEVICE_PORT_BACK_END                                                \
  Result OpenDevice(const std::string& node, const LineSettings& line,              \
                    const std::optional<SerialDevice>& listed) override;            \
  void CloseDevice() override;                                                      \
  Read ReadDevice(Bytes& into, std::string& why) override;                          \
  bool WriteDevice(std::span<const std::uint8_t> bytes, std::string& why) override; \
  bool DeviceFailed() const override;                                               \
  int DeviceQueuedOut() const override;                                             \
  void DropDeviceOut() override;                                                    \
  void DropDeviceIn() override;

namespace kelvane {

class DevicePort : public SerialPort {
 public:
  ~DevicePort() override = default;
  DevicePort(const DevicePort&) = delete;
  DevicePort& operator=(const DevicePort&) = delete;

  void SetCommPort(int port) override { port_ = port; }
  int CommPort() const override { return port_; }
  void SetSettings(const std::string& settings) override { settings_ = settings; }
  bool SetPortOpen(bool open) override;
  bool PortOpen() const override { return open_; }
  void SetInputMode(int mode) override { inputMode_ = mode; }
  void Output(std::span<const std::uint8_t> bytes) override;
  using SerialPort::Output;
  int OutBufferCount() const override;
  // The kernel sends on by itself: a short sleep while bytes are still queued.
  void WaitForSent(std::chrono::milliseconds d) override;
  void SetOutBufferCount(int zero) override;
  int InBufferCount() const override;
  void SetInBufferCount(int zero) override;
  void SetInputLen(int count) override { inputLen_ = count < 0 ? 0 : count; }
  Bytes Input() override;
  std::optional<std::uint8_t> InputByte() override;
  std::string LastError() const override { return lastError_; }
  bool Lost() const override;
  bool ClosedLost() const override { return closedLost_; }

  // Why the last open failed, as facts (cause None when it did not fail).
  const OpenFailure& Failure() const { return failure_; }
  OpenCause reason() const { return failure_.cause; }

  // The device port n maps to now (empty when there is none).
  std::string Device(int n) const;
  // For a tooltip: the device of port n, what the system knows of it, and its state.
  std::string Describe(int n) const;
  PortState StateOf(int n) const;
  const DeviceList& DeviceSource() const { return devices_; }

 protected:
  DevicePort(const SettingsStore& settings, const DeviceList& devices);
  DevicePort(const SettingsStore& settings, std::unique_ptr<DeviceList> devices);

  // What the system said to an open, a read or a write.
  struct Result {
    OpenCause cause = OpenCause::None;  // opening: why it failed (None: it did not)
    std::string systemText{};           // the system's words, where they add something
  };
  enum class Read { Drained, Ended, Failed };

  // Opens `node` (links resolved) with `line`, for reading and writing, alone, discarding
  // what was received before.
  virtual Result OpenDevice(const std::string& node, const LineSettings& line,
                            const std::optional<SerialDevice>& listed) = 0;
  virtual void CloseDevice() = 0;
  // Appends what the device holds to `into` without waiting: Drained when it holds no more,
  // Ended when the far end hung up, Failed when reading failed (`why` says how).
  virtual Read ReadDevice(Bytes& into, std::string& why) = 0;
  // Hands all of `bytes` to the device; false (with `why`) when it did not take them all.
  virtual bool WriteDevice(std::span<const std::uint8_t> bytes, std::string& why) = 0;
  // The device reports a hang-up or an error without being read.
  virtual bool DeviceFailed() const = 0;
  virtual int DeviceQueuedOut() const = 0;
  virtual void DropDeviceOut() = 0;
  virtual void DropDeviceIn() = 0;

 private:
  // Moves what the device holds into the buffer; loses the line when reading fails.
  void Pull();
  // The line is gone for good: said once (why: what failed, in words); the device is closed,
  // what was received before stays to be read.
  void MarkLost(const std::string& why);
  bool Fail(OpenFailure failure);
  std::size_t Buffered() const { return buffer_.size() - head_; }

  const SettingsStore& store_;
  std::unique_ptr<DeviceList> ownDevices_;  // when none was given
  const DeviceList& devices_;
  int port_ = 1;
  std::string settings_ = kLineSettings;
  std::string device_;  // the device of the open (or last tried) port
  bool open_ = false;
  bool deviceOpen_ = false;  // false again once the line is lost
  bool lost_ = false;
  bool closedLost_ = false;
  int inputMode_ = 0;
  int inputLen_ = 0;
  OpenFailure failure_;
  std::string lastError_;
  Bytes buffer_;          // received and not read, from head_ on
  std::size_t head_ = 0;  // what was read of buffer_
};

}  // namespace kelvane
