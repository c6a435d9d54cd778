#include "app/qt/QtMainWindow.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QThread>
#include <optional>

#include "app/Main.h"
#include "app/qt/DesktopNotice.h"
#include "app/qt/LineWatch.h"
#include "files/SettingsStore.h"

namespace kelvane {

namespace {

enum class Kind { Frame, Option, Push, Text, Label };

struct Layout {
  Control control;
  const char* name;
  Kind kind;
  std::optional<Control> inside;  // the frame that holds it; none: the window
  const char* caption;
  int left, top, width, height;  // twips, relative to the frame or the window
  int tab;                       // tab order; 0: none
};

// The controls of the window, as designed. The File box is read-only like the other text
// boxes: the logic never reads a typed path back, so an editable box would mislead.
// clang-format off
constexpr Layout kLayout[] = {
    {Control::PortFrame, "PortFrame", Kind::Frame, {}, "Serial Port", 6000, 120, 1935, 2055, 18},
    {Control::ComPort1, "ComPort1", Kind::Option, Control::PortFrame, "Com 1", 120, 240, 855, 255, 19},
    {Control::ComPort2, "ComPort2", Kind::Option, Control::PortFrame, "Com 2", 960, 240, 855, 255, 20},
    {Control::ComPort3, "ComPort3", Kind::Option, Control::PortFrame, "Com 3", 120, 720, 855, 255, 21},
    {Control::ComPort4, "ComPort4", Kind::Option, Control::PortFrame, "Com 4", 960, 720, 855, 255, 22},
    {Control::ComPort5, "ComPort5", Kind::Option, Control::PortFrame, "Com 5", 120, 1200, 975, 255, 23},
    {Control::ComPort6, "ComPort6", Kind::Option, Control::PortFrame, "Com 6", 960, 1200, 855, 255, 24},
    {Control::ComPort7, "ComPort7", Kind::Option, Control::PortFrame, "Com 7", 120, 1680, 975, 255, 25},
    {Control::ComPort8, "ComPort8", Kind::Option, Control::PortFrame, "Com 8", 960, 1680, 855, 255, 26},
    {Control::portOpen, "portOpen", Kind::Push, {}, "Port Close", 3720, 5040, 1215, 495, 17},
    {Control::ModeFrame, "ModeFrame", Kind::Frame, {}, "MODE", 3840, 120, 1935, 855, 11},
    {Control::DownDot, "DownDot", Kind::Option, Control::ModeFrame, "DownLoad", 240, 240, 1215, 255, 13},
    {Control::UpDot, "UpDot", Kind::Option, Control::ModeFrame, "UpLoad", 240, 480, 1215, 255, 12},
    {Control::TypeFrame, "TypeFrame", Kind::Frame, {}, "TYPE", 3840, 1080, 1935, 1095, 10},
    {Control::ProgramDot, "ProgramDot", Kind::Option, Control::TypeFrame, "Prog, Data", 240, 240, 1335, 195, 14},
    {Control::SDXDot, "SDXDot", Kind::Option, Control::TypeFrame, "SDX", 240, 480, 1335, 195, 15},
    {Control::TemuDot, "TemuDot", Kind::Option, Control::TypeFrame, "Temu", 240, 720, 1335, 195, 16},
    {Control::HWver, "HWver", Kind::Text, {}, "", 240, 1560, 1935, 495, 6},
    {Control::SWver, "SWver", Kind::Text, {}, "", 240, 2040, 2535, 495, 7},
    {Control::ModelID, "ModelID", Kind::Text, {}, "", 240, 2520, 5295, 495, 8},
    {Control::File, "File", Kind::Text, {}, "", 360, 3240, 5775, 375, 1},
    {Control::Browse, "Browse", Kind::Push, {}, "Browse", 6600, 3120, 1215, 495, 2},
    {Control::Info, "Info", Kind::Text, {}, "", 6360, 3840, 1455, 270, 9},
    {Control::Start, "Start", Kind::Push, {}, "Start", 5160, 5040, 1215, 495, 3},
    {Control::ExitButton, "ExitButton", Kind::Push, {}, "Stop", 6600, 5040, 1215, 495, 4},
    // Wider than the window: cut off at its right edge, a status bar.
    {Control::Status, "Status", Kind::Label, {}, "", 0, 5640, 9615, 375, 5},
};
// clang-format on
constexpr int kClientWidth = 8235, kClientHeight = 6015;
constexpr double kFontPoints = 8;
// The line of the 8-point face the layout was drawn for (the height of a TYPE button): a
// face with taller lines makes every control larger in proportion.
constexpr double kFontLineTwips = 195;
// The window may be made this much smaller than its design size (or a screen asks for it):
// the rows of option buttons then still keep their lines apart.
constexpr double kSmallestShare = 0.85;
constexpr int kFrameAllowance = 8;  // pixels of the window manager's frame on each side
constexpr std::chrono::milliseconds kStatusInterval{250};
constexpr int kBarLeft = 360, kBarTop = 4320, kBarWidth = 7455, kBarHeight = 255;

// The letter each push button is reached by with Alt. The logic sets the captions; the
// window marks the letter where it shows them.
constexpr struct {
  Control control;
  char letter;
} kMnemonics[] = {{Control::Browse, 'B'},
                  {Control::Start, 'S'},
                  {Control::ExitButton, 't'},
                  {Control::portOpen, 'P'}};

// One line each on what a control does or shows. The port buttons name their device and
// the status line the detail of a failed open: the logic sets those.
constexpr struct {
  Control control;
  const char* tip;
} kToolTips[] = {
    {Control::portOpen, "Open or close the chosen serial port"},
    {Control::DownDot, "Send a file to the receiver"},
    {Control::UpDot, "Read the receiver's program image into a file"},
    {Control::ProgramDot, "A program image (.bin, .sgn)"},
    {Control::SDXDot, "A channel list in SDX format, repacked before it is sent"},
    {Control::TemuDot, "A conditional-access file, served as the receiver asks for it"},
    {Control::HWver, "Hardware version the image is made for"},
    {Control::SWver, "Software version of the image"},
    {Control::ModelID, "Receiver model the image is made for"},
    {Control::File, "The file the next transfer sends or writes"},
    {Control::Browse, "Choose the file to send, or the file an upload writes"},
    {Control::Info, "Kilobytes done and in all during a transfer"},
    {Control::Start, "Start the transfer"},
    {Control::ExitButton, "Stop the running transfer (Esc)"},
};

constexpr const char* kWaitingForReceiver = "waiting for the receiver — switch it on or restart it";
constexpr const char* kStopAndClose = "A transfer is running. Stop it and close?";
constexpr const char* kWindowSection = "Window";
constexpr const char* kLastFolderKey = "LastFolder";
constexpr int kPortCaptionGap = 4;  // pixels kept clear before the next port button

const char* DefaultToolTip(Control c) {
  for (const auto& t : kToolTips)
    if (t.control == c) return t.tip;
  return "";
}

constexpr bool EnabledAtDesign(Control c) {
  return c != Control::Browse && c != Control::Start && c != Control::ExitButton;
}

// Texts reach the window as bytes: UTF-8 where they are (paths), else one character per byte.
QString ToQt(const std::string& text) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString s = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (!utf8.hasError()) return s;
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The caption with its Alt letter marked (its first occurrence) and any ampersand of its
// own shown as one.
QString WithMnemonic(Control c, const QString& caption) {
  QString out = caption;
  out.replace('&', "&&");
  for (const auto& m : kMnemonics) {
    if (m.control != c) continue;
    const qsizetype at = caption.indexOf(QLatin1Char(m.letter));
    if (at < 0) break;
    out.insert(at + caption.left(at).count('&'), '&');
  }
  return out;
}

}  // namespace

QtMainWindow::QtMainWindow(QWidget* parent) : QWidget(parent) {
  Build();
  connect(&timer1_, &QTimer::timeout, this, [this] {
    ShowWaitTitle();  // how long a wait has lasted, to the second
    if (!main_) return;
    if (inLineHandler_) return main_->Timer1_Timer();  // inside a box the line handler opened
    // The tick reads the line too, and may end the transfer with a box: the line is not
    // watched while that box is up (see LineReadable).
    LineWatch* const watch = lineWatch_.get();
    inLineHandler_ = true;
    PassBytesTime(watch);
    main_->Timer1_Timer();
    inLineHandler_ = false;
    if (watch && watch == lineWatch_.get()) WatchLine();
  });
  timer1_.start(kTickInterval);
  statusTimer_.setSingleShot(true);
  connect(&statusTimer_, &QTimer::timeout, this, [this] {
    TickStatus();
    ArmStatus();
  });
  progressTimer_.setSingleShot(true);
  connect(&progressTimer_, &QTimer::timeout, this, &QtMainWindow::ShowPendingProgress);
}

QtMainWindow::~QtMainWindow() { SetBusyPointer(false); }

void QtMainWindow::Build() {
  setWindowTitle(kAppName);
  setObjectName("Main");
  // The layout was drawn for a small 8-point face: a larger one cuts the port captions.
  QFont small = font();
  small.setPointSizeF(kFontPoints);
  setFont(small);
  // Pixels per twip: as the screen's resolution gives them, or more where the face's lines
  // are taller than the ones the layout was drawn for.
  const QScreen* shown = screen();
  const double dpi = shown ? std::max(96.0, shown->logicalDotsPerInch()) : 96.0;
  twipPx_ = std::max(dpi / 1440.0, fontMetrics().height() / kFontLineTwips);
  // Frames as drawn for this layout: the caption sits on the border line, so the buttons
  // placed just below it are clear of both; radio captions sit close to their circles.
  setStyleSheet(
      "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.6em; }"
      "QGroupBox::title { subcontrol-origin: margin; left: 6px; padding: 0 2px; }"
      "QRadioButton { spacing: 3px; }");

  ports_ = new QButtonGroup(this);
  modes_ = new QButtonGroup(this);
  types_ = new QButtonGroup(this);

  std::vector<const Layout*> byTab;
  for (const Layout& l : kLayout) {
    QWidget* parent = l.inside ? Widget(*l.inside) : this;
    QWidget* w = nullptr;
    switch (l.kind) {
      case Kind::Frame: w = new QGroupBox(l.caption, parent); break;
      case Kind::Option: {
        auto* b = new QRadioButton(l.caption, parent);
        QButtonGroup* g = l.inside == Control::PortFrame   ? ports_
                          : l.inside == Control::ModeFrame ? modes_
                                                           : types_;
        g->addButton(b);
        if (g != ports_)
          connect(b, &QAbstractButton::toggled, this,
                  [this, c = l.control](bool on) { OnOptionToggled(c, on); });
        if (g == ports_) b->installEventFilter(this);
        w = b;
        break;
      }
      case Kind::Push: w = new QPushButton(WithMnemonic(l.control, l.caption), parent); break;
      case Kind::Text: {
        auto* e = new QLineEdit(parent);
        e->setReadOnly(true);
        e->installEventFilter(this);
        w = e;
        break;
      }
      case Kind::Label: {
        auto* label = new QLabel(parent);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setWordWrap(true);  // a long reason takes the second line it has room for
        label->setIndent(static_cast<int>(60 * twipPx_ + 0.5));
        w = label;
        break;
      }
    }
    w->setObjectName(l.name);
    w->setEnabled(EnabledAtDesign(l.control));
    widgets_[Index(l.control)] = w;
    // Frames and the status line take no focus: chaining them would move their children.
    if (l.tab > 0 && (w->focusPolicy() & Qt::TabFocus)) byTab.push_back(&l);
  }

  bar_ = new QProgressBar(this);
  bar_->setObjectName("PBar");
  bar_->setRange(0, 100);
  bar_->setValue(0);
  bar_->setTextVisible(false);

  for (const auto& t : kToolTips) Widget(t.control)->setToolTip(t.tip);
  resize(DesignSize());
  FitToScreen();
  Relayout();

  std::sort(byTab.begin(), byTab.end(),
            [](const Layout* a, const Layout* b) { return a->tab < b->tab; });
  for (std::size_t i = 1; i < byTab.size(); ++i)
    QWidget::setTabOrder(Widget(byTab[i - 1]->control), Widget(byTab[i]->control));

  for (Control c : {Control::ComPort1, Control::DownDot, Control::ProgramDot})
    static_cast<QAbstractButton*>(Widget(c))->setChecked(true);

  connect(static_cast<QPushButton*>(Widget(Control::portOpen)), &QPushButton::clicked, this,
          [this] {
            if (main_) main_->portOpen_Click();
          });
  connect(static_cast<QPushButton*>(Widget(Control::Browse)), &QPushButton::clicked, this, [this] {
    if (main_) main_->Browse_Click();
  });
  connect(static_cast<QPushButton*>(Widget(Control::Start)), &QPushButton::clicked, this, [this] {
    if (main_) main_->Start_Click();
  });
  connect(static_cast<QPushButton*>(Widget(Control::ExitButton)), &QPushButton::clicked, this,
          [this] {
            if (main_) main_->ExitButton_Click();
          });
  // Esc presses Stop while it is usable, that is while a transfer runs.
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, [this] {
    auto* stop = static_cast<QPushButton*>(Widget(Control::ExitButton));
    if (stop->isEnabled()) stop->click();
  });
}

