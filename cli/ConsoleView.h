#pragma once
// The window on the console: the controls are kept as state, message boxes are printed and
// answered, the file chooser returns the path given on the command line, and the event pump
// runs the Qt event loop (the serial object needs it) without widgets.

#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "app/MainView.h"
#include "cli/Events.h"
#include "transfer/ProgressMeter.h"

namespace kelvane {
class Main;
}

namespace kelvane::cli {

struct ConsoleOptions {
  bool force = false;          // the replace question is answered Yes (else Cancel)
  bool quiet = false;          // no progress line
  bool errIsTerminal = false;  // progress redrawn in place rather than a line a second
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  EventLog* events = nullptr;  // --json: events instead of the human lines
};

class ConsoleView final : public MainView {
 public:
  explicit ConsoleView(ConsoleOptions options);
  ~ConsoleView() override;

  // The window whose Timer1 ticks this view delivers (every 1000 ms).
  void Attach(Main& main);
  // What the chooser answers: this path once, then a cancel.
  void ChooseNext(const std::string& path) { choice_ = path; }
  // Runs after every pump: the console's own checks (signals, silence).
  std::function<void()> afterPump;

  std::string Text(Control c) const;
  std::string Caption(Control c) const;
  // A transfer begins: its first progress line is printed at once.
  void StartProgress();
  // Ends a progress line drawn in place, so that the next output starts on a new line.
  void EndProgressLine();
  // An error of the front end itself: "kelvane-cli: text" on standard error.
  void Error(const std::string& text);
  // A note on standard error (suppressed by --quiet).
  void Note(const std::string& text);

  void SetEnabled(Control c, bool enabled) override { enabled_[c] = enabled; }
  bool Enabled(Control c) const override;
  bool Value(Control c) const override;
  void SetValue(Control c, bool selected) override;
  void SetText(Control c, const std::string& text) override;
  void SetCaption(Control c, const std::string& caption) override { caption_[c] = caption; }
  void SetProgressMax(int) override {}
  void SetProgressValue(float) override {}
  void ShowTransferProgress(const TransferProgress& progress) override;
  Answer MessageBox(const std::string& text, const std::string& title, Buttons buttons,
                    Icon icon) override;
  ChooserResult ShowOpenDialog(const ChooserRequest& request) override;
  void PumpEvents(std::chrono::milliseconds maxWait) override;
  void CentreWindow() override {}
  void SetBusyPointer(bool) override {}
  void SetToolTip(Control, const std::string&) override {}
  void RequestClose() override {}

 private:
  Main* main_ = nullptr;
  static constexpr std::chrono::milliseconds kTick{1000};
  static constexpr std::chrono::seconds kLineInterval{1};  // progress lines when not a terminal
  static constexpr std::chrono::milliseconds kRedrawInterval{100};  // on a terminal
  static constexpr std::chrono::microseconds kBusyPumpInterval{200};

  ConsoleOptions opt_;
  std::map<Control, bool> enabled_, value_;
  std::map<Control, std::string> text_, caption_;
  std::string choice_;
  bool lineOpen_ = false;  // a progress line is drawn in place and not ended
  std::chrono::steady_clock::time_point lastLine_{};
  std::size_t lastWidth_ = 0;
  std::chrono::steady_clock::time_point lastPump_{};
  QTimer tick_;
  QTimer wake_;
};

}  // namespace kelvane::cli
