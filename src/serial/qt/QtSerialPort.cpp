#include "serial/qt/QtSerialPort.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sstream>

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/MainView.h"
#include "serial/PortMap.h"

namespace kelvane {

namespace {

std::string PortName(int n) { return "COM" + std::to_string(n); }

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

std::string PresentDevices() {
  const auto devices = QtSerialPort::Devices();
  if (devices.empty()) return "No serial device is present.";
  return "Serial devices present: " + Join(devices) + ".";
}

#ifndef _WIN32
std::string GroupOf(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
  return std::to_string(st.st_gid);
}
#endif

}  // namespace

bool ParseLineSettings(const std::string& text, LineSettings& out) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ',');) {
    part.erase(0, part.find_first_not_of(' '));
    part.erase(part.find_last_not_of(' ') + 1);
    parts.push_back(part);
  }
  if (parts.size() != 4 || parts[0].empty() || parts[1].size() != 1) return false;
  if (parts[0].find_first_not_of("0123456789") != std::string::npos || parts[0].size() > 7) return false;
  out.baud = std::stoi(parts[0]);
  if (out.baud <= 0) return false;
  switch (std::tolower(static_cast<unsigned char>(parts[1][0]))) {
    case 'n': out.parity = QSerialPort::NoParity; break;
    case 'e': out.parity = QSerialPort::EvenParity; break;
    case 'o': out.parity = QSerialPort::OddParity; break;
    case 'm': out.parity = QSerialPort::MarkParity; break;
    case 's': out.parity = QSerialPort::SpaceParity; break;
    default: return false;
  }
  if (parts[2] == "5") out.dataBits = QSerialPort::Data5;
  else if (parts[2] == "6") out.dataBits = QSerialPort::Data6;
  else if (parts[2] == "7") out.dataBits = QSerialPort::Data7;
  else if (parts[2] == "8") out.dataBits = QSerialPort::Data8;
  else return false;
  if (parts[3] == "1") out.stopBits = QSerialPort::OneStop;
  else if (parts[3] == "1.5") out.stopBits = QSerialPort::OneAndHalfStop;
  else if (parts[3] == "2") out.stopBits = QSerialPort::TwoStop;
  else return false;
  return true;
}

QtSerialPort::QtSerialPort(const SettingsStore& settings, QObject* parent)
    : QObject(parent), store_(settings) {
  connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialPort::OnError);
}

QtSerialPort::~QtSerialPort() { serial_.close(); }

std::vector<std::string> QtSerialPort::Devices() {
  std::vector<std::string> devices;
  for (const auto& info : QSerialPortInfo::availablePorts())
    devices.push_back(info.systemLocation().toStdString());
  return SortDevices(std::move(devices));
}

std::string QtSerialPort::Configured(int n) const {
  return store_.Read(kAppName, kPortsSection, PortName(n), "");
}

std::string QtSerialPort::Device(int n) const {
  const std::string configured = Configured(n);
#ifdef _WIN32
  return configured.empty() ? PortName(n) : configured;
#else
  if (!configured.empty()) return configured;
  return MapPort(n, "", Devices());
#endif
}

std::string QtSerialPort::Describe(int n) const {
  const std::string device = Device(n);
  if (device.empty()) return PortName(n) + ": no serial device for this port. " + PresentDevices();
  std::string tip = PortName(n) + ": " + device;
  if (!Configured(n).empty()) tip += " (named in the settings)";
  const QFileInfo file(QString::fromStdString(device));
  if (file.isSymLink()) tip += " -> " + file.canonicalFilePath().toStdString();
  // QSerialPortInfo knows a device by its name without the directory (ttyUSB0).
  const QSerialPortInfo info(QFileInfo(file.exists() ? file.canonicalFilePath() : file.filePath()).fileName());
  if (info.isNull()) return tip;
  std::vector<std::string> known;
  if (!info.description().isEmpty()) known.push_back(info.description().toStdString());
  if (!info.manufacturer().isEmpty()) known.push_back(info.manufacturer().toStdString());
  if (info.hasVendorIdentifier() && info.hasProductIdentifier())
    known.push_back(QStringLiteral("%1:%2")
                        .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                        .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'))
                        .toStdString());
  if (!info.serialNumber().isEmpty()) known.push_back("serial " + info.serialNumber().toStdString());
  if (!known.empty()) tip += " (" + Join(known) + ")";
  return tip;
}

bool QtSerialPort::Fail(OpenFailure why, const std::string& text) {
  reason_ = why;
  lastError_ = text;
  return false;
}

