#pragma once
// Hot-plug of the open port. A line lost while no transfer runs (the adapter was unplugged)
// is shown closed at once, with the reason in the status line's tooltip; when the same
// device comes back under the same stable path, the port is opened again as the Port Open
// button opens it, and the status line shows it. During a transfer nothing is done here: a
// lost line ends the exchange by the exchange's own rules, which close the port; it is
// waited for from then on.

#include <string>

#include "app/Main.h"
#include "serial/Devices.h"

namespace kelvane {

class Replug {
 public:
  Replug(Main& main, MainView& view, SerialPort& serial, const SettingsStore& settings,
         const DeviceList& devices);

  // Looks once; the window calls it a few times a second, outside its own handlers.
  void Tick();
  // The port lost and waited for (0: none).
  int Waiting() const { return watching_ ? port_ : 0; }

 private:
  std::string StablePathOf(int port) const;

  Main& main_;
  MainView& view_;
  SerialPort& serial_;
  const SettingsStore& settings_;
  const DeviceList& devices_;
  int port_ = 0;      // the port open now, or the one lost
  std::string path_;  // its device by the path that stays the same when it comes back
  bool watching_ = false;
};

}  // namespace kelvane