QSize QtMainWindow::DesignSize() const {
  return {static_cast<int>(kClientWidth * twipPx_ + 0.5),
          static_cast<int>(kClientHeight * twipPx_ + 0.5)};
}

void QtMainWindow::FitToScreen() {
  QSize size = DesignSize();
  QSize smallest(static_cast<int>(size.width() * kSmallestShare),
                 static_cast<int>(size.height() * kSmallestShare));
  if (const QScreen* s = screen()) {
    // What the screen leaves beside panels, less the frame and title bar the window
    // manager adds.
    const QRect area = s->availableGeometry();
    const QSize room(area.width() - 2 * kFrameAllowance,
                     area.height() - 2 * kFrameAllowance - 2 * fontMetrics().height());
    size = size.boundedTo(room);
    smallest = smallest.boundedTo(size);
  }
  setMinimumSize(smallest);
  resize(size);
}

void QtMainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Relayout();
}

void QtMainWindow::Relayout() {
  if (!bar_) return;  // not built yet
  // Every place of the table, scaled to the window in both directions; a control inside a
  // frame is placed relative to it, so the frames scale with their contents.
  const double sx = width() / static_cast<double>(kClientWidth);
  const double sy = height() / static_cast<double>(kClientHeight);
  auto place = [sx, sy](int left, int top, int w, int h) {
    const int x = static_cast<int>(left * sx + 0.5), y = static_cast<int>(top * sy + 0.5);
    return QRect(x, y, static_cast<int>((left + w) * sx + 0.5) - x,
                 static_cast<int>((top + h) * sy + 0.5) - y);
  };
  for (const Layout& l : kLayout) {
    QWidget* w = Widget(l.control);
    QRect r = place(l.left, l.top, l.width, l.height);
    if (l.kind == Kind::Option && w->sizeHint().height() > r.height()) {
      // Keep a button that needs more room than designed centred on its designed line.
      const int more = w->sizeHint().height() - r.height();
      r.adjust(0, -more / 2, 0, more - more / 2);
    }
    // The status line was drawn past the window's right edge: it ends at the edge.
    if (l.control == Control::Status) r.setRight(width() - 1);
    w->setGeometry(r);
  }
  bar_->setGeometry(place(kBarLeft, kBarTop, kBarWidth, kBarHeight));
  FitPortCaptions();
}

