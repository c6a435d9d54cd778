#include "app/qt/QtMainWindow.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include "app/Clock.h"
#include "app/Main.h"
#include "app/qt/QtSettingsStore.h"
#include "app/qt/QtTestApp.h"
#include "files/FileTable.h"
#include "serial/qt/QtSerialPort.h"
#include "support/Pty.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

// The real window, serial object and settings (in a throwaway INI file), as the program
// wires them; message boxes are answered through the seam.
struct Window {
  Window() {
    window.Attach(main);
    window.SetAnswerer([this](const std::string& text, const std::string& title, Buttons b, Icon i) {
      shown.push_back(text + "|" + title + "|" + std::to_string(int(b)) + "|" + std::to_string(int(i)));
      return Answer::OK;
    });
  }
  void Map(int n, const std::string& device) { settings.Write(kAppName, "Ports", "COM" + std::to_string(n), device); }
  QAbstractButton* Button(Control c) const { return qobject_cast<QAbstractButton*>(window.Widget(c)); }
  QString Text(Control c) const { return window.Widget(c)->property("text").toString(); }
  // What the user can press: the control and every frame around it enabled.
  void ExpectUsable(std::initializer_list<Control> controls, bool usable) const {
    for (Control c : controls) EXPECT_EQ(window.Widget(c)->isEnabled(), usable) << window.Widget(c)->objectName().toStdString();
  }

  QApplication& app = TestApp();  // before any widget
  QTemporaryDir dir;
  QtSettingsStore settings{dir.filePath("kelvane.ini")};
  QtSerialPort serial{settings};
  DiskFileTable files;
  SystemClock clock;
  QtMainWindow window;
  Main main{window, serial, settings, files, clock};
  std::vector<std::string> shown;  // "text|title|buttons|icon"
  Pty pty;
};

const std::initializer_list<Control> kPorts = {Control::ComPort1, Control::ComPort2, Control::ComPort3,
                                               Control::ComPort4, Control::ComPort5, Control::ComPort6,
                                               Control::ComPort7, Control::ComPort8};

TEST(Window, CaptionsFramesTabOrderAndTheDesignState) {
  Window w;
  EXPECT_EQ(w.window.windowTitle(), "Kelvane");
  const std::tuple<Control, QString, QString> buttons[] = {
      {Control::ComPort1, "Com 1", "PortFrame"},     {Control::ComPort8, "Com 8", "PortFrame"},
      {Control::DownDot, "DownLoad", "ModeFrame"},   {Control::UpDot, "UpLoad", "ModeFrame"},
      {Control::ProgramDot, "Prog, Data", "TypeFrame"}, {Control::SDXDot, "SDX", "TypeFrame"},
      {Control::TemuDot, "Temu", "TypeFrame"},       {Control::portOpen, "Port Close", "Main"},
      {Control::Browse, "Browse", "Main"},           {Control::Start, "Start", "Main"},
      {Control::ExitButton, "Stop", "Main"}};
  for (const auto& [c, caption, frame] : buttons) {
    EXPECT_EQ(w.Button(c)->text(), caption);
    EXPECT_EQ(w.window.Widget(c)->parentWidget()->objectName(), frame) << caption.toStdString();
  }
  for (auto [c, title] : {std::pair{Control::PortFrame, "Serial Port"}, {Control::ModeFrame, "MODE"}, {Control::TypeFrame, "TYPE"}})
    EXPECT_EQ(qobject_cast<QGroupBox*>(w.window.Widget(c))->title(), title);
  for (Control c : {Control::HWver, Control::SWver, Control::ModelID, Control::File, Control::Info})
    EXPECT_TRUE(qobject_cast<QLineEdit*>(w.window.Widget(c))->isReadOnly());
  // At design: the first button of each group selected, Browse, Start and Stop disabled.
  for (Control c : {Control::ComPort1, Control::DownDot, Control::ProgramDot}) EXPECT_TRUE(w.window.Value(c));
  for (Control c : {Control::ComPort2, Control::UpDot, Control::SDXDot}) EXPECT_FALSE(w.window.Value(c));
  for (Control c : {Control::Browse, Control::Start, Control::ExitButton}) EXPECT_FALSE(w.window.Enabled(c));

  const std::vector<QString> tabOrder = {"File",     "Browse",   "Start",    "ExitButton", "HWver",    "SWver",
                                         "ModelID",  "Info",     "UpDot",    "DownDot",    "ProgramDot", "SDXDot",
                                         "TemuDot",  "portOpen", "ComPort1", "ComPort2",   "ComPort3", "ComPort4",
                                         "ComPort5", "ComPort6", "ComPort7", "ComPort8"};
  std::vector<QString> chain;
  QWidget* at = w.window.Widget(Control::File);
  do {
    if (at->focusPolicy() & Qt::TabFocus) chain.push_back(at->objectName());
    at = at->nextInFocusChain();
  } while (at != w.window.Widget(Control::File) && chain.size() < 40);
  EXPECT_EQ(chain, tabOrder);
}

