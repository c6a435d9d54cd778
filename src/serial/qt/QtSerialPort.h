#pragma once
// The serial object on QSerialPort. Port n is mapped to a device as PortAssignment says: the
// path assigned to "COMn" in the "Ports" settings section, else the n-th serial device of the
// machine (COMn on Windows). Received bytes are read into QSerialPort's buffer while the
// window pumps its events; nothing here blocks. A USB adapter is put in low-latency mode
// while it is open.

#include <QObject>
#include <QSerialPort>
#include <memory>
#include <string>
#include <vector>

#include "files/SettingsStore.h"
#include "serial/Devices.h"
#include "serial/LowLatency.h"
#include "serial/OpenFailure.h"
#include "serial/PortAssignment.h"
#include "serial/SerialPort.h"

namespace kelvane {

class QtSerialPort final : public QObject, public SerialPort {
  Q_OBJECT

 public:
  // Devices as this machine's system lists them.
  explicit QtSerialPort(const SettingsStore& settings, QObject* parent = nullptr);
  QtSerialPort(const SettingsStore& settings, const DeviceList& devices, QObject* parent = nullptr);
  ~QtSerialPort() override;

  void SetCommPort(int port) override { port_ = port; }
  int CommPort() const override { return port_; }
  void SetSettings(const std::string& settings) override { settings_ = settings; }
  bool SetPortOpen(bool open) override;
  bool PortOpen() const override { return open_; }
  void SetInputMode(int mode) override { inputMode_ = mode; }
  void Output(std::span<const std::uint8_t> bytes) override;
  using SerialPort::Output;
  int OutBufferCount() const override;
  void WaitForSent(std::chrono::milliseconds d) override;
  void SetOutBufferCount(int zero) override;
  int InBufferCount() const override;
  void SetInBufferCount(int zero) override;
  void SetInputLen(int count) override { inputLen_ = count < 0 ? 0 : count; }
  Bytes Input() override;
  std::optional<std::uint8_t> InputByte() override;
  std::string LastError() const override { return lastError_; }
  bool Lost() const override { return lost_; }
  bool ClosedLost() const override { return closedLost_; }

  // Why the last open failed, as facts (cause None when it did not fail).
  const OpenFailure& Failure() const { return failure_; }
  OpenCause reason() const { return failure_.cause; }
  // The adapter took the low-latency request when it was opened.
  bool LowLatencyActive() const { return lowLatency_.Active(); }

  // The device port n maps to now (empty when there is none).
  std::string Device(int n) const;
  // For a tooltip: the device of port n, what the system knows of it, and its state.
  std::string Describe(int n) const;
  PortState StateOf(int n) const;
  const DeviceList& DeviceSource() const { return devices_; }

 signals:
  // Bytes arrived or the line was lost: the window's Line_Readable. (Qt's serial object
  // offers no descriptor to wait on, so ReadinessHandle() stays -1.)
  void Readable();

 private:
  void OnError(QSerialPort::SerialPortError error);
  // The line is gone for good: reports it once (why: what failed, in words) and stops the device.
  void MarkLost(const std::string& why);
  void CloseLostLine();
  void CloseDevice();
  bool Fail(OpenFailure failure);
  friend struct QtSerialPortProbe;  // tests: the device behind the object

  const SettingsStore& store_;
  std::unique_ptr<DeviceList> ownDevices_;  // when none was given
  const DeviceList& devices_;
  QSerialPort serial_;
  LowLatency lowLatency_;
  int port_ = 1;
  std::string settings_ = kLineSettings;
  std::string device_;  // the device of the open (or last tried) port
  bool open_ = false;
  bool lost_ = false;
  bool closedLost_ = false;
  int inputMode_ = 0;
  int inputLen_ = 0;
  OpenFailure failure_;
  std::string lastError_;
  Bytes rest_;  // bytes that were buffered when the line was lost, still to be read
};

// "115200,n,8,1": baud rate, parity (n, e, o, m, s), data bits (5 to 8), stop bits (1, 1.5, 2).
struct LineSettings {
  int baud = 0;
  QSerialPort::Parity parity = QSerialPort::NoParity;
  QSerialPort::DataBits dataBits = QSerialPort::Data8;
  QSerialPort::StopBits stopBits = QSerialPort::OneStop;
};
// False when the text is not of that form.
bool ParseLineSettings(const std::string& text, LineSettings& out);

}  // namespace kelvane