void QtMainWindow::FitPortCaptions() {
  // The port buttons of the left column were drawn wider than the gap to the circle of
  // their neighbour: at a face wider than the one they were drawn for, "Com 1" ran into it.
  // Each button keeps its place and ends short of the next one; where its caption does not
  // fit in what is left, the captions of all eight are set in a narrower face.
  std::vector<std::pair<QRadioButton*, int>> room;  // button, pixels it may use
  for (int n = 1; n <= 8; ++n) {
    auto* b = static_cast<QRadioButton*>(Widget(ComPort(n)));
    int right = b->parentWidget()->contentsRect().right();
    for (int m = 1; m <= 8; ++m) {
      const QWidget* other = Widget(ComPort(m));
      const bool sameRow = other->geometry().top() == b->geometry().top();
      if (m != n && sameRow && other->x() > b->x())
        right = std::min(right, other->x() - kPortCaptionGap);
    }
    const int width = std::min(b->width(), right - b->x());
    b->resize(width, b->height());
    room.emplace_back(b, width);
  }
  // A button's own size hint says what its circle, spacing and caption need at a face.
  auto fits = [&room](const QFont& f) {
    for (auto [b, width] : room) {
      b->setFont(f);
      if (b->sizeHint().width() > width) return false;
    }
    return true;
  };
  QFont face = font();  // the window's: a larger window may need no narrower one
  for (int stretch = QFont::Unstretched; !fits(face) && stretch > 85; stretch -= 5)
    face.setStretch(stretch - 5);
  for (double points = face.pointSizeF(); !fits(face) && points > 6; points -= 0.25)
    face.setPointSizeF(points - 0.25);
}

