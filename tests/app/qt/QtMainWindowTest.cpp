#include "app/qt/QtMainWindow.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <map>

#include "app/Clock.h"
#include "app/Main.h"
#include "app/qt/QtSettingsStore.h"
#include "app/qt/QtTestApp.h"
#include "files/FileTable.h"
#include "serial/qt/QtSerialPort.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

struct Shown {
  std::string text, title;
  Buttons buttons;
  Icon icon;
};

// The real window, serial object and settings (in a throwaway INI file), as the program
// wires them; message boxes are answered through the seam.
struct Window {
  Window() {
    window.Attach(main);
    window.SetAnswerer([this](const std::string& text, const std::string& title, Buttons b, Icon i) {
      shown.push_back({text, title, b, i});
      return Answer::OK;
    });
  }
  ~Window() {
    if (master >= 0) ::close(master);
  }
  void Store(const char* section, const char* key, const std::string& value) {
    settings.Write(kAppName, section, key, value);
  }
  // A pseudo-terminal as the device of port n.
  void PortOnPty(int n) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    termios t{};
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    Store("Ports", ("COM" + std::to_string(n)).c_str(), ::ptsname(master));
  }
  void MissingPort(int n) { Store("Ports", ("COM" + std::to_string(n)).c_str(), dir.filePath("gone").toStdString()); }
  QAbstractButton* Button(Control c) const { return qobject_cast<QAbstractButton*>(window.Widget(c)); }
  bool Usable(Control c) const { return window.Widget(c)->isEnabled(); }

  QApplication& app = TestApp();  // before any widget
  QTemporaryDir dir;
  QtSettingsStore settings{dir.filePath("kelvane.ini")};
  QtSerialPort serial{settings};
  DiskFileTable files;
  SystemClock clock;
  QtMainWindow window;
  Main main{window, serial, settings, files, clock};
  std::vector<Shown> shown;
  int master = -1;
};

const std::vector<Control> kPorts = {Control::ComPort1, Control::ComPort2, Control::ComPort3, Control::ComPort4,
                                     Control::ComPort5, Control::ComPort6, Control::ComPort7, Control::ComPort8};

TEST(Window, ShowsEveryControlWithItsCaptionInItsFrame) {
  Window w;
  EXPECT_EQ(w.window.windowTitle(), "Kelvane");
  const std::map<Control, std::pair<QString, QString>> expected = {
      {Control::ComPort1, {"Com 1", "PortFrame"}},   {Control::ComPort5, {"Com 5", "PortFrame"}},
      {Control::ComPort8, {"Com 8", "PortFrame"}},   {Control::DownDot, {"DownLoad", "ModeFrame"}},
      {Control::UpDot, {"UpLoad", "ModeFrame"}},     {Control::ProgramDot, {"Prog, Data", "TypeFrame"}},
      {Control::SDXDot, {"SDX", "TypeFrame"}},       {Control::TemuDot, {"Temu", "TypeFrame"}},
      {Control::portOpen, {"Port Close", "Main"}},   {Control::Browse, {"Browse", "Main"}},
      {Control::Start, {"Start", "Main"}},           {Control::ExitButton, {"Stop", "Main"}},
  };
  for (const auto& [c, want] : expected) {
    EXPECT_EQ(w.Button(c)->text(), want.first);
    EXPECT_EQ(w.window.Widget(c)->parentWidget()->objectName(), want.second) << want.first.toStdString();
  }
  EXPECT_EQ(qobject_cast<QGroupBox*>(w.window.Widget(Control::PortFrame))->title(), "Serial Port");
  EXPECT_EQ(qobject_cast<QGroupBox*>(w.window.Widget(Control::ModeFrame))->title(), "MODE");
  EXPECT_EQ(qobject_cast<QGroupBox*>(w.window.Widget(Control::TypeFrame))->title(), "TYPE");
  for (Control c : {Control::HWver, Control::SWver, Control::ModelID, Control::File, Control::Info})
    EXPECT_TRUE(qobject_cast<QLineEdit*>(w.window.Widget(c))->isReadOnly());

  // At design: the first button of each group selected, Browse, Start and Stop disabled.
  for (Control c : {Control::ComPort1, Control::DownDot, Control::ProgramDot}) EXPECT_TRUE(w.window.Value(c));
  for (Control c : {Control::ComPort2, Control::UpDot, Control::SDXDot}) EXPECT_FALSE(w.window.Value(c));
  for (Control c : {Control::Browse, Control::Start, Control::ExitButton}) EXPECT_FALSE(w.window.Enabled(c));
  EXPECT_EQ(w.window.ProgressBar()->minimum(), 0);
  EXPECT_EQ(w.window.ProgressBar()->maximum(), 100);

  // Client area 8235 x 6015 twips; Status runs past the right edge.
  const double px = w.window.width() / 8235.0;
  EXPECT_NEAR(w.window.height(), 6015 * px, 1.0);
  EXPECT_GT(w.window.Widget(Control::Status)->geometry().right(), w.window.width());
  EXPECT_NEAR(w.window.Widget(Control::PortFrame)->x(), 6000 * px, 1.0);
}

