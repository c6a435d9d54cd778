#include "app/Main.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "files/FileTable.h"
#include "support/Fakes.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

struct Window {
  FakeView view;
  FakeSerial serial;
  FakeSettings settings;
  DiskFileTable files;
  FakeClock clock;
  Main main{view, serial, settings, files, clock};

  void Store(const std::string& key, const std::string& value) { settings.values["Startup/" + key] = value; }
};

constexpr Control kTypes[] = {Control::ProgramDot, Control::SDXDot, Control::TemuDot};
constexpr Control kTextBoxes[] = {Control::HWver, Control::SWver, Control::ModelID, Control::File, Control::Info};

// Runs the test in a fresh working directory (the temporary files are looked for there).
struct InTempDir {
  InTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelvane-main-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
    old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
  }
  ~InTempDir() {
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
  }
  static void Touch(const char* name) { std::ofstream(name) << "x"; }
  std::filesystem::path dir, old;
};

TEST(StartUp, NothingStoredOpensPortOne) {
  Window w;
  w.main.Form_Load();
  EXPECT_TRUE(w.view.Value(Control::DownDot));
  EXPECT_TRUE(w.view.Value(Control::ProgramDot));
  EXPECT_EQ(w.serial.openAttempts, std::vector<int>{1});
  EXPECT_EQ(w.view.Caption(Control::Status), "COM1:115200,N,8,1");
  EXPECT_EQ(w.view.Caption(Control::portOpen), "Port Close");
  EXPECT_FALSE(w.view.Enabled(Control::ComPort1));
  EXPECT_TRUE(w.view.Enabled(Control::Browse));
  EXPECT_FALSE(w.view.Enabled(Control::Start));
  EXPECT_TRUE(w.settings.writes.empty());
}

TEST(StartUp, RestoresModeAndTypeComparedAsNumbers) {
  struct Case {
    const char* mode;
    const char* type;
    Control wantMode, wantType;
  };
  const Case cases[] = {
      {"2", "3", Control::UpDot, Control::TemuDot},
      {"2.0", "2.0", Control::UpDot, Control::SDXDot},
      {"1", "1", Control::DownDot, Control::ProgramDot},
      {"abc", "x", Control::DownDot, Control::ProgramDot},  // not a number: changes nothing
      {"7", "9", Control::DownDot, Control::ProgramDot},    // outside the codes: likewise
  };
  for (const Case& c : cases) {
    Window w;
    w.Store("Mode", c.mode);
    w.Store("Type", c.type);
    w.main.Form_Load();
    EXPECT_TRUE(w.view.Value(c.wantMode)) << c.mode;
    EXPECT_FALSE(w.view.Value(c.wantMode == Control::UpDot ? Control::DownDot : Control::UpDot)) << c.mode;
    for (Control t : kTypes) {
      EXPECT_EQ(w.view.Value(t), t == c.wantType) << c.type;
      EXPECT_EQ(w.view.Enabled(t), c.wantMode == Control::DownDot) << c.mode;  // UpLoad disables them
    }
    for (Control b : kTextBoxes) EXPECT_EQ(w.view.Text(b), "");
    EXPECT_EQ(w.view.centred, 1);
  }
}

