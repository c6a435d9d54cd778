#pragma once
// The window Main on Qt widgets: every control at its place, in proportion to the window
// (sized for the screen and the font, and resizable), the three option groups, the 1000 ms
// tick, and the window's events handed to the handlers of Main. Around them the window's own
// helps: tooltips, Alt and Esc keys, focus that follows a transfer, a status line that says
// what a transfer waits for, a question before closing during one, and a desktop notice when
// a long one ends unseen.

#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/MainView.h"
#include "timecode/Clock.h"
#include "transfer/ProgressMeter.h"

class QButtonGroup;
class QProgressBar;

namespace kelvane {

class LineWatch;
class Main;
class SettingsStore;

class QtMainWindow final : public QWidget, public MainView {
  Q_OBJECT

 public:
  explicit QtMainWindow(QWidget* parent = nullptr);
  ~QtMainWindow() override;

  // The handlers the window's events go to. Until then events are dropped.
  void Attach(Main& main) { main_ = &main; }

  // Text of the tooltip of port button n, asked again each time it is shown.
  void SetPortDescriber(std::function<std::string(int port)> describe) {
    describePort_ = std::move(describe);
  }

  // Where the file dialog keeps the folder last used (section "Window"); none: not kept.
  void SetSettings(SettingsStore* settings) { settings_ = settings; }
  // The clock that times a transfer for the notice at its end; the machine's by default.
  void SetClock(Clock& clock) { clock_ = &clock; }

  // Bytes wait on the line (or it was lost): the running transfer takes them. Driven by a
  // notifier on Main::LineHandle() where the port has one, else by the serial object.
  void LineReadable();

  // Closes without the question asked when a transfer runs (a signal, a close requested
  // by the logic); the transfer is still stopped first.
  void CloseUnasked();

  // Test seams: when set, they stand in for the file dialog and the message boxes.
  using Chooser = std::function<ChooserResult(const ChooserRequest&)>;
  using Answerer =
      std::function<Answer(const std::string& text, const std::string& title, Buttons, Icon)>;
  void SetChooser(Chooser chooser) { chooser_ = std::move(chooser); }
  void SetAnswerer(Answerer answerer) { answerer_ = std::move(answerer); }
  // Stands in for the desktop's notification service.
  using Notifier =
      std::function<void(const QString& summary, const QString& body, const QString& icon)>;
  void SetNotifier(Notifier notifier) { notifier_ = std::move(notifier); }

  // A transfer that lasts longer than this and ends while the window is not active is
  // told to the desktop's notification service.
  static constexpr std::chrono::seconds kNoticeAfter{30};
  // A transfer that has heard nothing from the receiver for this long says so.
  static constexpr std::chrono::seconds kSilenceShown{5};

  // The status line's count of a wait or a silence, from the window's own timer during a
  // transfer (tests call it after moving the clock).
  void TickStatus();
  // What the status line shows: the logic's caption, then what a transfer waits for.
  QString StatusText() const;
  // The size at which the controls have the room they were designed with at the window's
  // font and the screen's resolution.
  QSize DesignSize() const;
  QWidget* Widget(Control c) const { return widgets_[Index(c)]; }
  // The caption of a button or the status line as the logic set it, without the marker of
  // the Alt key.
  QString Caption(Control c) const;
  QProgressBar* ProgressBar() const { return bar_; }

  // MainView.
  void SetEnabled(Control c, bool enabled) override;
  bool Enabled(Control c) const override;
  bool Value(Control c) const override;
  void SetValue(Control c, bool selected) override;
  void SetText(Control c, const std::string& text) override;
  void SetCaption(Control c, const std::string& caption) override;
  void SetProgressMax(int max) override;
  void SetProgressValue(float value) override;
  void ShowTransferProgress(const TransferProgress& progress) override;
  Answer MessageBox(const std::string& text, const std::string& title, Buttons buttons,
                    Icon icon) override;
  Answer ExplainedMessageBox(const std::string& text, const std::string& explanation,
                             const std::string& title, Buttons buttons, Icon icon) override;
  ChooserResult ShowOpenDialog(const ChooserRequest& request) override;
  void PumpEvents(std::chrono::milliseconds maxWait) override;
  void CentreWindow() override;
  void SetBusyPointer(bool busy) override;
  void SetToolTip(Control c, const std::string& tip) override;
  void RequestClose() override;
  // The title says what a transfer waits for and for how long, and, once a transfer has
  // been stopped, how far it got, until the next one starts.
  void ShowWaitingForReceiver(std::optional<std::chrono::steady_clock::time_point> since) override;
  void ShowStopped(std::int64_t done, std::int64_t total) override;