void QtMainWindow::LineReadable() {
  if (!main_) return;
  LineWatch* const watch = lineWatch_.get();
  if (inLineHandler_) {
    // Fired again inside a box the handler opened (how the transfer ended): not watched
    // until the handler returns, so that a line that hung up, readable for ever, does not
    // spin meanwhile and the handler is not entered twice.
    if (watch) watch->Pause();
    return;
  }
  inLineHandler_ = true;
  PassBytesTime(watch);
  main_->Line_Readable();
  inLineHandler_ = false;
  if (watch && watch == lineWatch_.get()) WatchLine();
}

void QtMainWindow::PassBytesTime(LineWatch* watch) {
  // The watch dates bytes on the system's steady clock; the transfer reads its own.
  const auto came = watch ? watch->TakeBytesTime() : std::nullopt;
  if (came) main_->LineBytesCameAt(clock_->Now() - (std::chrono::steady_clock::now() - *came));
}

void QtMainWindow::WatchLine() {
  // Watched as bytes come, or not before the rest of a block under way is due, or, between
  // such blocks, not before the next one's rest is due from when its first bytes come.
  const auto due = main_ ? main_->LineReadDue() : std::nullopt;
  if (due)
    return lineWatch_->At(
        std::chrono::duration_cast<std::chrono::nanoseconds>(*due - clock_->Now()));
  if (const auto after = main_ ? main_->LineReadAfterBytes() : std::nullopt)
    return lineWatch_->AfterBytes(std::chrono::duration_cast<std::chrono::nanoseconds>(*after));
  lineWatch_->At(std::nullopt);
}

void QtMainWindow::OnTransferShown(bool running) {
  transferShown_ = running;
  // The transfer takes the line's bytes as they come, whatever dialog is open meanwhile.
  if (lineWatch_) {  // this may run inside its own signal
    lineWatch_->Pause();
    lineWatch_.release()->deleteLater();
  }
  if (running && main_ && main_->LineHandle() >= 0) {
    lineWatch_ = std::make_unique<LineWatch>(main_->LineHandle());
    connect(lineWatch_.get(), &LineWatch::Fired, this, &QtMainWindow::LineReadable);
  }
  auto* start = Widget(Control::Start);
  waitingSince_.reset();
  statusNote_.clear();
  ShowStatus();
  if (running) {
    stoppedTitle_.clear();
    setWindowTitle(kAppName);
    transferStart_ = lastHeard_ = clock_->Now();
    ArmStatus();
    noticeGiven_ = false;
    focusStartPending_ = false;
    Widget(Control::ExitButton)->setFocus(Qt::OtherFocusReason);
    return;
  }
  statusTimer_.stop();
  // Start comes back with the rest of the window; the line may have been lost, and then it
  // gets the focus when the port is opened again.
  if (start->isEnabled())
    start->setFocus(Qt::OtherFocusReason);
  else
    focusStartPending_ = true;
  if (!noticeGiven_ && clock_->Now() - transferStart_ > kNoticeAfter && !isActiveWindow()) {
    // No verdict was shown (a Stop): the title says how it ended.
    TellDesktop(QString(kAppName), windowTitle());
  }
}

