#include "serial/qt/QtSerialPort.h"

#include <QFileInfo>
#include <algorithm>
#include <cctype>
#include <sstream>

#include "serial/PortAssignment.h"
#include "serial/SystemDevices.h"

namespace kelvane {

namespace {

std::string PortName(int n) { return "COM" + std::to_string(n); }

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
  if (parts[0].find_first_not_of("0123456789") != std::string::npos || parts[0].size() > 7)
    return false;
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
  if (parts[2] == "5")
    out.dataBits = QSerialPort::Data5;
  else if (parts[2] == "6")
    out.dataBits = QSerialPort::Data6;
  else if (parts[2] == "7")
    out.dataBits = QSerialPort::Data7;
  else if (parts[2] == "8")
    out.dataBits = QSerialPort::Data8;
  else
    return false;
  if (parts[3] == "1")
    out.stopBits = QSerialPort::OneStop;
  else if (parts[3] == "1.5")
    out.stopBits = QSerialPort::OneAndHalfStop;
  else if (parts[3] == "2")
    out.stopBits = QSerialPort::TwoStop;
  else
    return false;
  return true;
}

QtSerialPort::QtSerialPort(const SettingsStore& settings, QObject* parent)
    : QObject(parent),
      store_(settings),
      ownDevices_(std::make_unique<SystemDevices>()),
      devices_(*ownDevices_) {
  connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialPort::OnError);
  connect(&serial_, &QSerialPort::readyRead, this, &QtSerialPort::Readable);
}

QtSerialPort::QtSerialPort(const SettingsStore& settings, const DeviceList& devices,
                           QObject* parent)
    : QObject(parent), store_(settings), devices_(devices) {
  connect(&serial_, &QSerialPort::errorOccurred, this, &QtSerialPort::OnError);
  connect(&serial_, &QSerialPort::readyRead, this, &QtSerialPort::Readable);
}

QtSerialPort::~QtSerialPort() { CloseDevice(); }

std::string QtSerialPort::Device(int n) const {
#ifdef _WIN32
  const std::string assigned = AssignedPath(store_, n);
  return assigned.empty() ? PortName(n) : assigned;
#else
  return MapPort(store_, n, devices_.Devices(), devices_).device;
#endif
}

PortState QtSerialPort::StateOf(int n) const {
  return !open_ || port_ != n ? PortState::Closed : lost_ ? PortState::Lost : PortState::Open;
}

std::string QtSerialPort::Describe(int n) const {
  return PortToolTip(MapPort(store_, n, devices_.Devices(), devices_), StateOf(n), devices_);
}

bool QtSerialPort::Fail(OpenFailure failure) {
  failure_ = std::move(failure);
  lastError_ = Explain(failure_);
  return false;
}

void QtSerialPort::CloseDevice() {
  // The flags go back while the descriptor is still open.
  lowLatency_.Restore();
  serial_.close();
}

bool QtSerialPort::SetPortOpen(bool open) {
  if (!open) {
    closedLost_ = open_ && lost_;
    open_ = false;
    lost_ = false;
    rest_.clear();
    CloseDevice();
    return true;
  }
  if (open_) return true;
  failure_ = {};
  lastError_.clear();
  lost_ = false;
  rest_.clear();

  LineSettings line;
  if (!ParseLineSettings(settings_, line)) {
    OpenFailure bad;
    bad.cause = OpenCause::BadSettings;
    bad.port = port_;
    bad.settings = settings_;
    return Fail(bad);
  }

  device_ = Device(port_);
  QString location = QString::fromStdString(device_);
#ifndef _WIN32
  // A missing device, or one this user may not open, is explained without trying it. Links
  // (/dev/serial/by-id/..., a link to a pseudo-terminal) are resolved: the lock file and the
  // texts name the real device.
  if (OpenFailure before = DiagnoseOpen(port_, device_, devices_); before.cause != OpenCause::None)
    return Fail(before);
  location = QFileInfo(location).canonicalFilePath();
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
    // Access was checked above: a refusal now is another program holding the port.
    const bool busy = error == QSerialPort::PermissionError || error == QSerialPort::OpenError;
    OpenFailure failure =
        DiagnoseOpen(port_, device_, devices_, busy ? OpenCause::Busy : OpenCause::Other, why);
    if (error == QSerialPort::DeviceNotFoundError && failure.cause == OpenCause::Other)
      failure.cause = OpenCause::NoSuchDevice;  // gone between the check and the open
    return Fail(failure);
  }
#ifndef _WIN32
  // A USB adapter hands over small reads at once instead of after its latency timer;
  // pseudo-terminals and built-in ports are left as they are.
  const auto info = FindDevice(devices_.Devices(), device_, devices_);
  if (info && info->Usb()) lowLatency_.Request(static_cast<int>(serial_.handle()));
#endif
  open_ = true;
  closedLost_ = false;
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
  lastError_ = PortName(port_) + " (" + device_ + "): the line was lost" +
               (why.empty() ? "" : " (" + why + ")") +
               "; the adapter was unplugged or the far end closed.";
  emit Readable();  // whoever waits on the line learns it now
  // Closed from the event loop, so that the device's own notifier cannot fire again
  // meanwhile, and never from inside the device's signal.
  QMetaObject::invokeMethod(this, &QtSerialPort::CloseLostLine, Qt::QueuedConnection);
}

void QtSerialPort::CloseLostLine() {
  if (!lost_ || !serial_.isOpen()) return;
  const QByteArray buffered = serial_.readAll();
  rest_.insert(rest_.end(), buffered.begin(), buffered.end());
  CloseDevice();
}

void QtSerialPort::Output(std::span<const std::uint8_t> bytes) {
  if (!open_ || lost_ || bytes.empty()) return;
  const auto size = static_cast<qint64>(bytes.size());
  const qint64 written = serial_.write(reinterpret_cast<const char*>(bytes.data()), size);
  // What the device did not take is lost, and so is the exchange that relied on it.
  if (written != size)
    MarkLost(written < 0 ? "writing failed: " + serial_.errorString().toStdString()
                         : "only " + std::to_string(written) + " of " + std::to_string(size) +
                               " bytes written");
}

void QtSerialPort::WaitForSent(std::chrono::milliseconds d) {
  if (open_ && !lost_ && serial_.isOpen()) serial_.waitForBytesWritten(static_cast<int>(d.count()));
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
    // Straight into the array, without a QByteArray between.
    out.resize(fromRest + std::min(want, static_cast<std::size_t>(serial_.bytesAvailable())));
    const qint64 got = serial_.read(reinterpret_cast<char*>(out.data() + fromRest),
                                    static_cast<qint64>(out.size() - fromRest));
    out.resize(fromRest + static_cast<std::size_t>(std::max<qint64>(got, 0)));
  }
  return out;
}

std::optional<std::uint8_t> QtSerialPort::InputByte() {
  // A read of more than one byte drops the rest: that is Input's to do.
  if (inputLen_ != 1) return SerialPort::InputByte();
  // Called for every byte of an upload: no array, no allocation.
  if (!rest_.empty()) {
    const std::uint8_t b = rest_.front();
    rest_.erase(rest_.begin());
    return b;
  }
  char c = 0;
  if (!serial_.isOpen() || !serial_.getChar(&c)) return std::nullopt;
  return static_cast<std::uint8_t>(c);
}

}  // namespace kelvane