bool QtSerialPort::SetPortOpen(bool open) {
  if (!open) {
    open_ = false;
    lost_ = false;
    rest_.clear();
    serial_.close();
    return true;
  }
  if (open_) return true;
  reason_ = OpenFailure::None;
  lastError_.clear();
  lost_ = false;
  rest_.clear();

  const std::string port = PortName(port_);
  LineSettings line;
  if (!ParseLineSettings(settings_, line))
    return Fail(OpenFailure::BadSettings, port + ": the line settings \"" + settings_ + "\" are not valid.");

  device_ = Device(port_);
  if (device_.empty())
    return Fail(OpenFailure::NoDevice, port + ": no serial device for this port. " + PresentDevices() +
                                           " Connect the adapter, choose another port, or name the device "
                                           "under \"" + port + "\" in the \"Ports\" section of the settings.");
  const std::string tried = port + " (" + device_ + ")";
  QString location = QString::fromStdString(device_);
#ifndef _WIN32
  // Resolve links (/dev/serial/by-id/..., a link to a pseudo-terminal): the lock file and the
  // error texts name the real device.
  const QFileInfo file(location);
  if (!file.exists())
    return Fail(OpenFailure::NoSuchDevice, tried + ": no such device. " + PresentDevices() +
                                               " Connect the adapter or choose another port.");
  location = file.canonicalFilePath();
  if (::access(location.toLocal8Bit().constData(), R_OK | W_OK) != 0 && errno == EACCES) {
    const std::string group = GroupOf(location.toStdString());
    return Fail(OpenFailure::PermissionDenied,
                tried + ": permission denied. The device belongs to the group " + group +
                    "; join it with `sudo usermod -aG " + group + " $USER`, then log out and log in again.");
  }
#endif

  serial_.setPortName(location);
  serial_.setBaudRate(line.baud);
  serial_.setParity(line.parity);
  serial_.setDataBits(line.dataBits);
  serial_.setStopBits(line.stopBits);
  serial_.setFlowControl(QSerialPort::NoFlowControl);
  if (!serial_.open(QIODevice::ReadWrite)) {
    const auto error = serial_.error();
    const std::string why = serial_.errorString().toStdString();
    serial_.clearError();
    switch (error) {
      case QSerialPort::DeviceNotFoundError:
        return Fail(OpenFailure::NoSuchDevice, tried + ": no such device. " + PresentDevices());
      case QSerialPort::PermissionError:
      case QSerialPort::OpenError:
        // Access was checked above: what is left is another program holding the port.
        return Fail(OpenFailure::Busy, tried + ": busy, held by another program (" + why +
                                           "). Close that program (`fuser " + location.toStdString() +
                                           "` names it) and try again.");
      default:
        return Fail(OpenFailure::Other, tried + ": cannot be opened: " + why + ".");
    }
  }
  open_ = true;
  return true;
}

void QtSerialPort::OnError(QSerialPort::SerialPortError error) {
  if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError) return;
  // Unplugged adapter, closed far end of a pseudo-terminal (reads fail with EIO): the line is
  // gone for good.
  if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
      error != QSerialPort::WriteError)
    return;
  // Qt's text for these errors is the system's last error at some later call (after a
  // hang-up often "Inappropriate ioctl for device"): it would mislead, so it is not shown.
  MarkLost("");
}

void QtSerialPort::MarkLost(const std::string& why) {
  if (!open_ || lost_) return;
  lost_ = true;
  lastError_ = PortName(port_) + " (" + device_ + "): the line was lost" + (why.empty() ? "" : " (" + why + ")") +
               "; the adapter was unplugged or the far end closed.";
  // Closed from the event loop, so that the device's own notifier cannot fire again
  // meanwhile, and never from inside the device's signal.
  QMetaObject::invokeMethod(this, &QtSerialPort::CloseLostLine, Qt::QueuedConnection);
}

void QtSerialPort::CloseLostLine() {
  if (!lost_) return;
  if (serial_.isOpen()) {
    const QByteArray buffered = serial_.readAll();
    rest_.insert(rest_.end(), buffered.begin(), buffered.end());
    serial_.close();
  }
  if (onLost_) onLost_();
}

void QtSerialPort::Output(std::span<const std::uint8_t> bytes) {
  if (!open_ || lost_ || bytes.empty()) return;
  const auto size = static_cast<qint64>(bytes.size());
  const qint64 written = serial_.write(reinterpret_cast<const char*>(bytes.data()), size);
  // What the device did not take is lost, and so is the exchange that relied on it.
  if (written != size)
    MarkLost(written < 0 ? "writing failed: " + serial_.errorString().toStdString()
                         : "only " + std::to_string(written) + " of " + std::to_string(size) + " bytes written");
}

int QtSerialPort::OutBufferCount() const {
  if (!open_ || lost_ || !serial_.isOpen()) return 0;  // a lost line never drains
  return static_cast<int>(serial_.bytesToWrite());
}

void QtSerialPort::SetOutBufferCount(int) {
  if (serial_.isOpen()) serial_.clear(QSerialPort::Output);
}

int QtSerialPort::InBufferCount() const {
  const qint64 live = serial_.isOpen() ? serial_.bytesAvailable() : 0;
  return static_cast<int>(rest_.size() + static_cast<std::size_t>(live));
}

void QtSerialPort::SetInBufferCount(int) {
  rest_.clear();
  if (serial_.isOpen()) serial_.clear(QSerialPort::Input);  // the kernel's queue and Qt's buffer
}

Bytes QtSerialPort::Input() {
  std::size_t want = inputLen_ == 0 ? static_cast<std::size_t>(InBufferCount())
                                    : static_cast<std::size_t>(inputLen_);
  const std::size_t fromRest = std::min(want, rest_.size());
  Bytes out(rest_.begin(), rest_.begin() + static_cast<std::ptrdiff_t>(fromRest));
  rest_.erase(rest_.begin(), rest_.begin() + static_cast<std::ptrdiff_t>(fromRest));
  want -= fromRest;
  if (want > 0 && serial_.isOpen()) {
    const QByteArray data = serial_.read(static_cast<qint64>(want));
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

}  // namespace kelvane