QString QtMainWindow::TransferSummary() const {
  QString text = QFileInfo(static_cast<QLineEdit*>(Widget(Control::File))->text()).fileName();
  for (int n = 1; n <= 8; ++n) {
    if (!Value(ComPort(n))) continue;
    text += (text.isEmpty() ? "" : " on ") + QStringLiteral("Com %1").arg(n);
    break;
  }
  const double took = std::chrono::duration<double>(clock_->Now() - transferStart_).count();
  return text + (text.isEmpty() ? "" : " ") + "in " + ToQt(Duration(took));
}

void QtMainWindow::TellDesktop(const QString& summary, const QString& body) {
  noticeGiven_ = true;
  const QString told = body + "\n" + TransferSummary();
  // The icon of the desktop entry, which the icon theme knows by the entry's name.
  const QString icon = QGuiApplication::desktopFileName();
  if (notifier_)
    notifier_(summary, told, icon);
  else
    NotifyDesktop(summary, told, icon);
}

QString QtMainWindow::Caption(Control c) const {
  QString text;
  if (auto* b = qobject_cast<QAbstractButton*>(Widget(c)))
    text = b->text();
  else if (c == Control::Status)
    return statusCaption_;
  QString out;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;  // "&x" shows x, "&&" one ampersand
    out += text[i];
  }
  return out;
}

void QtMainWindow::OnOptionToggled(Control c, bool checked) {
  // Only a selection by the user runs the handler; the logic runs it itself after SetValue.
  if (!checked || settingValue_ || !main_) return;
  switch (c) {
    case Control::DownDot: main_->DownDot_Click(); break;
    case Control::UpDot: main_->UpDot_Click(); break;
    case Control::ProgramDot: main_->ProgramDot_Click(); break;
    case Control::SDXDot: main_->SDXDot_Click(); break;
    case Control::TemuDot: main_->TemuDot_Click(); break;
    default: break;
  }
}

QButtonGroup* QtMainWindow::GroupOf(Control c) const {
  auto* b = qobject_cast<QAbstractButton*>(Widget(c));
  return b ? b->group() : nullptr;
}

void QtMainWindow::SetEnabled(Control c, bool enabled) {
  Widget(c)->setEnabled(enabled);
  if (c == Control::ExitButton && enabled != transferShown_) OnTransferShown(enabled);
  if (c == Control::Start && enabled && focusStartPending_) {
    focusStartPending_ = false;
    Widget(c)->setFocus(Qt::OtherFocusReason);
  }
}

bool QtMainWindow::Enabled(Control c) const {
  // The control's own state: a disabled frame leaves its buttons' own state as it was.
  return !Widget(c)->testAttribute(Qt::WA_ForceDisabled);
}

bool QtMainWindow::Value(Control c) const {
  auto* b = qobject_cast<QAbstractButton*>(Widget(c));
  return b && b->isChecked();
}

void QtMainWindow::SetValue(Control c, bool selected) {
  auto* b = qobject_cast<QAbstractButton*>(Widget(c));
  if (!b || b->isChecked() == selected) return;
  settingValue_ = true;
  QButtonGroup* g = GroupOf(c);
  if (selected || !g) {
    b->setChecked(selected);
  } else {
    // An exclusive group refuses to deselect its selected button; the logic may leave a
    // group with none selected (no port at start-up when the stored one failed).
    g->setExclusive(false);
    b->setChecked(false);
    g->setExclusive(true);
  }
  settingValue_ = false;
}

void QtMainWindow::SetText(Control c, const std::string& text) {
  auto* e = qobject_cast<QLineEdit*>(Widget(c));
  if (!e) return;
  if (c == Control::Info && !text.empty() && transferShown_) {
    pending_.info = text;
    return ProgressDue(false);
  }
  if (c == Control::Info) DropPendingProgress();
  // The model text of an image is NUL-padded: show it up to its first NUL.
  e->setText(ToQt(c == Control::ModelID ? text.substr(0, text.find('\0')) : text));
  // An empty size text ends the transfer: the title and the tooltip lose its progress (a
  // stopped transfer's title stays until the next one starts).
  if (c == Control::Info && text.empty()) {
    setWindowTitle(stoppedTitle_.isEmpty() ? QString(kAppName) : stoppedTitle_);
    e->setToolTip(DefaultToolTip(c));
  }
}

void QtMainWindow::ShowTransferProgress(const TransferProgress& progress) {
  // Percentage, rate and time left of the running transfer, in the title and the size
  // text's tooltip.
  waitingSince_.reset();  // data moves: the progress takes the title
  lastHeard_ = clock_->Now();
  TickStatus();
  pending_.title = progress;
  ProgressDue(true);
}

