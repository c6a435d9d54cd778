#pragma once
// A device list the test writes: the devices present, and what a probe of a path finds
// (paths not listed do not exist, unless `extra` names them).

#include <map>
#include <string>
#include <vector>

#include "serial/Devices.h"

namespace kelvane::test {

class FakeDevices : public DeviceList {
 public:
  std::vector<SerialDevice> Devices() const override { return devices; }
  DeviceProbe Probe(const std::string& path) const override {
    if (const auto it = extra.find(path); it != extra.end()) return it->second;
    for (const auto& d : devices) {
      if (path != d.path && path != d.byId) continue;
      return {.exists = true, .node = d.path, .accessible = d.accessible, .group = d.group};
    }
    return {};
  }

  std::optional<Holder> HolderOf(const std::string& node) const override {
    if (const auto h = holders.find(node); h != holders.end()) return h->second;
    return std::nullopt;
  }

  std::vector<SerialDevice> devices;
  std::map<std::string, DeviceProbe> extra;  // paths that exist beside the listed devices
  std::map<std::string, Holder> holders;     // node -> the program holding it
};

// An FTDI adapter at /dev/ttyUSBn with its by-id link.
inline SerialDevice Ftdi(int n, const std::string& serial, bool accessible = true,
                         int latency = 16) {
  return {.path = "/dev/ttyUSB" + std::to_string(n),
          .description = "FT232R USB UART",
          .manufacturer = "FTDI",
          .vendorId = 0x0403,
          .productId = 0x6001,
          .serialNumber = serial,
          .byId = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0",
          .accessible = accessible,
          .group = "dialout",
          .latencyTimerMs = latency};
}

inline SerialDevice BuiltIn(int n) {
  return {.path = "/dev/ttyS" + std::to_string(n), .accessible = true, .group = "dialout"};
}

}  // namespace kelvane::test
