#pragma once
// The serial devices of a Windows machine, from SetupAPI (SystemDevices.cpp beside this).

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
  std::string root_;
};

}  // namespace kelvane
