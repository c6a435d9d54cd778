#include "app/Main.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "serial/EchoWatch.h"
#include "transfer/Upload.h"

namespace kelvane {

namespace {

constexpr std::chrono::seconds kDrainDeadline{10};
constexpr std::chrono::milliseconds kDrainStep{20};
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
    : view_(v),
      serial_(s),
      settings_(st),
      files_(f),
      clock_(c),
      ackPause_(CountingLoopTime(c, kAckPauseRounds)) {}

Main::~Main() = default;

void Main::SelectOption(Control c, bool selected) {
  const bool was = view_.Value(c);
  view_.SetValue(c, selected);
  if (!selected || was) return;
  if (c == Control::DownDot) DownDot_Click();
  if (c == Control::UpDot) UpDot_Click();
  if (c == Control::ProgramDot) ProgramDot_Click();
  if (c == Control::SDXDot) SDXDot_Click();
  if (c == Control::TemuDot) TemuDot_Click();
}

void Main::SetFileReady(bool ready) {
  fileReady_ = ready;
  view_.SetEnabled(Control::Start, ready && PortIsOpen());
}

void Main::ShowPortClosed() {
  view_.SetCaption(Control::portOpen, "Port Open");
  for (int n = 1; n <= 8; ++n) view_.SetEnabled(ComPort(n), true);
  view_.SetEnabled(Control::Browse, false);
  // A transfer is never started on a closed port; opening it again gives Start back.
  view_.SetEnabled(Control::Start, false);
}

void Main::ShowPortFailure(const std::string& detail) {
  // The first line names the device and the cause; the tooltip adds what it means and the fix.
  const std::string cause = detail.substr(0, detail.find('\n'));
  view_.SetCaption(Control::Status,
                   cause.empty() ? kPortNotAvailable : kPortNotAvailable + (" \u2014 " + cause));
  view_.SetToolTip(Control::Status, detail);
}

void Main::ShowLineLost() {
  const std::string detail = serial_.LastError();
  serial_.SetPortOpen(false);
  ShowPortClosed();
  ShowPortFailure(detail);
}

void Main::Form_Load() {
  // The application name kAppName names the settings and titles untitled message boxes.
  const auto mode = settings_.Read(kAppName, kStartupSection, "Mode", "");
  const auto modeNum = SettingNumber(mode);
  if (mode.empty() || modeNum == 1.0) {
    SelectOption(Control::DownDot, true);
    view_.SetValue(Control::UpDot, false);
  } else if (modeNum == 2.0) {
    SelectOption(Control::UpDot, true);
    view_.SetValue(Control::DownDot, false);
  }

  const auto type = settings_.Read(kAppName, kStartupSection, "Type", "");
  const auto typeNum = SettingNumber(type);
  Control chosen = Control::Status;  // none
  if (type.empty() || typeNum == 1.0)
    chosen = Control::ProgramDot;
  else if (typeNum == 2.0)
    chosen = Control::SDXDot;
  else if (typeNum == 3.0)
    chosen = Control::TemuDot;
  if (chosen != Control::Status) {
    for (Control c : {Control::ProgramDot, Control::SDXDot, Control::TemuDot})
      view_.SetValue(c, c == chosen);
  }

  view_.SetText(Control::File, "");
  SetFileReady(false);
  view_.SetEnabled(Control::Browse, true);
  view_.CentreWindow();
  OpenAtStartup(settings_.Read(kAppName, kStartupSection, "ComPort", ""));
}

void Main::OpenAtStartup(const std::string& stored) {
  bool opened = false;
  if (!stored.empty()) {
    const auto num = SettingNumber(stored);
    const bool whole = num && *num == std::floor(*num) && *num >= 1 && *num <= 9999;
    for (int n = 1; n <= 8; ++n) view_.SetValue(ComPort(n), false);
    if (whole) {
      const int n = static_cast<int>(*num);
      serial_.SetCommPort(n);
      serial_.SetSettings(kLineSettings);
      opened = serial_.SetPortOpen(true);
      if (opened) {
        if (serial_.CommPort() == 1) {
          view_.SetCaption(Control::Status, StatusLine(1));
          view_.SetValue(Control::ComPort1, true);
        } else if (n >= 2 && n <= 8) {
          view_.SetCaption(Control::Status, StatusLine(n));
          view_.SetValue(ComPort(n), true);
        }
      }
    }
  } else {
    serial_.SetCommPort(1);
    serial_.SetSettings(kLineSettings);
    opened = serial_.SetPortOpen(true);
    if (opened) view_.SetCaption(Control::Status, StatusLine(1));
  }

  if (opened) {
    view_.SetEnabled(Control::Browse, true);
    serial_.SetInputMode(1);
    view_.SetCaption(Control::portOpen, "Port Close");
    for (int n = 1; n <= 8; ++n) view_.SetEnabled(ComPort(n), false);
    view_.SetToolTip(Control::Status, "");
    return;
  }
  serial_.SetCommPort(1);
  ShowPortClosed();
  Outcome failed = Outcome::Of(Outcome::Kind::PortUnavailable);
  failed.systemError = serial_.LastError();
  // A machine without any serial device: the box says how to attach one, and how to try
  // the program without hardware.
  if (devices_ && devices_->Devices().empty()) failed.systemError = kNoSerialDevice;
  ShowPortFailure(failed.systemError);
  ShowOutcome(view_, failed);
}

void Main::portOpen_Click() {
  if (!view_.Enabled(Control::ComPort1)) {
    serial_.SetPortOpen(false);
    ShowPortClosed();
    view_.SetCaption(Control::Status, kPortClosed);
    view_.SetToolTip(Control::Status, "");
    return;
  }

  view_.SetCaption(Control::Status, "");  // the reason of an earlier failure goes
  for (int n = 1; n <= 8; ++n) {
    if (view_.Value(ComPort(n))) {
      serial_.SetCommPort(n);
      view_.SetCaption(Control::Status, StatusLine(n));
      break;
    }
  }
  serial_.SetSettings(kLineSettings);
  if (!serial_.SetPortOpen(true)) {
    ShowPortClosed();
    ShowPortFailure(serial_.LastError());
    return;
  }
  view_.SetEnabled(Control::Browse, true);
  serial_.SetInputMode(1);
  view_.SetCaption(Control::portOpen, "Port Close");
  for (int n = 1; n <= 8; ++n) view_.SetEnabled(ComPort(n), false);
  view_.SetToolTip(Control::Status, "");
  SetFileReady(fileReady_);
  settings_.Write(kAppName, kStartupSection, "ComPort", std::to_string(serial_.CommPort()));
}

void Main::DownDot_Click() { ModeChanged(true); }

void Main::UpDot_Click() { ModeChanged(false); }

void Main::ModeChanged(bool download) {
  // TYPE means something only for a download.
  for (Control c : {Control::SDXDot, Control::ProgramDot, Control::TemuDot})
    view_.SetEnabled(c, download);
  ForgetChoice();
}

void Main::ProgramDot_Click() { ForgetChoice(); }

void Main::SDXDot_Click() { ForgetChoice(); }

void Main::TemuDot_Click() { ForgetChoice(); }

void Main::ForgetChoice() {
  for (Control c : kTextBoxes) view_.SetText(c, "");
  // A file chosen for another MODE or TYPE is not used: Start waits for a new choice.
  chosenKind = FileKind::None;
  SetFileReady(false);
}

void Main::ExitButton_Click() {
  StopFlag = true;
  view_.SetEnabled(Control::ModeFrame, true);
  view_.SetEnabled(Control::TypeFrame, true);
  if (transfer_) transfer_->Stop();
  FinishWhenDone();
}

void Main::Timer1_Timer() {
  if (transfer_) transfer_->OnTick();
  FinishWhenDone();
}

void Main::Line_Readable() {
  if (transfer_) transfer_->OnReadable();
  FinishWhenDone();
}

bool Main::DrainOutput() {
  auto deadline = clock_.Now() + kDrainDeadline;
  while (serial_.OutBufferCount() != 0) {
    serial_.WaitForSent(kDrainStep);
    if (clock_.Now() > deadline) {
      switch (view_.MessageBox(kDataCannotBeSent, "", Buttons::AbortRetryIgnore, Icon::Question)) {
        case Answer::Abort: return false;
        case Answer::Retry: deadline = clock_.Now() + kDrainDeadline; break;
        default: return true;
      }
    }
  }
  return true;
}

void Main::ShutDownFiles() {
  files_.CloseAll();
  for (const char* name : {kTempList, kTempContainer})
    if (files_.Exists(name)) files_.Delete(name);
  files_.ClearError();
}

void Main::Form_Unload(bool& cancel) {
  if (transferRunning_) {
    // The transfer ends first, through its own Stop rules; the frame asks for the close
    // again when it is over, and only then are the port and the files closed.
    closePending_ = true;
    cancel = true;
    ExitButton_Click();
    return;
  }
  if (serial_.PortOpen()) {
    if (!DrainOutput()) {
      cancel = true;
      return;
    }
    serial_.SetPortOpen(false);
  }
  ShutDownFiles();
}

void Main::Form_Terminate() {
  if (serial_.PortOpen()) {
    if (!DrainOutput()) return;
    serial_.SetPortOpen(false);
  }
  ShutDownFiles();
}

void Main::Start_Click() {
  // Start is usable only with a file ready and the port open; a click that comes anyway
  // (a port closed under an enabled Start, a second click) starts nothing.
  if (transferRunning_ || !serial_.PortOpen()) return;
  transferRunning_ = true;
  BeginTransfer();
  const std::optional<ExchangeKind> kind = ChosenExchange();
  if (!kind) return TransferEnded(Outcome::Of(Outcome::Kind::Nothing));
  if (*kind == ExchangeKind::Upload) view_.SetText(Control::File, XferPath);
  view_.SetProgressMax(100);
  // An SDX list goes out as the container file the selection built (XferPath).
  transfer_ =
      std::make_unique<Transfer>(serial_, files_, clock_, static_cast<TransferEvents&>(*this),
                                 TransferSetup{*kind, XferPath, ackPause_, FileNum});
  transfer_->Begin();
  FileNum = static_cast<std::int16_t>(transfer_->FileNumber());
  FinishWhenDone();
}

void Main::FinishWhenDone() {
  if (!transfer_ || !transfer_->Done()) return;
  // Kept until the handler that ended it has returned to here.
  const std::unique_ptr<Transfer> ended = std::move(transfer_);
  TransferEnded(ended->Result());
}

void Main::TransferEnded(Outcome result) {
  // Shown while the window is still locked, with the last progress in view. A Stop shows
  // no box; the view is told how far the transfer got.
  ShowOutcome(view_, result);
  if (result.kind == Outcome::Kind::Stopped && !serial_.Lost())
    view_.ShowStopped(result.done, result.total);
  if (result.kind == Outcome::Kind::TemuEnded) {
    statusShown_ = true;
    view_.SetCaption(Control::Status, TemuEndedText(result.served));
  }
  EndTransfer();
  result.lineLost = serial_.Lost();
  lastTransfer_ = result;
  if (result.lineLost) ReportLostLine();
  transferRunning_ = false;
  if (closePending_) {
    // The close asked for during the transfer stopped it; now it can run as usual.
    closePending_ = false;
    view_.RequestClose();
  }
}

void Main::WaitingForReceiver(std::optional<TimePoint> since) {
  view_.ShowWaitingForReceiver(since);
}

void Main::UploadHeader(const UploadHeaderTexts& texts) {
  view_.SetText(Control::HWver, texts.hw);
  view_.SetText(Control::SWver, texts.sw);
  view_.SetText(Control::ModelID, texts.model);
}

void Main::Progress(const ProgressReport& report) {
  view_.SetText(Control::Info, report.sizeText);
  view_.SetProgressValue(report.barValue);
  view_.ShowTransferProgress(report.progress);
}

void Main::LineEchoes() {
  // Said in the status line, where it stays until the next transfer.
  statusShown_ = true;
  view_.SetCaption(Control::Status, kLineEchoes);
}

void Main::WriteChoice() {
  SettingsStore::Values values{{"Mode", view_.Value(Control::DownDot) ? "1" : "2"}};
  // The TYPE options keep their value while UpLoad disables them; that value is recorded.
  // The window always has one of them selected; with none, the remembered type is kept.
  const char* type = view_.Value(Control::ProgramDot) ? "1"
                     : view_.Value(Control::SDXDot)   ? "2"
                     : view_.Value(Control::TemuDot)  ? "3"
                                                      : nullptr;
  if (type) values.emplace_back("Type", type);
  values.emplace_back("FileName", ChosenPath);
  settings_.WriteAll(kAppName, kStartupSection, values);
}

std::optional<ExchangeKind> Main::ChosenExchange() const {
  // UpLoad reads the image back whatever TYPE was last used for downloads.
  if (!view_.Value(Control::DownDot)) return ExchangeKind::Upload;
  if (view_.Value(Control::ProgramDot) || view_.Value(Control::SDXDot))
    return ExchangeKind::ProgramDownload;
  if (view_.Value(Control::TemuDot)) return ExchangeKind::TemuDownload;
  return std::nullopt;
}

// Locks the window (only Stop stays usable), clears StopFlag and writes "Mode", "Type" and
// "FileName".
void Main::BeginTransfer() {
  if (statusShown_) {
    statusShown_ = false;
    view_.SetCaption(Control::Status, StatusLine(serial_.CommPort()));
  }
  view_.SetEnabled(Control::ModeFrame, false);
  view_.SetEnabled(Control::TypeFrame, false);
  StopFlag = false;
  view_.SetEnabled(Control::Start, false);
  view_.SetEnabled(Control::Browse, false);
  view_.SetEnabled(Control::File, false);
  view_.SetEnabled(Control::ExitButton, true);
  view_.SetEnabled(Control::portOpen, false);
  WriteChoice();
}

// Closes the transfer file (FileNum back to 0) and unlocks the window: Start, Browse, File
// and the port button enabled, Stop disabled, the size text and the bar cleared.
void Main::EndTransfer() {
  if (FileNum != 0 && files_.IsOpen(FileNum)) files_.Close(FileNum);
  FileNum = 0;
  // Start comes back only for a file ready under the mode selected now: a mode changed
  // after Stop (the mode buttons are usable again then) asks for a new choice.
  SetFileReady(fileReady_);
  view_.SetEnabled(Control::Browse, true);
  view_.SetEnabled(Control::File, true);
  view_.SetEnabled(Control::ExitButton, false);
  view_.SetEnabled(Control::portOpen, true);
  view_.SetText(Control::Info, "");
  view_.SetProgressValue(0);
  view_.SetEnabled(Control::ModeFrame, true);
  view_.SetEnabled(Control::TypeFrame, true);
}

// The line failed under the transfer: close the port, show the window as with a closed port
// (Start comes back when the port is opened again) and say so once.
void Main::ReportLostLine() {
  const std::string detail = serial_.LastError();
  ShowLineLost();
  Outcome lost = Outcome::Of(Outcome::Kind::PortUnavailable);
  lost.systemError = detail;
  ShowOutcome(view_, lost);
}

}  // namespace kelvane
