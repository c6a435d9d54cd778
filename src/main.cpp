// kelvane: the service tool's window. It takes no arguments; --demo (for trying it without
// a receiver) starts the receiver emulator on a pseudo-terminal and uses a throwaway settings
// file whose port 1 is that line.

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <memory>

#include "app/Clock.h"
#include "app/Main.h"
#include "app/Replug.h"
#include "app/qt/CloseOnSignal.h"
#include "app/qt/Demo.h"
#include "app/qt/PortsDialog.h"
#include "app/qt/QtMainWindow.h"
#include "app/qt/QtSettingsStore.h"
#include "files/FileTable.h"
#include "serial/SystemDevices.h"
#include "serial/qt/QtSerialPort.h"

int main(int argc, char** argv) {
  using namespace kelvane;
  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(kAppName);
  QCoreApplication::setApplicationName(kAppName);

  std::unique_ptr<Demo> demo;
  if (QCoreApplication::arguments().contains("--demo")) {
    demo = std::make_unique<Demo>();
    if (!demo->Start(QCoreApplication::applicationDirPath())) demo.reset();
  }
  auto settings = demo ? std::make_unique<QtSettingsStore>(demo->SettingsFile()) : std::make_unique<QtSettingsStore>();
  if (demo) settings->Write(kAppName, kPortsSection, "COM1", demo->LinkPath().toStdString());

  DiskFileTable files;
  SystemClock clock;
  SystemDevices devices;
  QtSerialPort serial(*settings, devices);
  QtMainWindow window;
  Main main(window, serial, *settings, files, clock);
  window.Attach(main);
  window.SetPortDescriber([&serial](int n) { return serial.Describe(n); });
  std::vector<QWidget*> portButtons;
  for (int n = 1; n <= 8; ++n) portButtons.push_back(window.Widget(ComPort(n)));
  InstallPortsMenu(window.Widget(Control::PortFrame), portButtons, *settings, devices,
                   [&serial](int n) { return serial.StateOf(n); });

  // Hot-plug: looked at twice a second, never inside a box or a dialog the window shows.
  Replug replug(main, window, serial, *settings, devices);
  QTimer plugWatch;
  QObject::connect(&plugWatch, &QTimer::timeout, [&replug] {
    if (!QApplication::activeModalWidget() && !QApplication::activePopupWidget()) replug.Tick();
  });
  plugWatch.start(std::chrono::milliseconds(500));

  main.Form_Load();
  if (demo) main.XferPath = demo->SampleImage().toStdString();
  CloseOnSignals(window);
  window.show();
  const int rc = app.exec();
  main.Form_Terminate();
  return rc;
}