TEST(Window, OptionGroupsAreExclusiveIndependentAndCanBeLeftWithNoneSelected) {
  Window w;
  w.window.SetValue(Control::ComPort3, true);
  w.window.SetValue(Control::ComPort3, false);
  for (Control c : kPorts) EXPECT_FALSE(w.window.Value(c));
  w.Button(Control::ComPort5)->click();  // exclusive again for the user
  w.Button(Control::ComPort6)->click();
  for (Control c : kPorts) EXPECT_EQ(w.window.Value(c), c == Control::ComPort6);
  w.window.SetValue(Control::TemuDot, true);
  EXPECT_TRUE(w.window.Value(Control::DownDot));
  EXPECT_FALSE(w.window.Value(Control::ProgramDot));
}

TEST(Window, EnablingFollowsThePortAndTheModeAsTheUserSeesIt) {
  {
    Window w;  // a stored port that fails at start: said once, every port left usable and unselected
    w.settings.Write(kAppName, "Startup", "ComPort", "3");
    w.Map(3, w.dir.filePath("gone").toStdString());
    w.main.Form_Load();
    EXPECT_EQ(w.shown, (std::vector<std::string>{"Serial Port is not available|Error|" +
                                                 std::to_string(int(Buttons::OK)) + "|" + std::to_string(int(Icon::Critical))}));
    w.ExpectUsable(kPorts, true);
    for (Control c : kPorts) EXPECT_FALSE(w.window.Value(c));
    w.ExpectUsable({Control::Browse, Control::Start}, false);
    EXPECT_EQ(w.Text(Control::portOpen), "Port Open");
    EXPECT_EQ(w.Text(Control::Status), "");
    EXPECT_NE(w.window.Widget(Control::Status)->toolTip().indexOf("gone"), -1);  // the detail waits there
  }
  Window w;
  w.Map(1, w.pty.slave);
  w.settings.Write(kAppName, "Startup", "Mode", "2");
  w.main.Form_Load();
  EXPECT_TRUE(w.shown.empty());
  EXPECT_EQ(w.Text(Control::Status), "COM1:115200,N,8,1");
  EXPECT_TRUE(w.window.Value(Control::UpDot));
  w.ExpectUsable(kPorts, false);
  w.ExpectUsable({Control::TemuDot, Control::SDXDot}, false);
  w.ExpectUsable({Control::Browse}, true);

  w.Button(Control::portOpen)->click();
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_EQ(w.Text(Control::Status), "Port Closed");
  EXPECT_EQ(w.Text(Control::portOpen), "Port Open");
  w.ExpectUsable(kPorts, true);
  w.ExpectUsable({Control::Browse}, false);
  w.Button(Control::portOpen)->click();
  EXPECT_TRUE(w.serial.PortOpen());
  EXPECT_EQ(w.settings.Read(kAppName, "Startup", "ComPort", ""), "1");

  // A mode change by the user asks for the file again; one made by the logic, or a click on
  // the mode already selected, runs no handler.
  w.window.SetText(Control::File, "image.bin");
  w.Button(Control::DownDot)->click();
  EXPECT_EQ(w.Text(Control::File), "");
  w.ExpectUsable({Control::ProgramDot, Control::SDXDot, Control::TemuDot}, true);
  w.window.SetText(Control::File, "image.bin");
  w.Button(Control::DownDot)->click();
  w.window.SetValue(Control::UpDot, true);
  EXPECT_EQ(w.Text(Control::File), "image.bin");
  EXPECT_TRUE(w.window.Enabled(Control::SDXDot));

  w.window.close();  // closing the window closes the port
  EXPECT_FALSE(w.serial.PortOpen());
}