void QtMainWindow::ProgressDue(bool showIfDue) {
  // The size text and the bar come just before the line of the same block: that line shows
  // them all together, once they are due. The timer is for the last block before the line
  // falls silent; while blocks come, it never wakes the window on its own.
  const auto due = progressShown_ + kProgressInterval;
  const auto now = clock_->Now();
  if (showIfDue && now >= due) return ShowPendingProgress();
  if (!progressTimer_.isActive())
    progressTimer_.start(
        std::max(std::chrono::milliseconds(0),
                 std::chrono::ceil<std::chrono::milliseconds>(due + kProgressWaitsForBlock - now)));
}

void QtMainWindow::ShowPendingProgress() {
  progressTimer_.stop();
  progressShown_ = clock_->Now();
  if (pending_.info) static_cast<QLineEdit*>(Widget(Control::Info))->setText(ToQt(*pending_.info));
  if (pending_.bar) ShowBarValue(*pending_.bar);
  if (pending_.title) {
    const QString line = ToQt(ProgressLine(*pending_.title)).simplified();
    setWindowTitle(QStringLiteral("%1 - %2").arg(kAppName, line));
    Widget(Control::Info)->setToolTip(line);
  }
  pending_ = {};
}

void QtMainWindow::ShowBarValue(int value) {
  // Only the columns around the old and the new end of the fill change: they are painted,
  // with the texts, and not the whole bar. setValue would repaint all of it at once, and
  // setUpdatesEnabled(true) would ask for all of it again. The attribute it sets is set here
  // directly instead: the bar has no children for it to reach as well.
  QStyleOptionProgressBar option;
  option.initFrom(bar_);
  option.minimum = bar_->minimum();
  option.maximum = bar_->maximum();
  const QStyle* style = bar_->style();
  const QRect contents = style->subElementRect(QStyle::SE_ProgressBarContents, &option, bar_);
  const auto edge = [&](int v) {
    const double span = std::max(1, option.maximum - option.minimum);
    return contents.left() + static_cast<int>(contents.width() * ((v - option.minimum) / span));
  };
  const int before = edge(bar_->value());
  bar_->setAttribute(Qt::WA_UpdatesDisabled, true);
  bar_->setValue(value);
  bar_->setAttribute(Qt::WA_UpdatesDisabled, false);
  const int after = edge(bar_->value());
  if (before == after) return;
  const int margin =
      kBarEdgeMargin +
      std::max(0, style->pixelMetric(QStyle::PM_ProgressBarChunkWidth, &option, bar_));
  QRect changed(std::min(before, after) - margin, 0, std::abs(after - before) + 2 * margin,
                bar_->height());
  if (option.direction == Qt::RightToLeft)  // the fill grows from the right
    changed.moveLeft(bar_->width() - changed.left() - changed.width());
  bar_->update(changed);
}

void QtMainWindow::DropPendingProgress() {
  progressTimer_.stop();
  pending_ = {};
}

void QtMainWindow::ShowWaitingForReceiver(
    std::optional<std::chrono::steady_clock::time_point> since) {
  if (since) DropPendingProgress();
  waitingSince_ = since;
  if (since) {
    ShowWaitTitle();
    if (statusTimer_.remainingTime() > kStatusInterval.count()) ArmStatus();
  } else {
    setWindowTitle(kAppName);
    lastHeard_ = clock_->Now();  // the receiver has spoken
  }
  TickStatus();
}

void QtMainWindow::TickStatus() {
  QString note;
  const auto now = clock_->Now();
  if (waitingSince_) {
    ShowWaitTitle();
    note = WaitText();
  } else if (transferShown_ && now - lastHeard_ >= kSilenceShown) {
    const auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - lastHeard_);
    note = QStringLiteral("no answer from the receiver for %1 s").arg(silent.count());
  }
  if (note == statusNote_) return;
  statusNote_ = note;
  ShowStatus();
}

void QtMainWindow::ArmStatus() {
  // The note changes with the seconds of a wait, or once a silence is long enough to be
  // shown and then with its seconds: the timer comes then, not with every block.
  if (!transferShown_) return statusTimer_.stop();
  const auto silent = clock_->Now() - lastHeard_;
  statusTimer_.start(waitingSince_ || silent >= kSilenceShown
                         ? kStatusInterval
                         : std::chrono::ceil<std::chrono::milliseconds>(kSilenceShown - silent));
}

QString QtMainWindow::StatusText() const {
  if (statusNote_.isEmpty()) return statusCaption_;
  if (statusCaption_.isEmpty()) return statusNote_;
  return statusCaption_ + "    " + statusNote_;
}

void QtMainWindow::ShowStatus() {
  static_cast<QLabel*>(Widget(Control::Status))->setText(StatusText());
}

QString QtMainWindow::WaitText() const {
  const double waited = std::chrono::duration<double>(clock_->Now() - *waitingSince_).count();
  return QStringLiteral("%1 (%2)").arg(kWaitingForReceiver, ToQt(Duration(waited)));
}

