#include "serial/Devices.h"

#include <cstdio>

#include "files/PathName.h"

namespace kelvane {

namespace {

std::string Hex4(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04x", v & 0xFFFF);
  return buf;
}

}  // namespace

std::string SerialDevice::Name() const { return FileNameOf(path); }

std::string SerialDevice::UsbId() const {
  if (vendorId < 0 || productId < 0) return {};
  return Hex4(vendorId) + ":" + Hex4(productId);
}

std::optional<SerialDevice> FindDevice(const std::vector<SerialDevice>& devices,
                                       const std::string& path, const DeviceList& system) {
  if (path.empty()) return std::nullopt;
  for (const auto& d : devices)
    if (path == d.path || (!d.byId.empty() && path == d.byId)) return d;
  const DeviceProbe probe = system.Probe(path);
  if (!probe.exists) return std::nullopt;
  for (const auto& d : devices)
    if (probe.node == d.path) return d;
  return std::nullopt;
}

std::string DeviceFacts(const SerialDevice& d) {
  std::string out;
  const auto add = [&out](const std::string& s) {
    if (!s.empty()) out += (out.empty() ? "" : ", ") + s;
  };
  add(d.description);
  add(d.manufacturer);
  add(d.UsbId());
  if (!d.serialNumber.empty()) add("serial " + d.serialNumber);
  return out;
}

std::string AccessFix(const std::string& group) {
  if (group == "root")
    return "only root may open it, so its permissions must change: a udev rule such as "
           "SUBSYSTEM==\"tty\", KERNEL==\"ttyUSB*\", GROUP=\"dialout\", MODE=\"0660\" "
           "(in /etc/udev/rules.d/, then replug the adapter) gives it to the group dialout, "
           "which this user then joins";
  return "sudo usermod -aG " + (group.empty() ? std::string("GROUP") : group) +
         " $USER, then log in again";
}

std::string LatencyAdvice(const SerialDevice& d) {
  if (d.latencyTimerMs <= 1) return {};
#ifdef _WIN32
  return "The latency timer of " + d.Name() + " is " + std::to_string(d.latencyTimerMs) +
         " ms; 1 ms makes transfers faster (Device Manager, the port's Properties, Port "
         "Settings, Advanced..., Latency Timer: 1, see the README).";
#else
  return "The latency timer of " + d.Name() + " is " + std::to_string(d.latencyTimerMs) +
         " ms; 1 ms makes transfers faster (a udev rule sets it for good, see the README).";
#endif
}

}  // namespace kelvane