TEST(Window, TabOrderFollowsTheDesign) {
  Window w;
  const std::vector<QString> expected = {"File",       "Browse", "Start",   "ExitButton", "HWver",    "SWver",
                                         "ModelID",    "Info",   "UpDot",   "DownDot",    "ProgramDot", "SDXDot",
                                         "TemuDot",    "portOpen", "ComPort1", "ComPort2", "ComPort3", "ComPort4",
                                         "ComPort5",   "ComPort6", "ComPort7", "ComPort8"};
  std::vector<QString> chain;
  QWidget* start = w.window.Widget(Control::File);
  QWidget* at = start;
  do {
    if (at->focusPolicy() & Qt::TabFocus) chain.push_back(at->objectName());
    at = at->nextInFocusChain();
  } while (at != start && chain.size() < 40);
  EXPECT_EQ(chain, expected);
}

TEST(Window, OptionGroupsAreExclusiveYetCanBeLeftWithNoneSelected) {
  Window w;
  w.window.SetValue(Control::ComPort3, true);
  for (Control c : kPorts) EXPECT_EQ(w.window.Value(c), c == Control::ComPort3);
  w.window.SetValue(Control::ComPort3, false);
  for (Control c : kPorts) EXPECT_FALSE(w.window.Value(c));
  // The group is exclusive again for the user.
  w.Button(Control::ComPort5)->click();
  w.Button(Control::ComPort6)->click();
  for (Control c : kPorts) EXPECT_EQ(w.window.Value(c), c == Control::ComPort6);
  // Groups are independent of each other.
  w.window.SetValue(Control::TemuDot, true);
  EXPECT_TRUE(w.window.Value(Control::DownDot));
  EXPECT_TRUE(w.window.Value(Control::ComPort6));
  EXPECT_FALSE(w.window.Value(Control::ProgramDot));
}

TEST(Window, ModeHandlersRunOnTheUsersSelectionOnly) {
  Window w;
  w.window.SetText(Control::File, "image.bin");
  w.window.SetValue(Control::UpDot, true);  // the logic's own change: no handler
  EXPECT_EQ(qobject_cast<QLineEdit*>(w.window.Widget(Control::File))->text(), "image.bin");
  EXPECT_TRUE(w.window.Enabled(Control::SDXDot));

  w.Button(Control::DownDot)->click();  // the user: DownLoad handler
  EXPECT_TRUE(w.window.Value(Control::DownDot));
  EXPECT_EQ(qobject_cast<QLineEdit*>(w.window.Widget(Control::File))->text(), "");
  w.window.SetText(Control::File, "image.bin");
  w.Button(Control::DownDot)->click();  // already selected: no handler
  EXPECT_EQ(qobject_cast<QLineEdit*>(w.window.Widget(Control::File))->text(), "image.bin");

  w.Button(Control::UpDot)->click();
  for (Control c : {Control::ProgramDot, Control::SDXDot, Control::TemuDot}) EXPECT_FALSE(w.window.Enabled(c));
  EXPECT_TRUE(w.window.Value(Control::ProgramDot));  // the type stays selected
}