TEST(StartUp, StoredPortThatFailsLeavesNoPortSelectedAndSaysSo) {
  Window w;
  w.Store("ComPort", "4");
  w.serial.openPorts = {1};
  w.main.Form_Load();
  EXPECT_EQ(w.serial.openAttempts, std::vector<int>{4});  // no other port is tried
  EXPECT_EQ(w.serial.CommPort(), 1);
  for (int n = 1; n <= 8; ++n) {
    EXPECT_FALSE(w.view.Value(ComPort(n))) << n;
    EXPECT_TRUE(w.view.Enabled(ComPort(n))) << n;
  }
  EXPECT_FALSE(w.view.Enabled(Control::Browse));
  EXPECT_EQ(w.view.Caption(Control::portOpen), "Port Open");
  EXPECT_EQ(w.view.Caption(Control::Status), "");
  ASSERT_EQ(w.view.messages.size(), 1u);
  EXPECT_EQ(w.view.messages[0].text, "Serial Port is not available");
  EXPECT_EQ(w.view.messages[0].title, "Error");
  EXPECT_EQ(w.view.messages[0].buttons, Buttons::OK);
  EXPECT_EQ(w.view.messages[0].icon, Icon::Critical);
  EXPECT_EQ(w.view.toolTip[Control::Status], "COM4: no such device");  // the detail, for the user
  EXPECT_TRUE(w.settings.writes.empty());

  // "Port Open" with none selected opens port 1, leaves Status empty and stores it.
  w.main.portOpen_Click();
  EXPECT_TRUE(w.serial.PortOpen());
  EXPECT_EQ(w.view.Caption(Control::Status), "");
  EXPECT_EQ(w.settings.writes, std::vector<std::string>{"Startup/ComPort=1"});
}

TEST(StartUp, PortOneMissingKeepsItSelectedAndAStoredTextThatIsNoNumberFailsAlike) {
  {
    Window w;
    w.serial.failOpen = true;
    w.main.Form_Load();
    EXPECT_TRUE(w.view.Value(Control::ComPort1));
    EXPECT_EQ(w.view.messages.size(), 1u);
  }
  {
    Window w;
    w.Store("ComPort", "two");
    w.main.Form_Load();
    EXPECT_TRUE(w.serial.openAttempts.empty());
    EXPECT_FALSE(w.serial.PortOpen());
    EXPECT_FALSE(w.view.Value(Control::ComPort1));
    ASSERT_EQ(w.view.messages.size(), 1u);
    EXPECT_EQ(w.view.messages[0].text, "Serial Port is not available");
  }
  {
    // A stored number the serial object accepts but no button shows: open, no status line.
    Window w;
    w.Store("ComPort", "12");
    w.main.Form_Load();
    EXPECT_TRUE(w.serial.PortOpen());
    EXPECT_EQ(w.view.Caption(Control::Status), "");
    for (int n = 1; n <= 8; ++n) EXPECT_FALSE(w.view.Value(ComPort(n)));
  }
}

TEST(PortButton, ClosesReopensAndStoresOnlyWhatOpened) {
  Window w;
  w.Store("ComPort", "3");
  w.main.Form_Load();
  EXPECT_TRUE(w.view.Value(Control::ComPort3));
  EXPECT_EQ(w.view.Caption(Control::Status), "COM3:115200,N,8,1");

  w.main.portOpen_Click();  // close
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_EQ(w.view.Caption(Control::Status), "Port Closed");
  EXPECT_EQ(w.view.Caption(Control::portOpen), "Port Open");
  EXPECT_TRUE(w.view.Enabled(Control::ComPort1));
  EXPECT_FALSE(w.view.Enabled(Control::Browse));

  w.main.portOpen_Click();  // the same port again
  EXPECT_EQ(w.serial.openAttempts, (std::vector<int>{3, 3}));
  EXPECT_EQ(w.serial.settings, "115200,n,8,1");
  EXPECT_EQ(w.serial.inputMode, 1);
  EXPECT_EQ(w.settings.writes, std::vector<std::string>{"Startup/ComPort=3"});

  w.main.portOpen_Click();
  w.view.SetValue(Control::ComPort6, true);
  w.serial.failOpen = true;  // held by another program
  w.main.portOpen_Click();
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_EQ(w.serial.CommPort(), 6);  // keeps the number that failed
  EXPECT_EQ(w.view.Caption(Control::Status), "Serial Port is not available");
  EXPECT_EQ(w.view.Caption(Control::portOpen), "Port Open");
  EXPECT_TRUE(w.view.Enabled(Control::ComPort6));
  EXPECT_FALSE(w.view.Enabled(Control::Browse));
  EXPECT_TRUE(w.view.messages.empty());  // no box from the button
  EXPECT_EQ(w.settings.writes.size(), 1u);  // nothing stored

  w.serial.failOpen = false;
  w.main.portOpen_Click();
  EXPECT_EQ(w.view.Caption(Control::Status), "COM6:115200,N,8,1");
  EXPECT_EQ(w.settings.writes.back(), "Startup/ComPort=6");
  EXPECT_EQ(w.view.toolTip[Control::Status], "");
}

