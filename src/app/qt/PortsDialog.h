#pragma once
// The "Ports" dialog: every serial device of the machine with what the system says of it,
// and Com 1 to Com 8 with the device each stands for. A device chosen in the list is
// assigned to a port by its stable path (settings section "Ports"). The lists follow
// adapters as they are plugged in and out.

#include <QDialog>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "files/SettingsStore.h"
#include "serial/Devices.h"
#include "serial/PortAssignment.h"

class QComboBox;
class QLabel;
class QTableWidget;

namespace kelvane {

class PortsDialog final : public QDialog {
  Q_OBJECT

 public:
  using StateOf = std::function<PortState(int port)>;
  PortsDialog(SettingsStore& settings, const DeviceList& devices, StateOf state,
              QWidget* parent = nullptr);

  // Lists the devices and the ports again (its timer does so while the dialog is shown).
  void Refresh();
  // Assigns the device in `row` of the device list to Com n; a row of -1 clears Com n.
  void Assign(int port, int row);

  QTableWidget* DeviceTable() const { return devicesTable_; }
  QTableWidget* PortTable() const { return portsTable_; }
  QComboBox* PortChoice() const { return portChoice_; }

 private:
  static constexpr std::chrono::milliseconds kRelist{1000};
  void Fill();

  SettingsStore& settings_;
  const DeviceList& system_;
  StateOf state_;
  std::vector<SerialDevice> devices_;
  QTableWidget* devicesTable_ = nullptr;
  QTableWidget* portsTable_ = nullptr;
  QComboBox* portChoice_ = nullptr;
  QLabel* advice_ = nullptr;
  QTimer relist_;
};

// Menu entries of the Serial Port frame: "Ports..." and, over a port button, the devices that
// port can be assigned. Installed on the frame's context menu.
void InstallPortsMenu(QWidget* portFrame, const std::vector<QWidget*>& portButtons,
                      SettingsStore& settings, const DeviceList& devices,
                      PortsDialog::StateOf state);

}  // namespace kelvane