void QtMainWindow::ShowWaitTitle() {
  if (!waitingSince_) return;
  const QString title = QStringLiteral("%1 - %2").arg(kAppName, WaitText());
  if (title != windowTitle()) setWindowTitle(title);
}

void QtMainWindow::ShowStopped(std::int64_t done, std::int64_t total) {
  DropPendingProgress();
  QString how;
  if (waitingSince_) {
    const double waited = std::chrono::duration<double>(clock_->Now() - *waitingSince_).count();
    how = QStringLiteral("stopped after waiting %1 for the receiver").arg(ToQt(Duration(waited)));
  } else if (total > 0) {
    const double percent =
        std::clamp(static_cast<double>(done) * 100.0 / static_cast<double>(total), 0.0, 100.0);
    how = QStringLiteral("stopped at %1 % (%2)")
              .arg(percent, 0, 'f', 1)
              .arg(ToQt(SizeText(done, total)));
  } else {
    how = QStringLiteral("stopped");
  }
  waitingSince_.reset();
  stoppedTitle_ = QStringLiteral("%1 - %2").arg(kAppName, how);
  setWindowTitle(stoppedTitle_);
}

void QtMainWindow::SetCaption(Control c, const std::string& caption) {
  if (auto* b = qobject_cast<QAbstractButton*>(Widget(c)))
    b->setText(WithMnemonic(c, ToQt(caption)));
  else if (c == Control::Status) {
    statusCaption_ = ToQt(caption);
    ShowStatus();
  }
}

void QtMainWindow::SetProgressMax(int max) { bar_->setMaximum(std::max(1, max)); }

void QtMainWindow::SetProgressValue(float value) {
  // QProgressBar ignores a value outside its range; the bar shows the nearest end instead.
  const int v = std::clamp(static_cast<int>(value), bar_->minimum(), bar_->maximum());
  if (transferShown_ && v != 0) {
    pending_.bar = v;
    return ProgressDue(false);
  }
  pending_.bar.reset();
  bar_->setValue(v);
}

Answer QtMainWindow::MessageBox(const std::string& text, const std::string& title, Buttons buttons,
                                Icon icon) {
  return ExplainedMessageBox(text, "", title, buttons, icon);
}

Answer QtMainWindow::ExplainedMessageBox(const std::string& text, const std::string& explanation,
                                         const std::string& title, Buttons buttons, Icon icon) {
  // The box stands over the latest progress.
  if (pending_.info || pending_.bar || pending_.title) ShowPendingProgress();
  // A box at the end of a long transfer carries its verdict: told to the desktop too when
  // nobody is looking at the window.
  if (transferShown_ && !noticeGiven_ && clock_->Now() - transferStart_ > kNoticeAfter &&
      !isActiveWindow())
    TellDesktop(title.empty() ? QString(kAppName) : ToQt(title), ToQt(text));
  if (answerer_) return answerer_(text, title, buttons, icon);
  QMessageBox::Icon qicon = QMessageBox::Information;
  switch (icon) {
    case Icon::Critical: qicon = QMessageBox::Critical; break;
    case Icon::Exclamation: qicon = QMessageBox::Warning; break;
    case Icon::Question: qicon = QMessageBox::Question; break;
    case Icon::Information: qicon = QMessageBox::Information; break;
  }
  QMessageBox::StandardButtons set = QMessageBox::Ok;
  QMessageBox::StandardButton first = QMessageBox::Ok;
  Answer fallback = Answer::OK;  // the box closed without a button
  if (buttons == Buttons::YesNoCancel) {
    set = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    first = QMessageBox::Yes;
    fallback = Answer::Cancel;
  } else if (buttons == Buttons::AbortRetryIgnore) {
    set = QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
    first = QMessageBox::Abort;
    fallback = Answer::Abort;
  }
  QMessageBox box(qicon, title.empty() ? QString(kAppName) : ToQt(title), ToQt(text), set, this);
  box.setDefaultButton(first);
  // The fixed text stays the box's text; the explanation is its informative text.
  if (!explanation.empty()) box.setInformativeText(ToQt(explanation));
  switch (box.exec()) {
    case QMessageBox::Ok: return Answer::OK;
    case QMessageBox::Yes: return Answer::Yes;
    case QMessageBox::No: return Answer::No;
    case QMessageBox::Cancel: return Answer::Cancel;
    case QMessageBox::Abort: return Answer::Abort;
    case QMessageBox::Retry: return Answer::Retry;
    case QMessageBox::Ignore: return Answer::Ignore;
    default: return fallback;
  }
}

QStringList QtMainWindow::NameFilters(const std::string& filter) {
  const QStringList parts = ToQt(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString label = parts[i].trimmed();
    // "*.*" means every file; here it would ask for a dot in the name.
    QString pattern = parts[i + 1].trimmed().replace(';', ' ');
    if (pattern == "*.*") pattern = "*";
    // The label names its pattern in parentheses already: show the pattern used instead.
    const qsizetype open = label.lastIndexOf('(');
    if (open > 0 && label.endsWith(')')) label = label.left(open).trimmed();
    out << QStringLiteral("%1 (%2)").arg(label, pattern);
  }
  return out;
}

