#pragma once
// The window Main on Qt widgets: every control at its place, the three option groups, the
// 1000 ms tick, and the window's events handed to the handlers of Main.

#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>

#include "app/MainView.h"
#include "transfer/ProgressMeter.h"

class QButtonGroup;
class QProgressBar;

namespace kelvane {

class Main;

class QtMainWindow final : public QWidget, public MainView {
  Q_OBJECT

 public:
  explicit QtMainWindow(QWidget* parent = nullptr);
  ~QtMainWindow() override;

  // The handlers the window's events go to. Until then events are dropped.
  void Attach(Main& main) { main_ = &main; }

  // Text of the tooltip of port button n, asked again each time it is shown.
  void SetPortDescriber(std::function<std::string(int port)> describe) { describePort_ = std::move(describe); }

  // Test seams: when set, they stand in for the file dialog and the message boxes.
  using Chooser = std::function<ChooserResult(const ChooserRequest&)>;
  using Answerer = std::function<Answer(const std::string& text, const std::string& title, Buttons, Icon)>;
  void SetChooser(Chooser chooser) { chooser_ = std::move(chooser); }
  void SetAnswerer(Answerer answerer) { answerer_ = std::move(answerer); }

  QWidget* Widget(Control c) const { return widgets_[Index(c)]; }
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
  Answer MessageBox(const std::string& text, const std::string& title, Buttons buttons, Icon icon) override;
  Answer ExplainedMessageBox(const std::string& text, const std::string& explanation, const std::string& title,
                             Buttons buttons, Icon icon) override;
  ChooserResult ShowOpenDialog(const ChooserRequest& request) override;
  void PumpEvents(std::chrono::milliseconds maxWait) override;
  void CentreWindow() override;
  void SetBusyPointer(bool busy) override;
  void SetToolTip(Control c, const std::string& tip) override;
  void RequestClose() override;

  // The name filters of the file dialog for a "label|pattern|..." filter list.
  static QStringList NameFilters(const std::string& filter);

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  static constexpr std::chrono::milliseconds kTickInterval{1000};
  static constexpr std::size_t kControls = static_cast<std::size_t>(Control::Status) + 1;
  static std::size_t Index(Control c) { return static_cast<std::size_t>(c); }

  void Build();
  int Px(int twips) const;
  QButtonGroup* GroupOf(Control c) const;
  void OnModeToggled(Control c, bool checked);

  Main* main_ = nullptr;
  std::array<QWidget*, kControls> widgets_{};
  QProgressBar* bar_ = nullptr;
  QButtonGroup* ports_ = nullptr;
  QButtonGroup* modes_ = nullptr;
  QButtonGroup* types_ = nullptr;
  QTimer timer1_;
  double dpi_ = 96;
  bool settingValue_ = false;  // SetValue runs: a selection change is not the user's click
  bool busy_ = false;
  std::function<std::string(int)> describePort_;
  Chooser chooser_;
  Answerer answerer_;
};

}  // namespace kelvane