TEST(Window, ADisabledFrameKeepsItsButtonsOwnState) {
  Window w;
  w.window.SetEnabled(Control::SDXDot, false);
  w.window.SetEnabled(Control::TypeFrame, false);
  EXPECT_FALSE(w.Usable(Control::ProgramDot));
  EXPECT_TRUE(w.window.Enabled(Control::ProgramDot));
  EXPECT_FALSE(w.window.Enabled(Control::SDXDot));
  w.window.SetEnabled(Control::TypeFrame, true);
  EXPECT_TRUE(w.Usable(Control::ProgramDot));
  EXPECT_FALSE(w.Usable(Control::SDXDot));

  w.window.SetEnabled(Control::PortFrame, false);  // the port counts as closed by ComPort1's own state
  EXPECT_TRUE(w.window.Enabled(Control::ComPort1));
  EXPECT_FALSE(w.main.PortIsOpen());
}

TEST(Window, StartUpWithAStoredPortThatFailsReportsItAndLeavesThePortsUsable) {
  Window w;
  w.Store("Startup", "ComPort", "3");
  w.MissingPort(3);
  w.main.Form_Load();
  ASSERT_EQ(w.shown.size(), 1u);
  EXPECT_EQ(w.shown[0].text, "Serial Port is not available");
  EXPECT_EQ(w.shown[0].title, "Error");
  EXPECT_EQ(w.shown[0].buttons, Buttons::OK);
  EXPECT_EQ(w.shown[0].icon, Icon::Critical);
  for (Control c : kPorts) {
    EXPECT_TRUE(w.Usable(c));
    EXPECT_FALSE(w.window.Value(c));
  }
  EXPECT_FALSE(w.Usable(Control::Browse));
  EXPECT_FALSE(w.Usable(Control::Start));
  EXPECT_EQ(w.Button(Control::portOpen)->text(), "Port Open");
  EXPECT_EQ(qobject_cast<QLabel*>(w.window.Widget(Control::Status))->text(), "");
  // The detail of the failure waits in the status line's tooltip.
  EXPECT_NE(w.window.Widget(Control::Status)->toolTip().indexOf("gone"), -1);
}

TEST(Window, PortButtonClosesAndReopensThePort) {
  Window w;
  w.PortOnPty(1);
  w.Store("Startup", "Mode", "2");
  w.main.Form_Load();
  EXPECT_TRUE(w.shown.empty());
  EXPECT_TRUE(w.serial.PortOpen());
  EXPECT_EQ(qobject_cast<QLabel*>(w.window.Widget(Control::Status))->text(), "COM1:115200,N,8,1");
  EXPECT_TRUE(w.window.Value(Control::UpDot));
  EXPECT_FALSE(w.Usable(Control::TemuDot));
  for (Control c : kPorts) EXPECT_FALSE(w.Usable(c));
  EXPECT_TRUE(w.Usable(Control::Browse));

  w.Button(Control::portOpen)->click();
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_EQ(qobject_cast<QLabel*>(w.window.Widget(Control::Status))->text(), "Port Closed");
  EXPECT_EQ(w.Button(Control::portOpen)->text(), "Port Open");
  for (Control c : kPorts) EXPECT_TRUE(w.Usable(c));
  EXPECT_FALSE(w.Usable(Control::Browse));

  w.Button(Control::portOpen)->click();
  EXPECT_TRUE(w.serial.PortOpen());
  EXPECT_EQ(w.settings.Read(kAppName, "Startup", "ComPort", ""), "1");

  w.window.close();  // the close closes the port
  EXPECT_FALSE(w.serial.PortOpen());
}

