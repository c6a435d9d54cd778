#include "cli/AutoPort.h"

#ifdef _WIN32
#include <thread>

#include "files/Wide.h"
#include "serial/win32/Win32SerialPort.h"
#else
#include <QEventLoop>
#include <QFileInfo>
#include <QSerialPort>
#include <QTimer>
#endif
#include <algorithm>
#include <chrono>
#include <memory>
#include <span>

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

#ifdef _WIN32

// Windows: each candidate opened read-only with reads that return at once, looked at every
// kLook until one speaks.
AutoResult ListenForReceiver(const std::vector<std::string>& candidates, bool temu,
                             std::optional<double> timeoutSeconds,
                             const std::function<bool()>& stop) {
  AutoResult result;
  struct Line {
    std::string device;
    HANDLE handle;
    Bytes heard;
  };
  std::vector<Line> lines;
  for (const auto& device : candidates) {
    const std::wstring name =
        device.rfind("\\\\", 0) == 0 ? Widen(device) : L"\\\\.\\" + Widen(device);
    HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      result.refused.push_back(device + ": " + SystemMessage(::GetLastError()));
      continue;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!::GetCommState(h, &dcb) || !ParseDcbSettings(kLineSettings, dcb) ||
        !::SetCommState(h, &dcb) || !::SetCommTimeouts(h, &timeouts)) {
      result.refused.push_back(device + ": " + SystemMessage(::GetLastError()));
      ::CloseHandle(h);
      continue;
    }
    result.listened.push_back(device);
    lines.push_back({device, h, {}});
  }
  const auto closeAll = [&lines] {
    for (auto& line : lines) ::CloseHandle(line.handle);
  };
  if (lines.empty()) return result;
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    for (auto& line : lines) {
      std::uint8_t buf[256];
      DWORD got = 0;
      if (::ReadFile(line.handle, buf, sizeof buf, &got, nullptr) && got > 0)
        line.heard.insert(line.heard.end(), buf, buf + got);
      if (ReceiverIsReady(line.heard, temu)) {
        result.end = AutoResult::End::Found;
        result.device = line.device;
        closeAll();
        return result;
      }
      if (line.heard.size() > 2) line.heard.erase(line.heard.begin(), line.heard.end() - 2);
    }
    if (stop && stop()) {
      result.end = AutoResult::End::Stopped;
      closeAll();
      return result;
    }
    if (timeoutSeconds && std::chrono::steady_clock::now() - started >
                              std::chrono::duration<double>(*timeoutSeconds)) {
      result.end = AutoResult::End::TimedOut;
      closeAll();
      return result;
    }
    std::this_thread::sleep_for(kLook);
  }
}

#else

AutoResult ListenForReceiver(const std::vector<std::string>& candidates, bool temu,
                             std::optional<double> timeoutSeconds,
                             const std::function<bool()>& stop) {
  AutoResult result;
  struct Line {
    std::string device;
    std::unique_ptr<QSerialPort> port;
    QByteArray heard;
  };
  std::vector<Line> lines;
  QEventLoop loop;
  for (const auto& device : candidates) {
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(QFileInfo(QString::fromStdString(device)).canonicalFilePath());
    port->setBaudRate(115200);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    // Read only: nothing can be written to a port that has not spoken.
    if (!port->open(QIODevice::ReadOnly)) {
      result.refused.push_back(device + ": " + port->errorString().toStdString());
      continue;
    }
    QObject::connect(port.get(), &QSerialPort::readyRead, &loop, &QEventLoop::quit);
    result.listened.push_back(device);
    lines.push_back({device, std::move(port), {}});
  }
  if (lines.empty()) return result;

  QTimer look;
  QObject::connect(&look, &QTimer::timeout, &loop, &QEventLoop::quit);
  look.start(kLook);
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    for (auto& line : lines) {
      line.heard += line.port->readAll();
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(line.heard.constData());
      if (ReceiverIsReady(std::span(bytes, static_cast<std::size_t>(line.heard.size())), temu)) {
        result.end = AutoResult::End::Found;
        result.device = line.device;
        return result;  // every port closes here; the run opens the one found
      }
      // Only the tail can still begin a start request.
      if (line.heard.size() > 2) line.heard = line.heard.right(2);
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
    loop.exec();
  }
}

#endif

}  // namespace kelvane::cli
