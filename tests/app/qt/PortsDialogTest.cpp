#include "app/qt/PortsDialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>

#include "app/qt/QtTestApp.h"
#include "support/FakeDevices.h"
#include "support/Fakes.h"

namespace kelvane::test {
namespace {

std::string Cell(QTableWidget* t, int row, int col) {
  const QTableWidgetItem* item = t->item(row, col);
  return item ? item->text().toStdString() : "(none)";
}

FakeDevices ThreeDevices() {
  FakeDevices d;
  d.devices = {Ftdi(0, "A50285BI"), Ftdi(1, "B7", false, 1), BuiltIn(0)};
  return d;
}

#define BY_ID "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_"

struct Dialog : ::testing::Test {
  QApplication& app = TestApp();
  FakeDevices devices = ThreeDevices();
  FakeSettings settings;
  PortsDialog dialog{settings, devices,
                     [](int n) { return n == 1 ? PortState::Open : PortState::Closed; }};
};

TEST_F(Dialog, ListsEveryDeviceWithWhatTheSystemSaysOfIt) {
  QTableWidget* t = dialog.DeviceTable();
  ASSERT_EQ(t->rowCount(), 3);
  // device, description, manufacturer, VID:PID, serial, access, latency, stable path
  const char* rows[] = {
      "/dev/ttyUSB0|FT232R USB UART|FTDI|0403:6001|A50285BI|yes|16 ms|" BY_ID "A50285BI-if00-port0",
      "/dev/ttyUSB1|FT232R USB UART|FTDI|0403:6001|B7|no: join dialout|1 ms|" BY_ID "B7-if00-port0",
      "/dev/ttyS0|||||yes||"};
  for (int row = 0; row < 3; ++row) {
    std::string cells = Cell(t, row, 0);
    for (int col = 1; col < 8; ++col) cells += "|" + Cell(t, row, col);
    EXPECT_EQ(cells, rows[row]);
  }
  const std::string advice = dialog.findChildren<QLabel*>().last()->text().toStdString();
  EXPECT_NE(advice.find("sudo usermod -aG dialout $USER"), std::string::npos) << advice;
  EXPECT_NE(advice.find("ttyUSB0 is 16 ms"), std::string::npos) << advice;
}

TEST_F(Dialog, AssignsTheChosenDeviceByItsStablePathAndFollowsUnplugging) {
  QTableWidget* ports = dialog.PortTable();
  ASSERT_EQ(ports->rowCount(), 8);
  EXPECT_EQ(Cell(ports, 0, 2), "open");
  EXPECT_EQ(Cell(ports, 7, 1), "(none)");

  dialog.DeviceTable()->selectRow(2);
  dialog.PortChoice()->setCurrentIndex(2);
  dialog.findChild<QPushButton*>("Assign")->click();
  EXPECT_EQ(settings.values["Ports/COM3"], "/dev/ttyS0");
  dialog.DeviceTable()->selectRow(0);
  dialog.findChild<QPushButton*>("Assign")->click();
  EXPECT_EQ(settings.values["Ports/COM3"], devices.devices[0].byId);
  EXPECT_EQ(Cell(ports, 2, 1), devices.devices[0].byId);

  devices.devices.erase(devices.devices.begin());  // the adapter is pulled
  dialog.Refresh();
  EXPECT_EQ(dialog.DeviceTable()->rowCount(), 2);
  EXPECT_EQ(Cell(ports, 2, 2), "not present");

  dialog.findChild<QPushButton*>("Clear")->click();
  EXPECT_EQ(settings.values["Ports/COM3"], "");
  EXPECT_EQ(Cell(ports, 2, 1), "(none)");  // no third device any more
}

TEST_F(Dialog, TheFrameMenuOverAPortButtonAssignsThatPortADevice) {
  QGroupBox frame;
  frame.resize(200, 100);
  std::vector<QWidget*> buttons;
  for (int n = 1; n <= 2; ++n) {
    auto* b = new QRadioButton(QStringLiteral("Com %1").arg(n), &frame);
    b->setGeometry(10 + 90 * (n - 1), 20, 80, 20);
    buttons.push_back(b);
  }
  InstallPortsMenu(&frame, buttons, settings, devices, [](int) { return PortState::Closed; });
  QStringList entries;
  QTimer::singleShot(0, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    for (QAction* a : menu->actions()) entries << a->text();
    QMenu* choose = menu->actions().value(1) ? menu->actions()[1]->menu() : nullptr;
    ASSERT_NE(choose, nullptr);
    for (QAction* a : choose->actions()) entries << a->text();
    choose->actions().last()->trigger();  // the built-in port
    menu->close();
  });
  emit frame.customContextMenuRequested(buttons[1]->geometry().center());
  EXPECT_EQ(entries.value(0), "&Ports...");
  EXPECT_EQ(entries.value(1), "Com 2 &device");
  EXPECT_TRUE(entries.contains("Device 2 in the order found"));
  EXPECT_TRUE(entries.contains(QString::fromStdString(
      devices.devices[0].byId + "  (FT232R USB UART, FTDI, 0403:6001, serial A50285BI)")));
  EXPECT_EQ(settings.values["Ports/COM2"], "/dev/ttyS0");
}

}  // namespace
}  // namespace kelvane::test
