#include "Harness.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "receiver/SampleFiles.h"

namespace kelvane::e2e {

Receiver::Receiver(const QStringList& args) {
  process_.start(QStringLiteral(KELVANE_RECEIVER), args);
  if (!process_.waitForStarted(5000)) throw std::runtime_error("kelvane-receiver did not start");
  while (!process_.canReadLine()) {
    if (!process_.waitForReadyRead(5000))
      throw std::runtime_error("kelvane-receiver named no device: " + process_.readAllStandardError().toStdString());
  }
  device_ = process_.readLine().trimmed().toStdString();
}

Receiver::~Receiver() { Finish(std::chrono::milliseconds(3000)); }

int Receiver::Finish(std::chrono::milliseconds wait) {
  // The product's serial object writes from the event loop, so the loop keeps running
  // while the receiver finishes: the product's last bytes still go out.
  QDeadlineTimer deadline(wait);
  while (process_.state() != QProcess::NotRunning && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    process_.waitForFinished(10);
  }
  if (process_.state() != QProcess::NotRunning) {
    process_.kill();
    process_.waitForFinished(1000);
    return -1;
  }
  const QList<QByteArray> lines = process_.readAllStandardOutput().trimmed().split('\n');
  if (!lines.isEmpty() && summary_.empty()) summary_ = lines.last().toStdString();
  errors_ += process_.readAllStandardError().toStdString();
  return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

Product::Product(const std::string& device) : previousDir_(QDir::currentPath()) {
  if (!dir_.isValid()) throw std::runtime_error("no temporary directory");
  // The SDX conversion writes its temporary files into the working directory.
  QDir::setCurrent(dir_.path());
  settings_ = std::make_unique<QtSettingsStore>(dir_.filePath("kelvane.ini"));
  settings_->Write(kAppName, kPortsSection, "COM1", device);
  settings_->Write(kAppName, kStartupSection, "ComPort", "1");
  serial_ = std::make_unique<QtSerialPort>(*settings_);
  main_ = std::make_unique<Main>(window, *serial_, *settings_, files_, clock_);
  window.Attach(*main_);
  window.SetAnswerer([this](const std::string& text, const std::string& title, Buttons buttons, Icon) {
    shown.push_back({text, title});
    return buttons == Buttons::YesNoCancel ? Answer::Yes : Answer::OK;
  });
  main_->Form_Load();
  window.show();
}

Product::~Product() {
  main_->Form_Terminate();
  QDir::setCurrent(previousDir_);
}

std::string Product::Path(const std::string& name) const { return dir_.filePath(QString::fromStdString(name)).toStdString(); }

void Product::Click(Control c) {
  auto* button = qobject_cast<QAbstractButton*>(window.Widget(c));
  if (!button) throw std::logic_error("not a button");
  button->click();
}

void Product::Choose(const std::string& path) {
  window.SetChooser([path](const ChooserRequest&) { return ChooserResult{ChooserResult::Outcome::Chosen, path, {}}; });
  Click(Control::Browse);
}

void Product::StopAfter(std::chrono::milliseconds after) {
  QTimer::singleShot(after, &window, [this] { Click(Control::ExitButton); });
}

void Product::StartAndWait(std::chrono::milliseconds limit) {
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, &window, [this] {
    watchdogFired_ = true;
    main_->ExitButton_Click();
  });
  watchdog.start(limit);
  Click(Control::Start);
}

std::vector<std::string> Product::Texts() const {
  std::vector<std::string> t;
  for (const auto& s : shown) t.push_back(s.text);
  return t;
}

bool Product::Unlocked() const {
  return !window.Enabled(Control::ExitButton) && window.Enabled(Control::portOpen) && window.Enabled(Control::Browse);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) { samples::WriteFile(path, bytes); }

Bytes SmallImage(std::size_t data, std::uint32_t seed) {
  samples::ImageFields fields;
  fields.dataLength = data;
  fields.seed = seed;
  return samples::ProgramImage(fields);
}

}  // namespace kelvane::e2e
