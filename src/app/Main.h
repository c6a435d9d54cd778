#pragma once
// The window Main: its state, shared by every handler, and the handlers themselves.
// The handlers are the only entries into the logic; the view calls them on its events.
// Browse_Click is in Browse.cpp, on the selection of files/Selection.h; the rest, the
// transfer frame included, in Main.cpp. A transfer runs as a Transfer that the window drives
// (Line_Readable, Timer1_Timer); Main keeps only the window's state.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/MainView.h"
#include "app/Messages.h"
#include "files/FileTable.h"
#include "files/SdxConversion.h"
#include "files/Selection.h"
#include "files/SettingsStore.h"
#include "serial/Devices.h"
#include "serial/SerialPort.h"
#include "timecode/Clock.h"
#include "transfer/Outcome.h"
#include "transfer/Transfer.h"

namespace kelvane {

class Main : private TransferEvents {
 public:
  Main(MainView& view, SerialPort& serial, SettingsStore& settings, FileTable& files, Clock& clock);
  ~Main() override;
  Main(const Main&) = delete;
  Main& operator=(const Main&) = delete;

  // Event handlers.
  void Form_Load();
  void Form_Unload(bool& cancel);
  void Form_Terminate();
  void portOpen_Click();
  void DownDot_Click();
  void UpDot_Click();
  void ProgramDot_Click();
  void SDXDot_Click();
  void TemuDot_Click();
  void Browse_Click();
  void Start_Click();
  void ExitButton_Click();
  // The 1-second tick: the running transfer acts on silence.
  void Timer1_Timer();
  // Bytes wait on the port: the running transfer takes them.
  void Line_Readable();

  // Window-level state.
  std::int16_t FileNum = 0;  // transfer file number, 0 = none
  std::string XferPath;      // file the next transfer uses ("satcodx.tm1" after SDX)
  std::string ChosenPath;    // the path as chosen in the file dialog
  bool StopFlag = false;     // Stop was asked of the running transfer

  // Sets an option button's Value; selecting a button that was not selected runs its
  // click handler, as a user's click does (the MODE and TYPE buttons have handlers).
  void SelectOption(Control c, bool selected);

  // Start as the file selection leaves it: remembered, so that a port that closes can
  // disable it and a port that opens can give it back.
  void SetFileReady(bool ready);
  // What XferPath was last chosen for (MODE and TYPE); None once a change of either asks
  // for a new choice, so that a cancelled chooser does not re-enable Start for the old one.
  FileKind chosenKind = FileKind::None;
  // The file dialog OpenLog keeps its title and filter between showings.
  ChooserRequest chooser;

  bool TransferRunning() const { return transferRunning_; }
  bool PortIsOpen() const { return !view_.Enabled(Control::ComPort1); }
  int CurrentMode() const { return view_.Value(Control::DownDot) ? 1 : 2; }
  FileKind CurrentKind() const;

  // What the last Start and the last Browse came to; the window has shown it already.
  const Outcome& LastTransfer() const { return lastTransfer_; }
  const Outcome& LastSelection() const { return lastSelection_; }

  // The upload's pause before each acknowledge, as timed at construction.
  std::chrono::microseconds AckPause() const { return ackPause_; }

  // Why the port is not open: the cause in the status line, all of detail in its tooltip.
  void ShowPortFailure(const std::string& detail);

  // The machine's serial devices: with none at all, the start-up box says how to attach one
  // and how to try the program without hardware.
  void SetDevices(const DeviceList* devices) { devices_ = devices; }

  // What the window waits on for received bytes during a transfer (-1: none; the serial
  // object then says so itself, see Line_Readable).
  std::intptr_t LineHandle() const { return serial_.ReadinessHandle(); }
  // When the running transfer's next read is due (see Transfer::ReadDue); until then the
  // line need not be watched.
  std::optional<TimePoint> LineReadDue() const {
    return transfer_ ? transfer_->ReadDue() : std::nullopt;
  }
  // How long after bytes come the running transfer's next read is worth making (see
  // Transfer::ReadAfterBytes).
  std::optional<std::chrono::steady_clock::duration> LineReadAfterBytes() const {
    return transfer_ ? transfer_->ReadAfterBytes() : std::nullopt;
  }
  // The bytes the next Line_Readable or Timer1_Timer reads began to come at `t`.
  void LineBytesCameAt(TimePoint t) {
    if (transfer_) transfer_->BytesCameAt(t);
  }
  // The line of the running transfer gives back what is sent.
  bool LineEchoing() const { return transfer_ && transfer_->Echoing(); }

 private:
  void OpenAtStartup(const std::string& stored);
  // DownDot and UpDot: the TYPE options follow the mode, and the chosen file is forgotten.
  void ModeChanged(bool download);
  // Either MODE or TYPE changed: the chosen file and its texts are forgotten.
  void ForgetChoice();
  // Shows the port as closed: the controls of the closed state, Start disabled.
  void ShowPortClosed();
  // The line was lost: closes the port and shows it closed, with the reason.
  void ShowLineLost();
  // Close-time drain, without pumping: waits on the port; false when the user chose Abort.
  bool DrainOutput();
  void ShutDownFiles();

  // The transfer frame: lock the window and record the choice, begin the exchange MODE and
  // TYPE pick; when it has ended, show its outcome, unlock the window, report a lost line.
  void BeginTransfer();
  void WriteChoice();
  std::optional<ExchangeKind> ChosenExchange() const;
  void FinishWhenDone();
  void TransferEnded(Outcome result);
  void EndTransfer();
  void ReportLostLine();

  // TransferEvents: what the running transfer tells the window.
  void WaitingForReceiver(std::optional<TimePoint> since) override;
  void UploadHeader(const UploadHeaderTexts& texts) override;
  void Progress(const ProgressReport& report) override;
  void LineEchoes() override;

  // The file selection's steps (Browse.cpp).
  Outcome ChooseFile();
  // New: no file of that name; Replace, Keep: the answer to the replace question.
  enum class Target { New, Replace, Keep };
  Outcome PrepareChosenFile(FileKind kind, Target target);

  MainView& view_;
  SerialPort& serial_;
  SettingsStore& settings_;
  FileTable& files_;
  Clock& clock_;
  const DeviceList* devices_ = nullptr;
  const std::chrono::microseconds ackPause_;  // the upload's, timed once here
  std::unique_ptr<Transfer> transfer_;

  bool fileReady_ = false;
  bool transferRunning_ = false;
  bool closePending_ = false;  // a close request came during a transfer
  bool statusShown_ = false;   // Status tells of the last transfer (an echo, a Temu end)
  Outcome lastTransfer_;
  Outcome lastSelection_;
};

// "COMn:115200,N,8,1" for port n.
std::string StatusLine(int port);

// A settings text as a number, as the readers compare it ("2" and "2.0" are 2); nullopt
// for a text that is not a number.
std::optional<double> SettingNumber(const std::string& text);

}  // namespace kelvane
