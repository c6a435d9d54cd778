#include "serial/PortAssignment.h"

namespace kelvane {

namespace {

std::string Key(int port) { return "COM" + std::to_string(port); }

// The node a path ends at, for telling whether two paths are the same device.
std::string NodeOf(const std::string& path, const DeviceList& system) {
  const DeviceProbe probe = system.Probe(path);
  return probe.exists ? probe.node : path;
}

}  // namespace

std::string AssignedPath(const SettingsStore& settings, int port) {
  return settings.Read(kAppName, kPortsSection, Key(port), "");
}

void AssignPort(SettingsStore& settings, int port, const std::string& path,
                const std::vector<SerialDevice>& devices, const DeviceList& system) {
  std::string stored = path;
  if (const auto device = FindDevice(devices, path, system)) stored = device->StablePath();
  if (!stored.empty()) {
    const std::string node = NodeOf(stored, system);
    for (int n = 1; n <= kPortCount; ++n) {
      const std::string other = AssignedPath(settings, n);
      if (n != port && !other.empty() && (other == stored || NodeOf(other, system) == node))
        settings.Write(kAppName, kPortsSection, Key(n), "");
    }
  }
  settings.Write(kAppName, kPortsSection, Key(port), stored);
}

PortMapping MapPort(const SettingsStore& settings, int port,
                    const std::vector<SerialDevice>& devices, const DeviceList& system) {
  PortMapping m;
  m.port = port;
  m.device = AssignedPath(settings, port);
  if (!m.device.empty()) {
    m.assigned = true;
    m.info = FindDevice(devices, m.device, system);
  } else if (kComPortsByNumber && port >= 1) {
    // Windows numbers its ports itself: Com n is COMn.
    m.device = "COM" + std::to_string(port);
    m.info = FindDevice(devices, m.device, system);
  } else if (port >= 1 && static_cast<std::size_t>(port) <= devices.size()) {
    m.info = devices[static_cast<std::size_t>(port) - 1];
    m.device = m.info->path;
  }
  return m;
}

std::string PortToolTip(const PortMapping& m, std::optional<PortState> state,
                        const DeviceList& system) {
  const std::string port = Key(m.port);
  if (m.device.empty())
    return port + ": no serial device; assign one in the window's Ports dialog.";
  std::string tip = port + ": " + m.device;
  const DeviceProbe probe = m.info ? DeviceProbe{} : system.Probe(m.device);
  if (m.info && m.info->path != m.device) tip += " -> " + m.info->Name();
  if (probe.exists && probe.node != m.device)
    tip += " -> " + probe.node;  // a link to an unlisted device
  if (m.info) {
    if (const std::string facts = DeviceFacts(*m.info); !facts.empty()) tip += " (" + facts + ")";
    if (m.info->latencyTimerMs >= 0)
      tip += "; latency timer " + std::to_string(m.info->latencyTimerMs) + " ms";
  }
  if (!m.assigned) tip += "; device " + std::to_string(m.port) + " in the order found";
  const bool present = m.info || probe.exists;
  switch (state.value_or(PortState::Closed)) {
    case PortState::Open: tip += "; open"; break;
    case PortState::Lost: tip += "; the line was lost"; break;
    case PortState::Closed: tip += !present ? "; not present" : state ? "; closed" : ""; break;
  }
  if (m.info && !m.info->accessible && state != PortState::Open) {
    tip += "\nThis user may not open it: " + AccessFix(m.info->group) + ".";
  }
  if (m.info) {
    if (const std::string advice = LatencyAdvice(*m.info); !advice.empty()) tip += "\n" + advice;
  }
  return tip;
}

}  // namespace kelvane
