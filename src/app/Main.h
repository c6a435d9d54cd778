#pragma once
// The window Main: its state, shared by every handler, and the handlers themselves.
// The handlers are the only entries into the logic; the view calls them on its events.
// Browse_Click lives with the file selection (files/), Start_Click with the transfer
// frame (transfer/); the rest are defined in app/.

#include <cstdint>
#include <optional>
#include <string>

#include "app/Clock.h"
#include "app/MainView.h"
#include "app/SettingsStore.h"
#include "files/FileTable.h"
#include "serial/Link.h"
#include "serial/SerialPort.h"

namespace kelvane {

class Main {
 public:
  Main(MainView& view, SerialPort& serial, SettingsStore& settings, FileTable& files, Clock& clock);

  // Event handlers.
  void Form_Load();
  void Form_Unload(bool& cancel);
  void Form_Terminate();
  void portOpen_Click();
  void DownDot_Click();
  void UpDot_Click();
  void Browse_Click();
  void Start_Click();
  void ExitButton_Click();
  void Timer1_Timer();
  // The serial object reports that its open line was lost.
  void MSComm1_OnComm();

  // Window-level state.
  std::int16_t FileNum = 0;  // transfer file number, 0 = none
  std::string XferPath;      // file the next transfer uses ("satcodx.tm1" after SDX)
  std::string ChosenPath;    // the path as chosen in the file dialog
  bool StopFlag = false;     // asks the running transfer to stop
  bool TimedOut = false;     // set by every timer tick

  // Sets an option button's Value; selecting a button that was not selected runs its
  // click handler, as a user's click does (DownDot and UpDot have handlers).
  void SelectOption(Control c, bool selected);

  // Start as the file selection leaves it: remembered, so that a port that closes can
  // disable it and a port that opens can give it back.
  void SetFileReady(bool ready);
  // MODE under which XferPath was last chosen: 1 DownLoad, 2 UpLoad, 0 none (a mode change
  // clears it, so a cancelled chooser under the new mode does not re-enable Start).
  int chosenMode = 0;
  // The file dialog OpenLog keeps its title and filter between showings.
  ChooserRequest chooser;

  bool TransferRunning() const { return transferRunning_; }
  bool PortIsOpen() const { return !view.Enabled(Control::ComPort1); }
  int CurrentMode() const { return view.Value(Control::DownDot) ? 1 : 2; }

  // Shows the port as closed: the controls of the closed state, Start disabled.
  void ShowPortClosed();
  // The line was lost: closes the port and shows it closed, the reason in Status's tooltip.
  void ShowLineLost();

  MainView& view;
  SerialPort& serial;
  SettingsStore& settings;
  FileTable& files;
  Clock& clock;
  Link link;

  // Set by the transfer frame.
  bool transferRunning_ = false;
  bool closePending_ = false;  // a close request came during a transfer

 private:
  void OpenAtStartup(const std::string& stored);
  bool fileReady_ = false;
  // Close-time drain; returns false when the user chose Abort.
  bool DrainOutput();
  void ShutDownFiles();
};

// Message texts of the port and the window.
inline constexpr const char* kPortNotAvailable = "Serial Port is not available";
inline constexpr const char* kPortClosed = "Port Closed";
inline constexpr const char* kDataCannotBeSent = "Data cannot be sent";
inline constexpr const char* kTempList = "satcodx.tm0";
inline constexpr const char* kTempContainer = "satcodx.tm1";

// "COMn:115200,N,8,1" for port n.
std::string StatusLine(int port);

// A settings text as a number, as the readers compare it ("2" and "2.0" are 2); nullopt
// for a text that is not a number.
std::optional<double> SettingNumber(const std::string& text);

}  // namespace kelvane
