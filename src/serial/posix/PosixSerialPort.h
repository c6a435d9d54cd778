#pragma once
// The serial object on a POSIX terminal device (termios). The device is opened without
// blocking and without becoming the controlling terminal, alone (TIOCEXCL and an flock),
// raw at the line settings without flow control or modem lines (pseudo-terminals work); what
// came in as it opened stays to be read. Reads and writes never wait for the line;
// the descriptor is what to wait on. A USB adapter is put in low-latency mode while open.

#include <memory>

#include "serial/DevicePort.h"
#include "serial/posix/LowLatency.h"

namespace kelvane {

class PosixSerialPort final : public DevicePort {
 public:
  // Devices as this machine's system lists them.
  explicit PosixSerialPort(const SettingsStore& settings);
  PosixSerialPort(const SettingsStore& settings, const DeviceList& devices);
  ~PosixSerialPort() override;

  // The open descriptor; -1 while closed and once the line is lost.
  std::intptr_t ReadinessHandle() const override { return fd_; }
  // The adapter took the low-latency request when it was opened.
  bool LowLatencyActive() const { return lowLatency_.Active(); }

  // How long a write may wait for room in the device's queue before the line counts as lost.
  static constexpr int kWriteStallMs = 2000;

 private:
  KELVANE_DEVICE_PORT_BACK_END

  int fd_ = -1;
  LowLatency lowLatency_;
};

}  // namespace kelvane
