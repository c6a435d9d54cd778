#pragma once
// The demo receiver (option --demo): the receiver emulator on a pseudo-terminal (on Windows on
// a named pipe of its own), sample files and a settings file of their own in a private
// temporary directory, so that the window can be tried without hardware and without touching
// the user's settings.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace kelvane {

// A program the demo runs (NAME.exe on Windows): next to this program, in the receiver's build
// folder beside it, else the first in `searchPath` (empty: the PATH). Empty when none is
// executable.
QString FindDemoProgram(const QString& programDir, const QString& name,
                        const QStringList& searchPath = {});

class Demo {
 public:
  Demo();
  ~Demo();  // stops the receiver and removes the directory

  // Writes the samples, starts the receiver and waits for its link. False, with the reason
  // on stderr and in a box, when that cannot be done; the program then starts normally.
  bool Start(const QString& programDir);

  QString SettingsFile() const;  // the INI file the demo's settings live in
  QString LinkPath() const;      // the receiver's end of the line, for Ports/COM1
  QString SampleImage() const;   // where the file chooser opens

 private:
  QTemporaryDir dir_;
  QProcess receiver_;
  void* job_ = nullptr;  // Windows: the job that ends the receiver with this program
};

}  // namespace kelvane