TEST(Window, RealMessageBoxHasTheButtonsIconAndDefaultTitle) {
  Window w;
  w.window.SetAnswerer(nullptr);
  QString title;
  QMessageBox::Icon icon{};
  QMessageBox::StandardButtons buttons{};
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    icon = box->icon();
    buttons = box->standardButtons();
    box->button(QMessageBox::Retry)->click();
  });
  EXPECT_EQ(w.window.MessageBox("Data cannot be sent", "", Buttons::AbortRetryIgnore, Icon::Question), Answer::Retry);
  EXPECT_EQ(title, "Kelvane");
  EXPECT_EQ(icon, QMessageBox::Question);
  EXPECT_EQ(buttons, QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore);

  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    icon = box->icon();
    box->button(QMessageBox::No)->click();
  });
  EXPECT_EQ(w.window.MessageBox("Replace?", "Error", Buttons::YesNoCancel, Icon::Exclamation), Answer::No);
  EXPECT_EQ(title, "Error");
  EXPECT_EQ(icon, QMessageBox::Warning);
}

TEST(Window, FileDialogFiltersAndAcceptsATypedNameOfAnAbsentFile) {
  EXPECT_EQ(QtMainWindow::NameFilters("Program Files (*.BIN)|*.bin|Signed Program Files (*.SGN)|*.sgn|"
                                      "All Files (*.*)|*.*"),
            (QStringList{"Program Files (*.bin)", "Signed Program Files (*.sgn)", "All Files (*)"}));
  EXPECT_EQ(QtMainWindow::NameFilters("Irdeto Files (*.Sd)|*.sd|Plain|*.a;*.b"),
            (QStringList{"Irdeto Files (*.sd)", "Plain (*.a *.b)"}));

  Window w;
  const QString initial = w.dir.filePath("old.bin");
  QString title, directory, filter;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    title = dialog->windowTitle();
    directory = dialog->directory().absolutePath();
    filter = dialog->selectedNameFilter();
    dialog->selectFile("new.bin");
    static_cast<QDialog*>(dialog)->accept();  // as the Open button does
  });
  ChooserResult r = w.window.ShowOpenDialog(
      {"Open UpLoad File", "Program Files (*.BIN)|*.bin|All Files (*.*)|*.*", initial.toStdString()});
  EXPECT_EQ(r.outcome, ChooserResult::Outcome::Chosen);
  EXPECT_EQ(r.path, w.dir.filePath("new.bin").toStdString());
  EXPECT_EQ(title, "Open UpLoad File");
  EXPECT_EQ(directory, QDir(w.dir.path()).absolutePath());
  EXPECT_EQ(filter, "Program Files (*.bin)");

  QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
  EXPECT_EQ(w.window.ShowOpenDialog({"t", "All Files (*.*)|*.*", ""}).outcome, ChooserResult::Outcome::Cancelled);
}

TEST(Window, ChooserSeamStandsInForTheDialog) {
  Window w;
  std::vector<ChooserRequest> asked;
  w.window.SetChooser([&](const ChooserRequest& r) {
    asked.push_back(r);
    return ChooserResult{ChooserResult::Outcome::Chosen, "x.bin", ""};
  });
  EXPECT_EQ(w.window.ShowOpenDialog({"Open DownLoad File", "f|*", "a.bin"}).path, "x.bin");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].initialName, "a.bin");
}

