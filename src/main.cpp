// kelvane: the service tool's window. It takes no arguments; --demo (for trying it without
// a receiver) starts the receiver emulator on a pseudo-terminal and uses a throwaway settings
// file whose port 1 is that line.

#include <QApplication>
#include <memory>

#include "app/Clock.h"
#include "app/Main.h"
#include "app/qt/CloseOnSignal.h"
#include "app/qt/Demo.h"
#include "app/qt/QtMainWindow.h"
#include "app/qt/QtSettingsStore.h"
#include "files/FileTable.h"
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
  QtSerialPort serial(*settings);
  QtMainWindow window;
  Main main(window, serial, *settings, files, clock);
  window.Attach(main);
  window.SetPortDescriber([&serial](int n) { return serial.Describe(n); });
  serial.SetLostHandler([&main] { main.MSComm1_OnComm(); });

  main.Form_Load();
  if (demo) main.XferPath = demo->SampleImage().toStdString();
  CloseOnSignals(window);
  window.show();
  const int rc = app.exec();
  main.Form_Terminate();
  return rc;
}
