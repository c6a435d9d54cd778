#pragma once
// The view interface: everything the logic asks of the window. The real window
// (app/qt) implements it with widgets, the command-line front end on the console,
// and the tests with fakes.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "files/SettingsStore.h"  // kAppName, the title of an untitled box
#include "transfer/ProgressMeter.h"

namespace kelvane {

enum class Control {
  PortFrame,
  ComPort1,
  ComPort2,
  ComPort3,
  ComPort4,
  ComPort5,
  ComPort6,
  ComPort7,
  ComPort8,
  portOpen,
  ModeFrame,
  DownDot,
  UpDot,
  TypeFrame,
  ProgramDot,
  SDXDot,
  TemuDot,
  HWver,
  SWver,
  ModelID,
  File,
  Browse,
  Info,
  Start,
  ExitButton,
  Status,
};

// Port option button of port n (1 to 8).
constexpr Control ComPort(int n) {
  return static_cast<Control>(static_cast<int>(Control::ComPort1) + n - 1);
}

enum class Buttons { OK, YesNoCancel, AbortRetryIgnore };
enum class Icon { Critical, Exclamation, Question, Information };
enum class Answer { OK, Yes, No, Cancel, Abort, Retry, Ignore };

// What the open-file chooser is set to before it is shown. The filter is a list of
// label|pattern pairs separated by "|"; the first pair is preselected. The chooser
// accepts a typed name of an absent file and asks no overwrite question of its own.
struct ChooserRequest {
  std::string title;
  std::string filter;
  std::string initialName;
};

struct ChooserResult {
  enum class Outcome { Chosen, Cancelled, Failed } outcome = Outcome::Cancelled;
  std::string path;       // Chosen
  std::string errorText;  // Failed: the system's description
};

class MainView {
 public:
  virtual ~MainView() = default;

  // 1. Enabled. A disabled frame makes its buttons unusable without changing their own state.
  virtual void SetEnabled(Control c, bool enabled) = 0;
  virtual bool Enabled(Control c) const = 0;

  // 2. Value of an option button. SetValue only changes the selection (and deselects the
  //    rest of the group when true); Main::SelectOption runs the click handler on top.
  virtual bool Value(Control c) const = 0;
  virtual void SetValue(Control c, bool selected) = 0;

  // 3. and 4. Text of the text boxes, Caption of portOpen and Status.
  virtual void SetText(Control c, const std::string& text) = 0;
  virtual void SetCaption(Control c, const std::string& caption) = 0;

  // 5. Progress bar PBar.
  virtual void SetProgressMax(int max) = 0;
  virtual void SetProgressValue(float value) = 0;
  //    The same progress as numbers, with the rate and time left; shown after the size
  //    text and the bar value of each step.
  virtual void ShowTransferProgress(const TransferProgress& progress) { (void)progress; }
  //    A transfer waits for the receiver to speak first (a download for its ready byte or
  //    first request, an upload for its header) since `since` on the logic's clock;
  //    nullopt: the receiver has spoken. A Stop leaves the wait as it was.
  virtual void ShowWaitingForReceiver(std::optional<std::chrono::steady_clock::time_point> since) {
    (void)since;
  }
  //    A transfer ended by Stop after done of total bytes (no message box says so).
  virtual void ShowStopped(std::int64_t done, std::int64_t total) { (void)done, (void)total; }

  // 6. Modal message box; an empty title shows the application name.
  virtual Answer MessageBox(const std::string& text, const std::string& title, Buttons buttons,
                            Icon icon) = 0;
  //    The same box with an explanation under its text (which device, what is wrong, how to
  //    fix it). A view without room for it shows the box alone.
  virtual Answer ExplainedMessageBox(const std::string& text, const std::string& explanation,
                                     const std::string& title, Buttons buttons, Icon icon) {
    (void)explanation;
    return MessageBox(text, title, buttons, icon);
  }

  // 7. File dialog OpenLog.
  virtual ChooserResult ShowOpenDialog(const ChooserRequest& request) = 0;

  // 8. Pump events: run the pending window events (their handlers run inside this call).
  //    When none is pending it may wait up to maxWait for the next one (received bytes,
  //    the tick, user input), so that a poll loop does not spin a core.
  virtual void PumpEvents(std::chrono::milliseconds maxWait) = 0;

  // 9. Centre the window on the screen.
  virtual void CentreWindow() = 0;

  // Mouse pointer of the application: busy (hourglass) or default.
  virtual void SetBusyPointer(bool busy) = 0;

  // Tooltip of a control (the port buttons show the device they map to, Status the
  // detail of a failed open).
  virtual void SetToolTip(Control c, const std::string& tip) = 0;

  // Ask the window to close again once the running handler has returned (a close
  // requested during a transfer is completed after the transfer has ended).
  virtual void RequestClose() = 0;
};

}  // namespace kelvane