TEST(Window, PumpRunsWhatIsPendingAndOtherwiseSleepsUntilTheNextEvent) {
  Window w;
  bool ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  QElapsedTimer t;
  t.start();
  w.window.PumpEvents(1000ms);
  EXPECT_TRUE(ran);
  EXPECT_LT(t.elapsed(), 500);  // something was pending: no wait

  rusage before{}, after{};
  ::getrusage(RUSAGE_SELF, &before);
  t.restart();
  w.window.PumpEvents(200ms);  // nothing pending, nothing coming: waits, asleep
  EXPECT_GE(t.elapsed(), 150);
  EXPECT_LT(t.elapsed(), 900);
  ::getrusage(RUSAGE_SELF, &after);
  const long cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000 +
                     (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000 +
                     (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000 +
                     (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1000;
  EXPECT_LT(cpuMs, 50);

  ran = false;
  QTimer::singleShot(30, [&] { ran = true; });
  t.restart();
  while (!ran && t.elapsed() < 1000) w.window.PumpEvents(800ms);  // an event ends the wait
  EXPECT_TRUE(ran);
  EXPECT_LT(t.elapsed(), 600);
}

double CpuMs() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

TEST(Window, AChunkPollLoopWithNothingArrivingSleeps) {
  Window w;
  w.PortOnPty(1);
  w.main.Form_Load();
  ASSERT_TRUE(w.serial.PortOpen());
  // KELVANE_IDLE_SECONDS lengthens the measurement (10 for a figure worth quoting).
  const char* seconds = std::getenv("KELVANE_IDLE_SECONDS");
  const double span = seconds ? std::atof(seconds) : 1.5;
  QElapsedTimer t;
  const double before = CpuMs();
  long polls = 0;
  t.start();
  while (t.elapsed() < span * 1000) {
    w.main.link.ChunkPoll();
    ++polls;
  }
  const double share = (CpuMs() - before) / static_cast<double>(t.elapsed());
  std::printf("idle chunk poll: %.2f %% of one core over %.1f s, %ld polls\n", share * 100, t.elapsed() / 1e3, polls);
  EXPECT_LT(share, 0.05);
  EXPECT_TRUE(w.main.link.Latest().empty());
}

TEST(Window, TickSetsTimedOutFromCreation) {
  Window w;
  QDeadlineTimer deadline(2500);
  while (!w.main.TimedOut && !deadline.hasExpired()) w.window.PumpEvents(100ms);
  EXPECT_TRUE(w.main.TimedOut);
}

TEST(Window, ProgressTextsTooltipsAndPointer) {
  Window w;
  w.window.SetProgressMax(200);
  w.window.SetProgressValue(150.7f);
  EXPECT_EQ(w.window.ProgressBar()->value(), 150);
  w.window.SetProgressValue(500.0f);  // out of range: shown full, not ignored
  EXPECT_EQ(w.window.ProgressBar()->value(), 200);

  w.window.SetText(Control::ModelID, std::string("DSR-9\0\0junk", 11));
  EXPECT_EQ(qobject_cast<QLineEdit*>(w.window.Widget(Control::ModelID))->text(), "DSR-9");
  w.window.SetText(Control::HWver, std::string("\xC0\x01", 2));  // not UTF-8: one character a byte
  EXPECT_EQ(qobject_cast<QLineEdit*>(w.window.Widget(Control::HWver))->text().size(), 2);

  std::vector<int> asked;
  w.window.SetPortDescriber([&](int n) {
    asked.push_back(n);
    return "COM" + std::to_string(n) + ": device " + std::to_string(asked.size());
  });
  QWidget* port2 = w.window.Widget(Control::ComPort2);
  for (int i = 0; i < 2; ++i) {
    QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), port2->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(port2, &tip);
  }
  EXPECT_EQ(asked, (std::vector<int>{2, 2}));  // listed again at each showing
  EXPECT_EQ(port2->toolTip(), "COM2: device 2");

  w.window.SetBusyPointer(true);
  w.window.SetBusyPointer(true);
  EXPECT_NE(QApplication::overrideCursor(), nullptr);
  w.window.SetBusyPointer(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // balanced
}

}  // namespace
}  // namespace kelvane::test