  // The name filters of the file dialog for a "label|pattern|..." filter list.
  static QStringList NameFilters(const std::string& filter);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Tells the transfer when the bytes it is about to read began to come, where the watch
  // noted it.
  void PassBytesTime(LineWatch* watch);
  void WatchLine();
  void ArmStatus();
  static constexpr std::chrono::milliseconds kTickInterval{1000};
  // A transfer's progress comes with every block (eleven a second on a 115200 line); the
  // window shows it at most this often, the latest at once when the last showing is that
  // old, else when it is. What else a block changes (the status line's silence) is immediate.
  static constexpr std::chrono::milliseconds kProgressInterval{1000};
  // How long after it is due the progress waits for a block to show it, before its timer does.
  static constexpr std::chrono::milliseconds kProgressWaitsForBlock{200};
  // Columns either side of the fill's end that a style draws from the value: its end lines
  // and rounding, besides the chunk a chunked bar ends on.
  static constexpr int kBarEdgeMargin = 4;
  static constexpr std::chrono::milliseconds kBusyPumpInterval{1};
  static constexpr std::size_t kControls = static_cast<std::size_t>(Control::Status) + 1;
  static std::size_t Index(Control c) { return static_cast<std::size_t>(c); }

  void Build();
  // Sizes the window for its screen: the design size where it fits, less where it does not.
  void FitToScreen();
  // Places every control in proportion to the window's size.
  void Relayout();
  void ShowStatus();
  QButtonGroup* GroupOf(Control c) const;
  void OnOptionToggled(Control c, bool checked);
  void FitPortCaptions();
  void OnTransferShown(bool running);
  void TellDesktop(const QString& summary, const QString& body);
  // The file, the port and the time the transfer took, for the notice at its end.
  QString TransferSummary() const;
  bool AskToStopAndClose();

  Main* main_ = nullptr;
  std::array<QWidget*, kControls> widgets_{};
  QProgressBar* bar_ = nullptr;
  void ShowWaitTitle();
  // The progress held back by kProgressInterval: shown when due, dropped when the title or
  // the texts are set otherwise (a wait, a Stop, the end of the transfer).
  void ProgressDue(bool showIfDue);
  void ShowPendingProgress();
  void ShowBarValue(int value);
  void DropPendingProgress();
  // Kept as it came and made into texts only when shown: eleven blocks a second, one shown.
  struct PendingProgress {
    std::optional<std::string> info;
    std::optional<TransferProgress> title;
    std::optional<int> bar;
  } pending_;
  QTimer progressTimer_;
  std::chrono::steady_clock::time_point progressShown_{};
  QString WaitText() const;  // what a transfer waits for, and for how long
  std::optional<std::chrono::steady_clock::time_point> waitingSince_;
  QString stoppedTitle_;  // empty: not stopped
  QButtonGroup* ports_ = nullptr;
  QButtonGroup* modes_ = nullptr;
  QButtonGroup* types_ = nullptr;
  QTimer timer1_;
  QTimer statusTimer_;  // runs during a transfer: the seconds of a wait or a silence
  QString statusCaption_;
  QString statusNote_;
  std::chrono::steady_clock::time_point lastHeard_{};  // the last progress of the transfer
  double twipPx_ = 96.0 / 1440;                        // pixels per twip at the design size
  std::unique_ptr<LineWatch> lineWatch_;               // while a transfer runs on a handle
  bool inLineHandler_ = false;  // the line is being read (a box opened meanwhile may be up)
  bool settingValue_ = false;   // SetValue runs: a selection change is not the user's click
  bool busy_ = false;
  std::chrono::steady_clock::time_point lastBusyPump_{};  // the last pump that did not wait
  std::function<std::string(int)> describePort_;
  Chooser chooser_;
  Answerer answerer_;
  Notifier notifier_;
  SettingsStore* settings_ = nullptr;
  SystemClock systemClock_;
  Clock* clock_ = &systemClock_;
  // Stop is usable only while a transfer runs: its enabling marks the start and the end.
  bool transferShown_ = false;
  std::chrono::steady_clock::time_point transferStart_{};
  bool noticeGiven_ = false;        // the end of this transfer was told to the desktop
  bool focusStartPending_ = false;  // a transfer ended while Start was still disabled
  bool askOnClose_ = true;
};

}  // namespace kelvane
