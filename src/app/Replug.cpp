#include "app/Replug.h"

#include "serial/PortAssignment.h"

namespace kelvane {

Replug::Replug(Main& main, MainView& view, SerialPort& serial, const SettingsStore& settings,
               const DeviceList& devices)
    : main_(main), view_(view), serial_(serial), settings_(settings), devices_(devices) {}

std::string Replug::StablePathOf(int port) const {
  const PortMapping m = MapPort(settings_, port, devices_.Devices(), devices_);
  // An assigned path is what the user chose to stay with; a device found by its order is
  // followed by its by-id path where it has one.
  if (m.assigned || !m.info) return m.device;
  return m.info->StablePath();
}

void Replug::Tick() {
  if (main_.TransferRunning()) return;
  if (serial_.PortOpen() && !serial_.Lost()) {
    if (!watching_ && port_ == serial_.CommPort() && !path_.empty()) return;
    port_ = serial_.CommPort();
    path_ = StablePathOf(port_);
    watching_ = false;
    return;
  }
  if (serial_.PortOpen()) {
    // Lost while nothing runs: closed as the button closes it, the reason kept in view.
    const std::string why = serial_.LastError();
    main_.portOpen_Click();
    watching_ = !path_.empty() && port_ == serial_.CommPort();
    main_.ShowPortFailure(
        why + (watching_ ? "\nIt is opened again when " + path_ + " comes back." : std::string()));
    return;
  }
  // Closed after its line was lost, by the transfer that found it so: waited for as well.
  if (!watching_ && !path_.empty() && serial_.ClosedLost() && port_ == serial_.CommPort())
    watching_ = true;
  if (!watching_) {
    path_.clear();  // the next open may be of another device
    return;
  }
  // The user has chosen another port meanwhile: that choice stands.
  if (main_.PortIsOpen() || !view_.Value(ComPort(port_))) {
    watching_ = false;
    return;
  }
  const DeviceProbe probe = devices_.Probe(path_);
  if (!probe.exists || !probe.accessible) return;
  main_.portOpen_Click();
  if (!serial_.PortOpen()) return;  // not ready yet (a new device node settling): next time
  watching_ = false;
  view_.SetToolTip(Control::Status, "COM" + std::to_string(port_) + ": " + path_ +
                                        " came back and was opened again.");
}

}  // namespace kelvane
