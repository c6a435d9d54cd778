#include "serial/DevicePort.h"

#include <algorithm>
#include <thread>

namespace kelvane {

namespace {

// Read buffers are compacted once this much of them has been read.
constexpr std::size_t kCompactAt = 64 * 1024;

}  // namespace

DevicePort::DevicePort(const SettingsStore& settings, const DeviceList& devices)
    : store_(settings), devices_(devices) {}

DevicePort::DevicePort(const SettingsStore& settings, std::unique_ptr<DeviceList> devices)
    : store_(settings), ownDevices_(std::move(devices)), devices_(*ownDevices_) {}

std::string DevicePort::Device(int n) const {
  return MapPort(store_, n, devices_.Devices(), devices_).device;
}

PortState DevicePort::StateOf(int n) const {
  return !open_ || port_ != n ? PortState::Closed : lost_ ? PortState::Lost : PortState::Open;
}

std::string DevicePort::Describe(int n) const {
  return PortToolTip(MapPort(store_, n, devices_.Devices(), devices_), StateOf(n), devices_);
}

bool DevicePort::Fail(OpenFailure failure) {
  failure_ = std::move(failure);
  lastError_ = Explain(failure_);
  return false;
}

bool DevicePort::SetPortOpen(bool open) {
  if (!open) {
    closedLost_ = open_ && lost_;
    if (deviceOpen_) CloseDevice();
    deviceOpen_ = open_ = lost_ = false;
    buffer_.clear();
    head_ = 0;
    return true;
  }
  if (open_) return true;
  failure_ = {};
  lastError_.clear();
  buffer_.clear();
  head_ = 0;

  LineSettings line;
  if (!ParseLineSettings(settings_, line)) {
    OpenFailure bad;
    bad.cause = OpenCause::BadSettings;
    bad.port = port_;
    bad.settings = settings_;
    return Fail(bad);
  }
  // A missing device, or one this user may not open, is explained without trying it. Links
  // (/dev/serial/by-id/..., a link to a pseudo-terminal) are resolved: the texts name the
  // real device too.
  device_ = Device(port_);
  if (OpenFailure before = DiagnoseOpen(port_, device_, devices_); before.cause != OpenCause::None)
    return Fail(before);
  const std::string node = devices_.Probe(device_).node;
  const Result r = OpenDevice(node.empty() ? device_ : node, line,
                              FindDevice(devices_.Devices(), device_, devices_));
  if (r.cause != OpenCause::None) {
    OpenFailure failure = DiagnoseOpen(port_, device_, devices_, r.cause, r.systemText);
    if (failure.cause == OpenCause::None) failure.cause = r.cause;
    if (failure.cause == OpenCause::BadSettings) failure.settings = settings_;  // not supported
    return Fail(failure);
  }
  deviceOpen_ = open_ = true;
  lost_ = closedLost_ = false;
  return true;
}

void DevicePort::MarkLost(const std::string& why) {
  if (!open_ || lost_) return;
  lost_ = true;
  lastError_ = ExplainLost(port_, device_, why);
  // Closed at once: a device held open after it went away keeps its name taken, and a
  // hung-up descriptor would wake every wait on it.
  if (deviceOpen_) CloseDevice();
  deviceOpen_ = false;
}

void DevicePort::Pull() {
  if (!deviceOpen_) return;
  if (head_ >= kCompactAt) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  std::string why;
  switch (ReadDevice(buffer_, why)) {
    case Read::Drained: break;
    case Read::Ended: MarkLost(""); break;
    case Read::Failed: MarkLost("reading failed: " + why); break;
  }
}

bool DevicePort::Lost() const {
  // Asked a few times a second while nothing else reads the line: a hang-up is found here.
  if (deviceOpen_ && DeviceFailed()) {
    auto& self = const_cast<DevicePort&>(*this);
    self.Pull();  // what came before the hang-up stays to be read
    if (!lost_) self.MarkLost("");
  }
  return lost_;
}

void DevicePort::Output(std::span<const std::uint8_t> bytes) {
  if (!open_ || lost_ || bytes.empty()) return;
  // What the device did not take is lost, and so is the exchange that relied on it.
  if (std::string why; !WriteDevice(bytes, why)) MarkLost(why);
}

int DevicePort::OutBufferCount() const {
  return open_ && deviceOpen_ ? DeviceQueuedOut() : 0;  // a lost line never drains
}

void DevicePort::WaitForSent(std::chrono::milliseconds d) {
  constexpr std::chrono::milliseconds kLongestSleep{5};
  if (OutBufferCount() > 0) std::this_thread::sleep_for(std::min(d, kLongestSleep));
}

void DevicePort::SetOutBufferCount(int) {
  if (deviceOpen_) DropDeviceOut();
}

int DevicePort::InBufferCount() const {
  const_cast<DevicePort&>(*this).Pull();
  return static_cast<int>(Buffered());
}

void DevicePort::SetInBufferCount(int) {
  buffer_.clear();
  head_ = 0;
  if (deviceOpen_) DropDeviceIn();
}

Bytes DevicePort::Input() {
  Pull();
  const std::size_t n =
      inputLen_ == 0 ? Buffered() : std::min(Buffered(), static_cast<std::size_t>(inputLen_));
  const auto from = buffer_.begin() + static_cast<std::ptrdiff_t>(head_);
  Bytes out(from, from + static_cast<std::ptrdiff_t>(n));
  head_ += n;
  if (head_ == buffer_.size()) buffer_.clear(), head_ = 0;
  return out;
}

std::optional<std::uint8_t> DevicePort::InputByte() {
  // A read of more than one byte drops the rest: that is Input's to do.
  if (inputLen_ != 1) return SerialPort::InputByte();
  // Called for every byte of an upload: no array, no allocation, and the device is read
  // only when the buffer is empty.
  if (Buffered() == 0) Pull();
  if (Buffered() == 0) return std::nullopt;
  const std::uint8_t b = buffer_[head_++];
  if (head_ == buffer_.size()) buffer_.clear(), head_ = 0;
  return b;
}

}  // namespace kelvane
