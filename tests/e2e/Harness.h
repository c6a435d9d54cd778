#pragma once
// End-to-end harness: the product's real window (offscreen), serial object, settings, files
// and exchanges, wired as the program wires them, against kelvane-receiver on a
// pseudo-terminal. Tests press the window's buttons; the file dialog and the message boxes
// are answered through the window's test seams.

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include "app/Main.h"
#include "app/qt/QtMainWindow.h"
#include "app/qt/QtSettingsStore.h"
#include "app/qt/QtTestApp.h"
#include "files/FileTable.h"
#include "serial/posix/PosixSerialPort.h"
#include "support/Pty.h"
#include "timecode/Clock.h"

namespace kelvane::e2e {

using test::Bytes;
using ms = std::chrono::milliseconds;

// The product as the program assembles it, in a private folder (its settings file and
// working directory, where the SDX conversion writes), with Com 1 mapped to `device`.
class Product {
 public:
  explicit Product(const std::string& device) {
    QDir::setCurrent(dir_.path());
    settings_.Write(kAppName, kPortsSection, "COM1", device);
    settings_.Write(kAppName, kStartupSection, "ComPort", "1");
    window.Attach(main_);
    window.SetAnswerer([this](const std::string& text, const std::string&, Buttons buttons, Icon) {
      texts.push_back(text);
      return buttons == Buttons::YesNoCancel ? Answer::Yes : Answer::OK;
    });
    main_.Form_Load();
    window.show();
  }
  ~Product() {
    main_.Form_Terminate();
    QDir::setCurrent(previousDir_);
  }
  std::string Path(const std::string& name) const {
    return dir_.filePath(QString::fromStdString(name)).toStdString();
  }
  void Click(Control c) { qobject_cast<QAbstractButton*>(window.Widget(c))->click(); }
  // Browse, with the file dialog answering `path`.
  void Choose(const std::string& path) {
    window.SetChooser([path](const ChooserRequest&) {
      return ChooserResult{ChooserResult::Outcome::Chosen, path, {}};
    });
    Click(Control::Browse);
  }
  // Start; returns when the transfer is over. Stop is pressed after `stopAfter` when given,
  // and by a watchdog after `limit`.
  void StartAndWait(ms limit, ms stopAfter = ms(0)) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &window,
                     [this] { watchdogFired = true, main_.ExitButton_Click(); });
    watchdog.start(limit);
    if (stopAfter.count())
      QTimer::singleShot(stopAfter, &window, [this] { Click(Control::ExitButton); });
    Click(Control::Start);  // begins the transfer; the window's events drive it
    while (main_.TransferRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }

 private:
  QApplication& app_ = test::TestApp();  // before any widget
  QTemporaryDir dir_;
  QString previousDir_ = QDir::currentPath();
  QtSettingsStore settings_{dir_.filePath("kelvane.ini")};
  DiskFileTable files_;
  SystemClock clock_;
  PosixSerialPort serial_{settings_};

 public:
  QtMainWindow window;
  std::vector<std::string> texts;  // the messages shown, in order
  bool watchdogFired = false;

 private:
  Main main_{window, serial_, settings_, files_, clock_};
};

}  // namespace kelvane::e2e