ChooserResult QtMainWindow::ShowOpenDialog(const ChooserRequest& request) {
  if (chooser_) return chooser_(request);
  // The desktop's own dialog where the platform offers one. An upload names the file it
  // will write: the desktop's save dialog takes a typed name; the replace question is the
  // logic's own.
  QFileDialog dialog(this, ToQt(request.title));
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.setAcceptMode(Value(Control::UpDot) ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);  // a typed name of an absent file is accepted
  const QStringList filters = NameFilters(request.filter);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.first());
  }
  // It opens in the folder last used; the file the logic names is preselected when it is
  // there (a first run: the logic's file and its folder).
  QString folder =
      settings_ ? ToQt(settings_->Read(kAppName, kWindowSection, kLastFolderKey, "")) : QString();
  if (!folder.isEmpty() && !QFileInfo(folder).isDir()) folder.clear();
  if (!request.initialName.empty()) {
    const QFileInfo initial(ToQt(request.initialName));
    if (folder.isEmpty()) folder = initial.absolutePath();
    dialog.setDirectory(folder);
    if (QDir(initial.absolutePath()) == QDir(folder)) dialog.selectFile(initial.fileName());
  } else if (!folder.isEmpty()) {
    dialog.setDirectory(folder);
  }
  ChooserResult result;
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return result;
  result.outcome = ChooserResult::Outcome::Chosen;
  const QString chosen = dialog.selectedFiles().first();
  result.path = chosen.toStdString();
  if (settings_)
    settings_->Write(kAppName, kWindowSection, kLastFolderKey,
                     QFileInfo(chosen).absolutePath().toStdString());
  return result;
}

void QtMainWindow::PumpEvents(std::chrono::milliseconds maxWait) {
  QAbstractEventDispatcher* dispatcher = QThread::currentThread()->eventDispatcher();
  if (!dispatcher) return;
  if (maxWait <= std::chrono::milliseconds::zero()) {
    // Asked for while bytes wait to be read (up to once every few hundred bytes): the events
    // run at most every kBusyPumpInterval, which is all they need, since the bytes are
    // already in the buffer; Stop, the tick and a close request still wait no longer than that.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastBusyPump_ < kBusyPumpInterval) return;
    lastBusyPump_ = now;
    dispatcher->processEvents(QEventLoop::AllEvents);
    return;
  }
  if (dispatcher->processEvents(QEventLoop::AllEvents)) return;
  // Nothing was pending: sleep until the next event (bytes on the port, the tick, input) or
  // until maxWait has passed, whichever comes first.
  // The timer is the pump's own, so a pump nested in a handler cannot cut the outer wait.
  QTimer wake;
  wake.setSingleShot(true);
  wake.start(maxWait);
  // Bytes or a hang-up on the line end the wait too; watched only while waiting, so that an
  // unread line never wakes the window while it is idle.
  std::optional<QSocketNotifier> line;
  if (const std::intptr_t h = main_ ? main_->LineHandle() : -1; h >= 0)
    line.emplace(static_cast<qintptr>(h), QSocketNotifier::Read);
  dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void QtMainWindow::CentreWindow() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->geometry();
  move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
}

void QtMainWindow::SetBusyPointer(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (busy)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

void QtMainWindow::SetToolTip(Control c, const std::string& tip) {
  Widget(c)->setToolTip(ToQt(tip));
}

void QtMainWindow::RequestClose() { QTimer::singleShot(0, this, &QtMainWindow::CloseUnasked); }

void QtMainWindow::CloseUnasked() {
  askOnClose_ = false;
  close();
  askOnClose_ = true;
}

bool QtMainWindow::AskToStopAndClose() {
  // The seam has no Yes/No set of its own: anything but Yes keeps the window.
  if (answerer_)
    return answerer_(kStopAndClose, "", Buttons::YesNoCancel, Icon::Question) == Answer::Yes;
  return QMessageBox::question(this, kAppName, kStopAndClose, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
  if (askOnClose_ && main_ && main_->TransferRunning() && !AskToStopAndClose()) {
    event->ignore();
    return;
  }
  bool cancel = false;
  if (main_) main_->Form_Unload(cancel);
  if (cancel)
    event->ignore();
  else
    event->accept();
}

bool QtMainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn) {
    // A box entered by Tab, or handed the focus when the focused button is disabled at the
    // start of a transfer, shows its text without selecting all of it.
    if (auto* edit = qobject_cast<QLineEdit*>(watched))
      QMetaObject::invokeMethod(edit, &QLineEdit::deselect, Qt::QueuedConnection);
  }
  if (event->type() == QEvent::ToolTip && describePort_) {
    for (int n = 1; n <= 8; ++n) {
      if (watched == Widget(ComPort(n))) {
        // Listed again at each showing: adapters come and go.
        Widget(ComPort(n))->setToolTip(ToQt(describePort_(n)));
        break;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace kelvane
