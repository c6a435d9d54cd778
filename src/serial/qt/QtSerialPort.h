#pragma once
// The serial object on QSerialPort. Port n is mapped to a device by PortMap: the path named
// under "COMn" in the "Ports" settings section, else the n-th serial device of the machine
// (COMn on Windows). Received bytes are read into QSerialPort's buffer while the window
// pumps its events; nothing here blocks.

#include <QObject>
#include <QSerialPort>
#include <functional>
#include <string>
#include <vector>

#include "app/SettingsStore.h"
#include "serial/SerialPort.h"

namespace kelvane {

class QtSerialPort final : public QObject, public SerialPort {
  Q_OBJECT

 public:
  // Why the last open failed.
  enum class OpenFailure { None, NoDevice, NoSuchDevice, PermissionDenied, Busy, BadSettings, Other };

  explicit QtSerialPort(const SettingsStore& settings, QObject* parent = nullptr);
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
  void SetOutBufferCount(int zero) override;
  int InBufferCount() const override;
  void SetInBufferCount(int zero) override;
  void SetInputLen(int count) override { inputLen_ = count < 0 ? 0 : count; }
  Bytes Input() override;
  std::string LastError() const override { return lastError_; }
  bool Lost() const override { return lost_; }

  OpenFailure reason() const { return reason_; }

  // Called from the event loop, once, when the open line is lost (also while no transfer
  // runs, so that the window can show the port closed at once).
  void SetLostHandler(std::function<void()> handler) { onLost_ = std::move(handler); }

  // The device port n maps to now (empty when there is none).
  std::string Device(int n) const;
  // One line for a tooltip: the device of port n and what the system knows of it.
  std::string Describe(int n) const;
  // The serial devices of the machine, in the order the port numbers take them.
  static std::vector<std::string> Devices();

 private:
  void OnError(QSerialPort::SerialPortError error);
  // The line is gone for good: reports it once (why: what failed, in words) and stops the device.
  void MarkLost(const std::string& why);
  void CloseLostLine();
  friend struct QtSerialPortProbe;  // tests: the device behind the object
  bool Fail(OpenFailure why, const std::string& text);
  std::string Configured(int n) const;

  const SettingsStore& store_;
  QSerialPort serial_;
  int port_ = 1;
  std::string settings_ = kLineSettings;
  std::string device_;  // the device of the open (or last tried) port
  bool open_ = false;
  bool lost_ = false;
  int inputMode_ = 0;
  int inputLen_ = 0;
  OpenFailure reason_ = OpenFailure::None;
  std::string lastError_;
  Bytes rest_;  // bytes that were buffered when the line was lost, still to be read
  std::function<void()> onLost_;
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
