#pragma once
// End-to-end harness: the product's real window (offscreen), serial object, settings, files
// and exchanges, wired as the program wires them, against kelvane-receiver on a
// pseudo-terminal. Tests press the window's buttons; the file dialog and the message boxes
// are answered through the window's test seams.

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/Clock.h"
#include "app/Main.h"
#include "app/qt/QtMainWindow.h"
#include "app/qt/QtSettingsStore.h"
#include "files/FileTable.h"
#include "serial/qt/QtSerialPort.h"

namespace kelvane::e2e {

using Bytes = std::vector<std::uint8_t>;

// kelvane-receiver as a child process.
class Receiver {
 public:
  explicit Receiver(const QStringList& args);
  ~Receiver();

  const std::string& Device() const { return device_; }
  // Waits for the end; the exit code, or -1 when it had to be killed.
  int Finish(std::chrono::milliseconds wait = std::chrono::seconds(15));
  const std::string& Summary() const { return summary_; }  // its last stdout line
  const std::string& Errors() const { return errors_; }

 private:
  QProcess process_;
  std::string device_, summary_, errors_;
};

struct Shown {
  std::string text, title;
};

// The product as the program assembles it, in a private directory (its settings file and
// working directory), with port 1 mapped to the receiver's device.
class Product {
 public:
  explicit Product(const std::string& device);
  ~Product();

  std::string Path(const std::string& name) const;

  void Click(Control c);  // a click on a button or an option button of the window
  // Browse, with the file dialog answering path.
  void Choose(const std::string& path);
  // Start; returns when the transfer is over. A watchdog presses Stop after `limit`.
  void StartAndWait(std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Presses Stop after `after` from now, from within the running transfer.
  void StopAfter(std::chrono::milliseconds after);

  bool WatchdogFired() const { return watchdogFired_; }
  std::vector<std::string> Texts() const;  // message texts shown, in order
  bool Unlocked() const;                    // Stop disabled, Browse and the port button usable

  QtMainWindow window;
  std::vector<Shown> shown;

 private:
  QTemporaryDir dir_;
  QString previousDir_;
  std::unique_ptr<QtSettingsStore> settings_;
  DiskFileTable files_;
  SystemClock clock_;
  std::unique_ptr<QtSerialPort> serial_;
  std::unique_ptr<Main> main_;
  bool watchdogFired_ = false;

 public:
  Main& main() { return *main_; }
};

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);

// A small program image: `data` bytes after the header.
Bytes SmallImage(std::size_t data, std::uint32_t seed = 5);

}  // namespace kelvane::e2e
