#include "cli/PortList.h"

#include <algorithm>
#include <cstdio>

#include "cli/Json.h"
#include "serial/PortAssignment.h"

namespace kelvane::cli {

namespace {

Json OrNull(const std::string& s) { return s.empty() ? Json() : Json(s); }
Json OrNull(int v) { return v < 0 ? Json() : Json(v); }
Json Hex(int v) {
  if (v < 0) return nullptr;
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04x", v & 0xFFFF);
  return buf;
}

}  // namespace

std::string PortsText(const SettingsStore& settings, const DeviceList& system, int lastOpened) {
  const auto devices = system.Devices();
  std::string out;
  for (int n = 1; n <= kPortCount; ++n) {
    std::string tip = PortToolTip(MapPort(settings, n, devices, system), std::nullopt, system);
    if (n == lastOpened)
      tip.insert(std::min(tip.find('\n'), tip.size()), "  [last opened by the window]");
    // Lines after the first are advice: indented under their port.
    for (auto at = tip.find('\n'); at != std::string::npos; at = tip.find('\n', at + 1))
      tip.insert(at + 1, "  ");
    out += tip + "\n";
  }
  out += "\n";
  if (devices.empty()) return out + "No serial device is present.\n";
  out += "Serial devices:\n";
  for (const auto& d : devices) {
    out += d.path;
    if (const std::string facts = DeviceFacts(d); !facts.empty()) out += "  " + facts;
    out += "\n";
    if (!d.byId.empty()) out += "  stable path: " + d.byId + "\n";
    out += d.accessible ? "  access: yes\n" : "  access: no; " + AccessFix(d.group) + "\n";
    if (d.latencyTimerMs >= 0)
      out += "  latency timer: " + std::to_string(d.latencyTimerMs) + " ms\n";
    if (const std::string advice = LatencyAdvice(d); !advice.empty()) out += "  " + advice + "\n";
  }
  return out;
}

std::string PortsJson(const SettingsStore& settings, const DeviceList& system, int lastOpened) {
  const auto devices = system.Devices();
  Json ports = Json::array(), listed = Json::array();
  for (int n = 1; n <= kPortCount; ++n) {
    const PortMapping m = MapPort(settings, n, devices, system);
    const bool present = m.info.has_value() || (!m.device.empty() && system.Probe(m.device).exists);
    ports.push_back({{"port", "COM" + std::to_string(n)},
                     {"device", OrNull(m.device)},
                     {"assigned", m.assigned},
                     {"present", present},
                     {"node", OrNull(m.info ? m.info->path : "")},
                     {"lastOpened", n == lastOpened}});
  }
  for (const SerialDevice& d : devices)
    listed.push_back({{"path", d.path},
                      {"name", d.Name()},
                      {"description", OrNull(d.description)},
                      {"manufacturer", OrNull(d.manufacturer)},
                      {"vendorId", Hex(d.vendorId)},
                      {"productId", Hex(d.productId)},
                      {"serialNumber", OrNull(d.serialNumber)},
                      {"byId", OrNull(d.byId)},
                      {"accessible", d.accessible},
                      {"group", OrNull(d.group)},
                      {"latencyTimerMs", OrNull(d.latencyTimerMs)}});
  return JsonText(Json{{"ports", ports}, {"devices", listed}}) + "\n";
}

}  // namespace kelvane::cli
