#pragma once
// The one QApplication of the adapter tests, created on first use (offscreen unless the
// environment names a platform).

#include <QApplication>
#include <QByteArray>

namespace kelvane::test {

inline QApplication& TestApp() {
  static int argc = 1;
  static char name[] = "kelvane_qt_tests";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace kelvane::test