TEST(StartRules, StartNeedsAChosenFileAndAnOpenPort) {
  Window w;
  w.main.Form_Load();
  w.main.SetFileReady(true);
  EXPECT_TRUE(w.view.Enabled(Control::Start));

  w.main.portOpen_Click();  // closing takes Start away
  EXPECT_FALSE(w.view.Enabled(Control::Start));
  w.main.SetFileReady(true);  // a file is ready, but the port is closed
  EXPECT_FALSE(w.view.Enabled(Control::Start));
  w.main.portOpen_Click();  // reopening gives it back
  EXPECT_TRUE(w.view.Enabled(Control::Start));

  w.main.SelectOption(Control::UpDot, true);  // a file chosen under the other mode is not used
  EXPECT_FALSE(w.view.Enabled(Control::Start));
  w.main.portOpen_Click();
  w.main.portOpen_Click();
  EXPECT_FALSE(w.view.Enabled(Control::Start));  // and reopening does not bring it back
}

TEST(ModeButtons, DisableOrEnableTheTypesAndEmptyTheTextBoxes) {
  Window w;
  w.main.Form_Load();
  w.view.SetValue(Control::SDXDot, true);
  for (Control b : kTextBoxes) w.view.SetText(b, "old");
  w.main.SelectOption(Control::UpDot, true);
  for (Control t : kTypes) EXPECT_FALSE(w.view.Enabled(t));
  EXPECT_TRUE(w.view.Value(Control::SDXDot));  // the selection stays
  for (Control b : kTextBoxes) EXPECT_EQ(w.view.Text(b), "");
  EXPECT_TRUE(w.view.Enabled(Control::Browse));  // untouched
  w.main.SelectOption(Control::DownDot, true);
  for (Control t : kTypes) EXPECT_TRUE(w.view.Enabled(t));
  EXPECT_TRUE(w.view.Value(Control::SDXDot));
}

TEST(WindowHandlers, StopAndTick) {
  Window w;
  w.view.SetEnabled(Control::ModeFrame, false);
  w.view.SetEnabled(Control::TypeFrame, false);
  w.main.ExitButton_Click();
  EXPECT_TRUE(w.main.StopFlag);
  EXPECT_TRUE(w.view.Enabled(Control::ModeFrame));
  EXPECT_TRUE(w.view.Enabled(Control::TypeFrame));
  EXPECT_FALSE(w.view.Enabled(Control::ExitButton));  // nothing else

  w.main.Timer1_Timer();
  w.main.Timer1_Timer();
  EXPECT_TRUE(w.main.TimedOut);  // a flag: a second tick leaves it set
}

TEST(Close, NothingQueuedClosesAtOnceAndDeletesTheTemporaryFiles) {
  InTempDir tmp;
  Window w;
  w.main.Form_Load();
  InTempDir::Touch("satcodx.tm0");
  InTempDir::Touch("satcodx.tm1");
  ASSERT_TRUE(w.files.Open(3, "transfer.bin", OpenMode::WriteTruncate));
  bool cancel = false;
  w.main.Form_Unload(cancel);
  EXPECT_FALSE(cancel);
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_EQ(w.view.pumps, 0);  // no wait
  EXPECT_TRUE(w.view.messages.empty());
  EXPECT_FALSE(w.files.IsOpen(3));
  EXPECT_FALSE(std::filesystem::exists("satcodx.tm0"));
  EXPECT_FALSE(std::filesystem::exists("satcodx.tm1"));
  EXPECT_TRUE(std::filesystem::exists("transfer.bin"));

  w.main.Form_Terminate();  // after the close: finds nothing more to do
  EXPECT_TRUE(w.view.messages.empty());
}

