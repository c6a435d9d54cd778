#include "cli/ConsoleView.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <initializer_list>
#include <optional>

#include "app/Main.h"

namespace kelvane::cli {

namespace {

constexpr Control kModeGroup[] = {Control::DownDot, Control::UpDot};
constexpr Control kTypeGroup[] = {Control::ProgramDot, Control::SDXDot, Control::TemuDot};

template <std::size_t N>
bool In(const Control (&group)[N], Control c) {
  for (Control g : group)
    if (g == c) return true;
  return false;
}

bool IsPortButton(Control c) {
  return static_cast<int>(c) >= static_cast<int>(Control::ComPort1) &&
         static_cast<int>(c) <= static_cast<int>(Control::ComPort8);
}

}  // namespace

ConsoleView::ConsoleView(ConsoleOptions options) : opt_(options) {
  // The window as designed, before start-up changes anything.
  for (Control c : {Control::Browse, Control::Start, Control::ExitButton}) enabled_[c] = false;
  value_[Control::ComPort1] = true;
  value_[Control::DownDot] = true;
  value_[Control::ProgramDot] = true;
  wake_.setSingleShot(true);
  tick_.setInterval(kTick);
}

ConsoleView::~ConsoleView() { EndProgressLine(); }

void ConsoleView::Attach(Main& main) {
  main_ = &main;
  QObject::connect(&tick_, &QTimer::timeout, [&main] { main.Timer1_Timer(); });
  tick_.start();
}

bool ConsoleView::Enabled(Control c) const {
  const auto it = enabled_.find(c);
  return it == enabled_.end() ? true : it->second;
}

bool ConsoleView::Value(Control c) const {
  const auto it = value_.find(c);
  return it != value_.end() && it->second;
}

void ConsoleView::SetValue(Control c, bool selected) {
  if (selected) {
    auto clear = [this, c](auto& group) {
      for (Control g : group) value_[g] = g == c;
    };
    if (In(kModeGroup, c))
      clear(kModeGroup);
    else if (In(kTypeGroup, c))
      clear(kTypeGroup);
    else if (IsPortButton(c))
      for (int n = 1; n <= 8; ++n) value_[ComPort(n)] = ComPort(n) == c;
  }
  value_[c] = selected;
}

std::string ConsoleView::Text(Control c) const {
  const auto it = text_.find(c);
  return it == text_.end() ? std::string() : it->second;
}

std::string ConsoleView::Caption(Control c) const {
  const auto it = caption_.find(c);
  return it == caption_.end() ? std::string() : it->second;
}

void ConsoleView::SetText(Control c, const std::string& text) {
  text_[c] = text;
  // The frame empties the size text when a transfer ends.
  if (c == Control::Info && text.empty()) EndProgressLine();
}

void ConsoleView::StartProgress() { lastLine_ = {}; }

void ConsoleView::ShowTransferProgress(const TransferProgress& progress) {
  const auto now = std::chrono::steady_clock::now();
  if (opt_.events) return opt_.events->Progress(progress, now);
  if (opt_.quiet) return;
  const std::string line = ProgressLine(progress);
  if (opt_.errIsTerminal) {
    if (lineOpen_ && now - lastLine_ < kRedrawInterval) return;
    lastLine_ = now;
    // Redraw in place; blanks cover what a longer line left behind.
    const std::size_t pad = lastWidth_ > line.size() ? lastWidth_ - line.size() : 0;
    std::fprintf(opt_.err, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
    std::fflush(opt_.err);
    lastWidth_ = line.size();
    lineOpen_ = true;
  } else if (lastLine_ == std::chrono::steady_clock::time_point{} ||
             now - lastLine_ >= kLineInterval) {
    std::fprintf(opt_.err, "%s\n", line.c_str());
    std::fflush(opt_.err);
    lastLine_ = now;
  }
}

void ConsoleView::EndProgressLine() {
  if (!lineOpen_) return;
  std::fputc('\n', opt_.err);
  std::fflush(opt_.err);
  lineOpen_ = false;
  lastWidth_ = 0;
}

void ConsoleView::Error(const std::string& text) {
  if (opt_.events) return opt_.events->Notice(text);
  EndProgressLine();
  std::fprintf(opt_.err, "kelvane-cli: %s\n", text.c_str());
  std::fflush(opt_.err);
}

void ConsoleView::Note(const std::string& text) {
  if (opt_.quiet || opt_.events) return;
  EndProgressLine();
  std::fprintf(opt_.err, "%s\n", text.c_str());
  std::fflush(opt_.err);
}

Answer ConsoleView::MessageBox(const std::string& text, const std::string&, Buttons buttons,
                               Icon icon) {
  // The only question is whether to replace an existing upload target: --force answers it,
  // and it is not asked, so it is not printed either.
  if (buttons == Buttons::YesNoCancel) return opt_.force ? Answer::Yes : Answer::Cancel;
  const bool errorIcon = icon == Icon::Critical || icon == Icon::Exclamation;
  if (opt_.events) {
    opt_.events->Message(text, errorIcon ? "error" : "info");
  } else {
    EndProgressLine();
    std::fprintf(opt_.out, "%s\n", text.c_str());
    std::fflush(opt_.out);
  }
  if (buttons == Buttons::AbortRetryIgnore) return Answer::Ignore;
  // An error box is also an error of the command. A file error's box (exclamation) holds the
  // system's reason alone: its line, with the file's path, comes from the outcome.
  if (icon == Icon::Critical && !opt_.events) {
    std::fprintf(opt_.err, "kelvane-cli: %s\n", text.c_str());
    std::fflush(opt_.err);
  }
  return Answer::OK;
}

ChooserResult ConsoleView::ShowOpenDialog(const ChooserRequest&) {
  ChooserResult r;
  if (choice_.empty()) return r;  // asked again: cancelled
  r.outcome = ChooserResult::Outcome::Chosen;
  r.path = choice_;
  choice_.clear();
  return r;
}

void ConsoleView::PumpEvents(std::chrono::milliseconds maxWait) {
  if (maxWait.count() <= 0) {
    // Called while bytes are waiting (by the upload's byte poll once in a few hundred bytes):
    // the events are run at most every kBusyPumpInterval, which is all they need, since the
    // bytes are already in the buffer.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastPump_ >= kBusyPumpInterval) {
      QCoreApplication::processEvents(QEventLoop::AllEvents);
      lastPump_ = now;
    }
  } else {
    // Sleep in the event loop until something happens (bytes, the tick) or maxWait passes;
    // the single-shot timer bounds the wait.
    wake_.start(maxWait);
    std::optional<QSocketNotifier> line;  // bytes or a hang-up on the line end it too
    if (const std::intptr_t h = main_ ? main_->LineHandle() : -1; h >= 0)
      line.emplace(static_cast<qintptr>(h), QSocketNotifier::Read);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    wake_.stop();
    lastPump_ = std::chrono::steady_clock::now();
  }
  if (afterPump) afterPump();
}

}  // namespace kelvane::cli