TEST(Window, ADisabledFrameKeepsItsButtonsOwnState) {
  Window w;
  w.window.SetEnabled(Control::SDXDot, false);
  w.window.SetEnabled(Control::TypeFrame, false);
  w.ExpectUsable({Control::ProgramDot}, false);
  EXPECT_TRUE(w.window.Enabled(Control::ProgramDot));
  EXPECT_FALSE(w.window.Enabled(Control::SDXDot));
  w.window.SetEnabled(Control::TypeFrame, true);
  w.ExpectUsable({Control::ProgramDot}, true);
  w.ExpectUsable({Control::SDXDot}, false);
  w.window.SetEnabled(Control::PortFrame, false);  // the port counts as closed by ComPort1's own state
  EXPECT_TRUE(w.window.Enabled(Control::ComPort1));
  EXPECT_FALSE(w.main.PortIsOpen());
}

// Answers the next modal dialog, of type Dialog, with `answer` once it shows.
template <class Dialog, class F>
void OnModal(F answer) {
  QTimer::singleShot(0, [answer] {
    auto* d = qobject_cast<Dialog*>(QApplication::activeModalWidget());
    ASSERT_NE(d, nullptr);
    answer(d);
  });
}

TEST(Window, MessageBoxFileDialogAndChooserSeams) {
  Window w;
  w.window.SetAnswerer(nullptr);
  const struct {
    const char* title;
    Buttons buttons;
    Icon icon;
    QMessageBox::StandardButton press;
    Answer answer;
    QString shownTitle;
    QMessageBox::Icon shownIcon;
  } boxes[] = {{"", Buttons::AbortRetryIgnore, Icon::Question, QMessageBox::Retry, Answer::Retry, "Kelvane", QMessageBox::Question},
               {"Error", Buttons::YesNoCancel, Icon::Exclamation, QMessageBox::No, Answer::No, "Error", QMessageBox::Warning}};
  for (const auto& b : boxes) {
    QString title;
    QMessageBox::Icon icon{};
    OnModal<QMessageBox>([&](QMessageBox* box) { title = box->windowTitle(), icon = box->icon(), box->button(b.press)->click(); });
    EXPECT_EQ(w.window.MessageBox("text", b.title, b.buttons, b.icon), b.answer);
    EXPECT_EQ(title, b.shownTitle);
    EXPECT_EQ(icon, b.shownIcon);
  }
  // An explained box keeps its text and shows the explanation as its informative text.
  QString text, informative;
  OnModal<QMessageBox>([&](QMessageBox* box) {
    text = box->text(), informative = box->informativeText(), box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(w.window.ExplainedMessageBox("Serial Port is not available", "COM1 (/dev/ttyUSB0): permission denied.",
                                         "Error", Buttons::OK, Icon::Critical),
            Answer::OK);
  EXPECT_EQ(text, "Serial Port is not available");
  EXPECT_EQ(informative, "COM1 (/dev/ttyUSB0): permission denied.");

  EXPECT_EQ(QtMainWindow::NameFilters("Program Files (*.BIN)|*.bin|All Files (*.*)|*.*|Plain|*.a;*.b"),
            (QStringList{"Program Files (*.bin)", "All Files (*)", "Plain (*.a *.b)"}));
  QString title, directory, filter;
  OnModal<QFileDialog>([&](QFileDialog* d) {
    title = d->windowTitle(), directory = d->directory().absolutePath(), filter = d->selectedNameFilter();
    d->selectFile("new.bin");  // typed: no such file yet
    static_cast<QDialog*>(d)->accept();
  });
  const ChooserResult r = w.window.ShowOpenDialog(
      {"Open UpLoad File", "Program Files (*.BIN)|*.bin|All Files (*.*)|*.*", w.dir.filePath("old.bin").toStdString()});
  EXPECT_EQ(r.outcome, ChooserResult::Outcome::Chosen);
  EXPECT_EQ(r.path, w.dir.filePath("new.bin").toStdString());
  EXPECT_EQ(title, "Open UpLoad File");
  EXPECT_EQ(directory, QDir(w.dir.path()).absolutePath());
  EXPECT_EQ(filter, "Program Files (*.bin)");
  OnModal<QFileDialog>([](QFileDialog* d) { d->close(); });
  EXPECT_EQ(w.window.ShowOpenDialog({"t", "All Files (*.*)|*.*", ""}).outcome, ChooserResult::Outcome::Cancelled);

  std::vector<std::string> asked;
  w.window.SetChooser([&](const ChooserRequest& q) { return asked.push_back(q.initialName), ChooserResult{ChooserResult::Outcome::Chosen, "x.bin", ""}; });
  EXPECT_EQ(w.window.ShowOpenDialog({"Open DownLoad File", "f|*", "a.bin"}).path, "x.bin");
  EXPECT_EQ(asked, (std::vector<std::string>{"a.bin"}));
}

TEST(Window, PumpAndAnIdleChunkPollLoopSleep) {
  Window w;
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  QElapsedTimer t;
  t.start();
  w.window.PumpEvents(1000ms);
  EXPECT_TRUE(ran);
  EXPECT_LT(t.elapsed(), 500);  // something was pending: no wait
  ran = false;
  QTimer::singleShot(30, [&] { ran = true; });
  t.restart();
  while (!ran && t.elapsed() < 1000) w.window.PumpEvents(800ms);  // an event ends the wait
  EXPECT_LT(t.elapsed(), 600);

  w.Map(1, w.pty.slave);
  w.main.Form_Load();
  ASSERT_TRUE(w.serial.PortOpen());
  // KELVANE_IDLE_SECONDS lengthens the measurement (10 for a figure worth quoting).
  const double span = std::getenv("KELVANE_IDLE_SECONDS") ? std::atof(std::getenv("KELVANE_IDLE_SECONDS")) : 0.5;
  const double before = CpuSeconds();
  t.restart();
  while (t.elapsed() < span * 1000) w.main.SerialLink().ChunkPoll();
  const double share = (CpuSeconds() - before) * 1000 / static_cast<double>(t.elapsed());
  std::printf("idle chunk poll: %.2f %% of one core over %.1f s\n", share * 100, t.elapsed() / 1e3);
  EXPECT_LT(share, 0.05);
  EXPECT_TRUE(w.main.SerialLink().Latest().empty());
}

TEST(Window, ProgressTextsTooltipsAndPointer) {
  Window w;
  w.window.SetProgressMax(200);
  w.window.SetProgressValue(150.7f);
  EXPECT_EQ(w.window.ProgressBar()->value(), 150);
  w.window.SetProgressValue(500.0f);  // out of range: shown full, not ignored
  EXPECT_EQ(w.window.ProgressBar()->value(), 200);
  // During a transfer the title adds the percentage, rate and time left; it goes at the end.
  w.window.SetProgressMax(100);
  w.window.SetText(Control::Info, "20k/40K");
  w.window.SetProgressValue(47.5f);
  w.window.ShowTransferProgress({.done = 20000, .total = 40000, .percent = 50.0, .bytesPerSecond = 10000, .secondsLeft = 2});
  EXPECT_EQ(w.window.windowTitle(), "Kelvane - 20k/40K 50.0 % 10.0 kB/s 0:02 left");
  w.window.SetText(Control::Info, "");
  EXPECT_EQ(w.window.windowTitle(), "Kelvane");
  w.window.SetText(Control::ModelID, std::string("RX-100\0\0junk", 12));
  EXPECT_EQ(w.Text(Control::ModelID), "RX-100");
  w.window.SetText(Control::HWver, std::string("\xC0\x01", 2));  // not UTF-8: one character a byte
  EXPECT_EQ(w.Text(Control::HWver).size(), 2);

  int asked = 0;
  w.window.SetPortDescriber([&](int n) { return "COM" + std::to_string(n) + ": device " + std::to_string(++asked); });
  QWidget* port2 = w.window.Widget(Control::ComPort2);
  for (int i = 0; i < 2; ++i) {
    QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), port2->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(port2, &tip);
  }
  EXPECT_EQ(port2->toolTip(), "COM2: device 2");  // listed again at each showing

  w.window.SetBusyPointer(true);
  w.window.SetBusyPointer(true);
  EXPECT_NE(QApplication::overrideCursor(), nullptr);
  w.window.SetBusyPointer(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // balanced
}

}  // namespace
}  // namespace kelvane::test
