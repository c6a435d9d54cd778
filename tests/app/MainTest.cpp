#include "app/Main.h"

#include <gtest/gtest.h>

#include "support/FakeDevices.h"
#include "support/Rig.h"

namespace kelvane::test {
namespace {

using namespace std::chrono_literals;

constexpr Control kTypes[] = {Control::ProgramDot, Control::SDXDot, Control::TemuDot};

TEST(StartUp, RestoresModeAndTypeComparedAsNumbersAndOpensPortOne) {
  struct Case {
    const char *mode, *type;
    Control wantMode, wantType;
  };
  const Case cases[] = {
      {nullptr, nullptr, Control::DownDot, Control::ProgramDot},
      {"2", "3", Control::UpDot, Control::TemuDot},
      {"2.0", "2.0", Control::UpDot, Control::SDXDot},
      {"abc", "x", Control::DownDot, Control::ProgramDot},
      {"7", "9", Control::DownDot,
       Control::ProgramDot},  // outside the codes, or no number: changes nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode ? c.mode : "nothing stored");
    Window w;
    if (c.mode) w.Store("Mode", c.mode), w.Store("Type", c.type);
    w.main.Form_Load();
    EXPECT_TRUE(w.view.Value(c.wantMode));
    for (Control t : kTypes) {
      EXPECT_EQ(w.view.Value(t), t == c.wantType);
      EXPECT_EQ(w.view.Enabled(t), c.wantMode == Control::DownDot);  // UpLoad disables them
    }
    EXPECT_EQ(w.serial.openAttempts, std::vector<int>{1}) << w.view.caption[Control::Status];
    EXPECT_EQ(w.view.caption[Control::Status], "COM1:115200,N,8,1");
    EXPECT_TRUE(w.view.Enabled(Control::Browse));
    EXPECT_FALSE(w.view.Enabled(Control::ComPort1));
    EXPECT_FALSE(w.StartEnabled());
    EXPECT_TRUE(w.settings.writes.empty());
  }
}

TEST(StartUp, StoredPortThatFailsOrIsNoNumberLeavesNoPortSelectedAndSaysSo) {
  for (const char* stored : {"4", "two"}) {
    SCOPED_TRACE(stored);
    Window w;
    w.Store("ComPort", stored);
    w.serial.openPorts = {1};
    w.main.Form_Load();
    EXPECT_EQ(w.serial.openAttempts,
              std::string(stored) == "4" ? std::vector<int>{4} : std::vector<int>{});
    for (int n = 1; n <= 8; ++n) {
      EXPECT_FALSE(w.view.Value(ComPort(n))) << n;
      EXPECT_TRUE(w.view.Enabled(ComPort(n))) << n;
    }
    EXPECT_FALSE(w.view.Enabled(Control::Browse));
    EXPECT_EQ(w.view.caption[Control::portOpen], "Port Open");
    w.ExpectOnlyMessage("Serial Port is not available", "Error", Icon::Critical);
    // "Port Open" with none selected opens port 1, leaves Status empty and stores it.
    w.main.portOpen_Click();
    EXPECT_TRUE(w.serial.PortOpen());
    EXPECT_EQ(w.view.caption[Control::Status], "");
    EXPECT_EQ(w.settings.writes, std::vector<std::string>{"Startup/ComPort=1"});
  }
  Window w;  // port 1 failing stays selected; the failure's cause is in the status line too
  w.serial.failOpen = true;
  w.main.Form_Load();
  EXPECT_TRUE(w.view.Value(Control::ComPort1));
  EXPECT_EQ(w.view.caption[Control::Status],
            "Serial Port is not available \u2014 COM1: no such device");
  EXPECT_EQ(w.view.toolTip[Control::Status], "COM1: no such device");
  w.ExpectOnlyMessage("Serial Port is not available", "Error", Icon::Critical);
  EXPECT_EQ(w.view.messages[0].explanation, "COM1: no such device");

  Window bare;  // no serial device at all: how to attach one, and the demo
  FakeDevices none;
  bare.main.SetDevices(&none);
  bare.serial.failOpen = true;
  bare.main.Form_Load();
  bare.ExpectOnlyMessage("Serial Port is not available", "Error", Icon::Critical);
  EXPECT_EQ(bare.view.messages[0].explanation, kNoSerialDevice);
  for (const char* said : {"No serial device was found", "USB serial adapter", "kelvane --demo"})
    EXPECT_NE(bare.view.messages[0].explanation.find(said), std::string::npos) << said;
  EXPECT_EQ(bare.view.caption[Control::Status],
            "Serial Port is not available \u2014 No serial device was found on this computer.");
}

TEST(PortButton, ClosesReopensStoresOnlyWhatOpenedAndGatesStart) {
  Window w;
  w.Store("ComPort", "3");
  w.main.Form_Load();
  EXPECT_TRUE(w.view.Value(Control::ComPort3));
  w.main.portOpen_Click();  // close
  EXPECT_EQ(w.view.caption[Control::Status] + ", " + w.view.caption[Control::portOpen],
            "Port Closed, Port Open");
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_TRUE(w.view.Enabled(Control::ComPort1));
  EXPECT_FALSE(w.view.Enabled(Control::Browse));
  w.main.portOpen_Click();  // the same port again
  EXPECT_EQ(w.serial.openAttempts, (std::vector<int>{3, 3}));
  EXPECT_EQ(w.serial.settings, "115200,n,8,1");
  EXPECT_EQ(w.settings.writes, std::vector<std::string>{"Startup/ComPort=3"});

  w.main.portOpen_Click();
  w.view.SetValue(Control::ComPort6, true);
  w.serial.failOpen = true;  // held by another program
  w.main.portOpen_Click();
  EXPECT_EQ(w.view.caption[Control::Status],
            "Serial Port is not available \u2014 COM6: no such device");
  EXPECT_FALSE(w.serial.PortOpen());
  EXPECT_TRUE(w.view.messages.empty()) << "no box";
  EXPECT_EQ(w.settings.writes.size(), 1u) << "no store";
  w.serial.failOpen = false;
  w.main.portOpen_Click();
  EXPECT_EQ(w.view.caption[Control::Status], "COM6:115200,N,8,1");
  EXPECT_EQ(w.settings.writes.back(), "Startup/ComPort=6");

  // Start needs a file chosen under the current mode and an open port.
  w.main.SetFileReady(true);
  EXPECT_TRUE(w.StartEnabled());
  w.main.portOpen_Click();  // closing takes Start away, and a file made ready does not give it
  w.main.SetFileReady(true);
  EXPECT_FALSE(w.StartEnabled());
  w.main.portOpen_Click();  // reopening does
  EXPECT_TRUE(w.StartEnabled());
  for (Control b : {Control::HWver, Control::SWver, Control::ModelID, Control::File, Control::Info})
    w.view.SetText(b, "x");
  w.main.SelectOption(Control::UpDot, true);  // a file chosen under the other mode is not used
  EXPECT_FALSE(w.StartEnabled());
  for (Control t : kTypes) EXPECT_FALSE(w.view.Enabled(t));
  for (const auto& [box, text] : w.view.text) EXPECT_EQ(text, "") << static_cast<int>(box);
  w.main.portOpen_Click();
  w.main.portOpen_Click();
  EXPECT_FALSE(w.StartEnabled());  // nor does reopening bring it back
  w.main.SelectOption(Control::DownDot, true);
  for (Control t : kTypes) EXPECT_TRUE(w.view.Enabled(t));
}

// The close: waits on the monotonic clock while output drains, asks every 10 s when it does
// not; Abort keeps everything open, Ignore closes the port and deletes the temporary files.
TEST(Close, DrainsOutputAndAsksAbortRetryIgnore) {
  struct Case {
    const char* name;
    int queued, drainPerSecond;
    std::vector<Answer> answers;
    bool cancelled;
    int questions;
    bool portFails = false;  // output queued, but no port to drain it through
  };
  const Case cases[] = {{"nothing queued", 0, 0, {}, false, 0},
                        {"drains", 100, 20, {}, false, 0},
                        {"retry then ignore", 1, 0, {Answer::Retry, Answer::Ignore}, false, 2},
                        {"abort", 1, 0, {Answer::Abort}, true, 1},
                        {"port closed", 1, 0, {}, false, 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Window w;
    w.serial.failOpen = c.portFails;
    w.main.Form_Load();
    WriteFile(kTempList, {1}), WriteFile(kTempContainer, {1}), w.view.messages.clear();
    ASSERT_TRUE(w.files.Open(3, "transfer.bin", OpenMode::WriteTruncate));
    w.serial.outQueued = c.queued;
    w.serial.onWaitForSent = [&] {
      w.clock.now += 500ms, w.serial.outQueued -= c.drainPerSecond / 2;
    };
    w.view.answers.assign(c.answers.begin(), c.answers.end());
    bool cancel = false;
    const auto start = w.clock.now;
    w.main.Form_Unload(cancel);
    EXPECT_EQ(cancel, c.cancelled);
    ASSERT_EQ(w.view.messages.size(), std::size_t(c.questions));
    for (const auto& m : w.view.messages) {
      EXPECT_EQ(m.text, "Data cannot be sent");
      EXPECT_EQ(m.buttons, Buttons::AbortRetryIgnore);
      EXPECT_EQ(m.icon, Icon::Question);
    }
    const auto waited = w.clock.now - start;
    if (c.questions) {
      EXPECT_GT(waited, 10s * c.questions);
      EXPECT_LE(waited, 10s * c.questions + 1s);
    }
    if (c.drainPerSecond) {
      EXPECT_EQ(waited, 5s);
    }
    EXPECT_EQ(w.serial.sentWaits == 0, c.queued == 0 || c.portFails);
    EXPECT_EQ(w.serial.PortOpen(), c.cancelled);  // Abort keeps everything open
    EXPECT_EQ(w.files.IsOpen(3), c.cancelled);
    EXPECT_EQ(fs::exists(kTempList) && fs::exists(kTempContainer), c.cancelled);
  }
}

}  // namespace
}  // namespace kelvane::test
