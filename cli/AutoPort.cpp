#include "cli/AutoPort.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <span>

#include "app/MainView.h"
#include "cli/OverlaySettings.h"
#include "cli/Readiness.h"
#include "serial/NativeSerialPort.h"
#include "serial/PortAssignment.h"
#include "transfer/ReadySignal.h"

namespace kelvane::cli {

namespace {

// How often the stop request and the time limit are looked at while nothing arrives.
constexpr std::chrono::milliseconds kLook{50};

}  // namespace

std::vector<std::string> AutoCandidates(const SettingsStore& settings, const DeviceList& system) {
  const auto devices = system.Devices();
  std::vector<std::string> paths;
  for (int n = 1; n <= kPortCount; ++n)
    paths.push_back(MapPort(settings, n, devices, system).device);
  for (const auto& d : devices) paths.push_back(d.path);
  std::vector<std::string> out, nodes;
  for (const auto& path : paths) {
    if (path.empty()) continue;
    const DeviceProbe probe = system.Probe(path);
    if (!probe.exists || !probe.accessible) continue;
    if (std::find(nodes.begin(), nodes.end(), probe.node) != nodes.end()) continue;
    nodes.push_back(probe.node);
    out.push_back(path);
  }
  return out;
}

AutoResult ListenForReceiver(const std::vector<std::string>& candidates, bool temu,
                             std::optional<double> timeoutSeconds,
                             const std::function<bool()>& stop) {
  AutoResult result;
  struct Line {
    std::string device;
    std::unique_ptr<OverlaySettings> map;  // Com 1 is the device
    std::unique_ptr<NativeSerialPort> port;
    Bytes heard;
  };
  std::vector<Line> lines;
  for (const auto& device : candidates) {
    Line line{device, std::make_unique<OverlaySettings>(nullptr), nullptr, {}};
    line.map->Write(kAppName, kPortsSection, "COM1", device);
    line.port = std::make_unique<NativeSerialPort>(*line.map);
    line.port->SetCommPort(1);
    line.port->SetSettings(kLineSettings);
    // Nothing is written to a port that has not spoken.
    if (!line.port->SetPortOpen(true)) {
      std::string why = line.port->LastError();
      why = why.substr(0, why.find('\n'));
      result.refused.push_back(device + ": " + why.substr(why.find(": ") + 2));
      continue;
    }
    result.listened.push_back(device);
    lines.push_back(std::move(line));
  }
  if (lines.empty()) return result;

  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    std::vector<std::intptr_t> handles;
    for (auto& line : lines) {
      const Bytes got = line.port->Input();
      line.heard.insert(line.heard.end(), got.begin(), got.end());
      if (ReceiverIsReady(line.heard, temu)) {
        result.end = AutoResult::End::Found;
        result.device = line.device;
        return result;  // every port closes here; the run opens the one found
      }
      // Only the tail can still begin a start request.
      if (line.heard.size() > 2) line.heard.erase(line.heard.begin(), line.heard.end() - 2);
      handles.push_back(line.port->ReadinessHandle());
    }
    if (stop && stop()) {
      result.end = AutoResult::End::Stopped;
      return result;
    }
    if (timeoutSeconds && std::chrono::steady_clock::now() - started >
                              std::chrono::duration<double>(*timeoutSeconds)) {
      result.end = AutoResult::End::TimedOut;
      return result;
    }
    // Lost lines have no descriptor any more and are passed over.
    WaitForReadiness(handles, false, kLook);
  }
}

}  // namespace kelvane::cli