TEST(Close, OutputThatDrainsIsWaitedForWithoutAQuestion) {
  Window w;
  w.main.Form_Load();
  w.serial.outQueued = 100;
  w.view.onPump = [&] {
    w.clock.Advance(1s);
    w.serial.outQueued -= 20;
  };
  bool cancel = false;
  w.main.Form_Unload(cancel);
  EXPECT_FALSE(cancel);
  EXPECT_EQ(w.view.pumps, 5);
  EXPECT_TRUE(w.view.messages.empty());
  EXPECT_FALSE(w.serial.PortOpen());
}

TEST(Close, OutputThatNeverDrainsAsksEveryTenSeconds) {
  InTempDir tmp;
  Window w;
  w.main.Form_Load();
  w.serial.outQueued = 1;
  std::vector<std::chrono::steady_clock::time_point> asked;
  const auto start = w.clock.now;
  w.view.onPump = [&] { w.clock.Advance(500ms); };
  w.view.answers = {Answer::Retry, Answer::Ignore};
  InTempDir::Touch("satcodx.tm1");
  bool cancel = false;
  w.main.Form_Unload(cancel);
  ASSERT_EQ(w.view.messages.size(), 2u);
  for (const auto& m : w.view.messages) {
    EXPECT_EQ(m.text, "Data cannot be sent");
    EXPECT_EQ(m.title, "");  // the view shows the application name
    EXPECT_EQ(m.buttons, Buttons::AbortRetryIgnore);
    EXPECT_EQ(m.icon, Icon::Question);
  }
  // First question after more than 10 s, the second (after Retry) 10 s later.
  EXPECT_GT(w.clock.now - start, 20s);
  EXPECT_LE(w.clock.now - start, 21s);
  EXPECT_FALSE(cancel);  // Ignore closes
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_FALSE(std::filesystem::exists("satcodx.tm1"));
}

TEST(Close, AbortKeepsEverythingOpen) {
  InTempDir tmp;
  Window w;
  w.main.Form_Load();
  w.serial.outQueued = 1;
  w.view.onPump = [&] { w.clock.Advance(1s); };
  w.view.answers = {Answer::Abort};
  InTempDir::Touch("satcodx.tm0");
  ASSERT_TRUE(w.files.Open(2, "t.bin", OpenMode::WriteTruncate));
  bool cancel = false;
  w.main.Form_Unload(cancel);
  EXPECT_TRUE(cancel);
  EXPECT_TRUE(w.serial.PortOpen());
  EXPECT_TRUE(w.files.IsOpen(2));
  EXPECT_TRUE(std::filesystem::exists("satcodx.tm0"));

  // The release cannot be refused: Abort there only ends the handler early.
  w.view.answers = {Answer::Abort};
  w.main.Form_Terminate();
  EXPECT_TRUE(w.serial.PortOpen());
  EXPECT_TRUE(std::filesystem::exists("satcodx.tm0"));
  w.view.answers = {Answer::Ignore};
  w.main.Form_Terminate();
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_FALSE(w.files.IsOpen(2));
  EXPECT_FALSE(std::filesystem::exists("satcodx.tm0"));
}

TEST(Close, WithThePortClosedFilesAreStillClosedAndTheRequestDuringATransferWaits) {
  {
    InTempDir tmp;
    Window w;
    w.serial.failOpen = true;
    w.main.Form_Load();
    InTempDir::Touch("satcodx.tm0");
    bool cancel = false;
    w.main.Form_Unload(cancel);
    EXPECT_FALSE(cancel);
    EXPECT_EQ(w.view.pumps, 0);
    EXPECT_FALSE(std::filesystem::exists("satcodx.tm0"));
  }
  {
    Window w;
    w.main.Form_Load();
    w.main.transferRunning_ = true;
    bool cancel = false;
    w.main.Form_Unload(cancel);
    EXPECT_TRUE(cancel);  // the transfer is stopped first
    EXPECT_TRUE(w.main.StopFlag);
    EXPECT_TRUE(w.serial.PortOpen());
  }
}

}  // namespace
}  // namespace kelvane::test
