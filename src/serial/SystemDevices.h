#pragma once
// The serial devices of the machine, as its system lists them. On Linux (posix/
// SystemDevices.cpp): the tty class in /sys (USB ids, names, serial number and latency timer
// from the adapter's directories), stable names from /dev/serial/by-id, access and group from
// the device node, and the program holding a device from its lock file or from /proc;
// everything is read below `root` ("/" on a real machine; a prepared folder in the tests). On
// Windows (win32/SystemDevices.cpp): SetupAPI's ports, where `root` has no use.

#include <string>

#include "serial/Devices.h"

namespace kelvane {

class SystemDevices final : public DeviceList {
 public:
  explicit SystemDevices(std::string root = "/");

  std::vector<SerialDevice> Devices() const override;
  DeviceProbe Probe(const std::string& path) const override;
  std::optional<Holder> HolderOf(const std::string& node) const override;

 private:
  std::string At(const std::string& absolute) const;  // the path below root

  std::string root_;  // without a trailing slash; empty for "/"
};

}  // namespace kelvane
