#include "app/Main.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace kelvane {

namespace {

constexpr std::chrono::seconds kDrainDeadline{10};
constexpr std::chrono::milliseconds kDrainPump{20};
constexpr Control kTextBoxes[] = {Control::HWver, Control::SWver, Control::ModelID, Control::File,
                                  Control::Info};

}  // namespace

std::string StatusLine(int port) { return "COM" + std::to_string(port) + ":115200,N,8,1"; }

std::optional<double> SettingNumber(const std::string& text) {
  const char* begin = text.c_str();
  while (*begin == ' ' || *begin == '\t') ++begin;
  if (*begin == '\0') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(begin, &end);
  if (end == begin || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return std::nullopt;
  return v;
}

Main::Main(MainView& v, SerialPort& s, SettingsStore& st, FileTable& f, Clock& c)
    : view(v), serial(s), settings(st), files(f), clock(c), link(s, v, TimedOut) {}

void Main::SelectOption(Control c, bool selected) {
  const bool was = view.Value(c);
  view.SetValue(c, selected);
  if (!selected || was) return;
  if (c == Control::DownDot) DownDot_Click();
  if (c == Control::UpDot) UpDot_Click();
}

void Main::SetFileReady(bool ready) {
  fileReady_ = ready;
  view.SetEnabled(Control::Start, ready && PortIsOpen());
}

void Main::ShowPortClosed() {
  view.SetCaption(Control::portOpen, "Port Open");
  for (int n = 1; n <= 8; ++n) view.SetEnabled(ComPort(n), true);
  view.SetEnabled(Control::Browse, false);
  // A transfer is never started on a closed port; opening it again gives Start back.
  view.SetEnabled(Control::Start, false);
}

void Main::ShowLineLost() {
  const std::string detail = serial.LastError();
  serial.SetPortOpen(false);
  ShowPortClosed();
  view.SetCaption(Control::Status, kPortNotAvailable);
  view.SetToolTip(Control::Status, detail);
}

void Main::MSComm1_OnComm() {
  // A running transfer finds the lost line itself and reports it when it has ended; with
  // none running the window shows it at once, not at the next Start.
  if (transferRunning_ || !PortIsOpen() || !serial.PortOpen() || !serial.Lost()) return;
  ShowLineLost();
}

void Main::Form_Load() {
  // The application name kAppName names the settings and titles untitled message boxes.
  const auto mode = settings.Read(kAppName, kStartupSection, "Mode", "");
  const auto modeNum = SettingNumber(mode);
  if (mode.empty() || modeNum == 1.0) {
    SelectOption(Control::DownDot, true);
    view.SetValue(Control::UpDot, false);
  } else if (modeNum == 2.0) {
    SelectOption(Control::UpDot, true);
    view.SetValue(Control::DownDot, false);
  }

  const auto type = settings.Read(kAppName, kStartupSection, "Type", "");
  const auto typeNum = SettingNumber(type);
  Control chosen = Control::Status;  // none
  if (type.empty() || typeNum == 1.0) chosen = Control::ProgramDot;
  else if (typeNum == 2.0) chosen = Control::SDXDot;
  else if (typeNum == 3.0) chosen = Control::TemuDot;
  if (chosen != Control::Status) {
    for (Control c : {Control::ProgramDot, Control::SDXDot, Control::TemuDot})
      view.SetValue(c, c == chosen);
  }

  view.SetText(Control::File, "");
  SetFileReady(false);
  view.SetEnabled(Control::Browse, true);
  view.CentreWindow();
  OpenAtStartup(settings.Read(kAppName, kStartupSection, "ComPort", ""));
}

void Main::OpenAtStartup(const std::string& stored) {
  bool opened = false;
  if (!stored.empty()) {
    const auto num = SettingNumber(stored);
    const bool whole = num && *num == std::floor(*num) && *num >= 1 && *num <= 9999;
    for (int n = 1; n <= 8; ++n) view.SetValue(ComPort(n), false);
    if (whole) {
      const int n = static_cast<int>(*num);
      serial.SetCommPort(n);
      serial.SetSettings(kLineSettings);
      opened = serial.SetPortOpen(true);
      if (opened) {
        if (serial.CommPort() == 1) {
          view.SetCaption(Control::Status, StatusLine(1));
          view.SetValue(Control::ComPort1, true);
        } else if (n >= 2 && n <= 8) {
          view.SetCaption(Control::Status, StatusLine(n));
          view.SetValue(ComPort(n), true);
        }
      }
    }
  } else {
    serial.SetCommPort(1);
    serial.SetSettings(kLineSettings);
    opened = serial.SetPortOpen(true);
    if (opened) view.SetCaption(Control::Status, StatusLine(1));
  }

  if (opened) {
    view.SetEnabled(Control::Browse, true);
    serial.SetInputMode(1);
    view.SetCaption(Control::portOpen, "Port Close");
    for (int n = 1; n <= 8; ++n) view.SetEnabled(ComPort(n), false);
    view.SetToolTip(Control::Status, "");
    return;
  }
  serial.SetCommPort(1);
  ShowPortClosed();
  view.SetToolTip(Control::Status, serial.LastError());
  view.MessageBox(kPortNotAvailable, "Error", Buttons::OK, Icon::Critical);
}

void Main::portOpen_Click() {
  if (!view.Enabled(Control::ComPort1)) {
    serial.SetPortOpen(false);
    ShowPortClosed();
    view.SetCaption(Control::Status, kPortClosed);
    view.SetToolTip(Control::Status, "");
    return;
  }

  for (int n = 1; n <= 8; ++n) {
    if (view.Value(ComPort(n))) {
      serial.SetCommPort(n);
      view.SetCaption(Control::Status, StatusLine(n));
      break;
    }
  }
  serial.SetSettings(kLineSettings);
  if (!serial.SetPortOpen(true)) {
    ShowPortClosed();
    view.SetCaption(Control::Status, kPortNotAvailable);
    view.SetToolTip(Control::Status, serial.LastError());
    return;
  }
  view.SetEnabled(Control::Browse, true);
  serial.SetInputMode(1);
  view.SetCaption(Control::portOpen, "Port Close");
  for (int n = 1; n <= 8; ++n) view.SetEnabled(ComPort(n), false);
  view.SetToolTip(Control::Status, "");
  SetFileReady(fileReady_);
  settings.Write(kAppName, kStartupSection, "ComPort", std::to_string(serial.CommPort()));
}

void Main::DownDot_Click() {
  for (Control c : {Control::SDXDot, Control::ProgramDot, Control::TemuDot}) view.SetEnabled(c, true);
  for (Control c : kTextBoxes) view.SetText(c, "");
  // A file chosen under the other mode is not used: Start waits for a new choice.
  chosenMode = 0;
  SetFileReady(false);
}

void Main::UpDot_Click() {
  for (Control c : {Control::SDXDot, Control::ProgramDot, Control::TemuDot}) view.SetEnabled(c, false);
  for (Control c : kTextBoxes) view.SetText(c, "");
  chosenMode = 0;
  SetFileReady(false);
}

void Main::ExitButton_Click() {
  StopFlag = true;
  view.SetEnabled(Control::ModeFrame, true);
  view.SetEnabled(Control::TypeFrame, true);
}

void Main::Timer1_Timer() { TimedOut = true; }

bool Main::DrainOutput() {
  auto deadline = clock.Now() + kDrainDeadline;
  while (serial.OutBufferCount() != 0) {
    view.PumpEvents(kDrainPump);
    if (clock.Now() > deadline) {
      switch (view.MessageBox(kDataCannotBeSent, "", Buttons::AbortRetryIgnore, Icon::Question)) {
        case Answer::Abort:
          return false;
        case Answer::Retry:
          deadline = clock.Now() + kDrainDeadline;
          break;
        default:
          return true;
      }
    }
  }
  return true;
}

void Main::ShutDownFiles() {
  files.CloseAll();
  for (const char* name : {kTempList, kTempContainer})
    if (files.Exists(name)) files.Delete(name);
  files.ClearError();
}

void Main::Form_Unload(bool& cancel) {
  if (transferRunning_) {
    // The transfer ends first, through its own Stop rules; the frame asks for the close
    // again when it is over, and only then are the port and the files closed.
    StopFlag = true;
    closePending_ = true;
    cancel = true;
    return;
  }
  if (serial.PortOpen()) {
    if (!DrainOutput()) {
      cancel = true;
      return;
    }
    serial.SetPortOpen(false);
  }
  ShutDownFiles();
}

void Main::Form_Terminate() {
  if (serial.PortOpen()) {
    if (!DrainOutput()) return;
    serial.SetPortOpen(false);
  }
  ShutDownFiles();
}

}  // namespace kelvane
