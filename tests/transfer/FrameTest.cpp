#include "transfer/Exchange.h"

#include <gtest/gtest.h>

#include "support/Rig.h"

namespace kelvane::test {
namespace {

// Every way a transfer can end: the settings are written before the exchange, in order,
// only Stop is usable while it runs, and the window is unlocked afterwards.
TEST(Frame, EveryWayOutUnlocksTheWindow) {
  using K = Outcome::Kind;
  struct WayOut {
    const char* name;
    Control mode, type;
    std::function<void(Rig&)> script;
    Outcome::Kind outcome;
  };
  const WayOut ways[] = {
      {.name = "download refused",
       .mode = Control::DownDot,
       .type = Control::ProgramDot,
       .script = [](Rig& r) { r.rx.Send({0x01}).Idle(3).Send({0x12}); },
       .outcome = K::HeaderRefused},
      {.name = "download file missing",
       .mode = Control::DownDot,
       .type = Control::ProgramDot,
       .script = [](Rig& r) { r.main.XferPath = "none"; },
       .outcome = K::FileError},
      {.name = "temu stopped",
       .mode = Control::DownDot,
       .type = Control::TemuDot,
       .script = [](Rig& r) { r.rx.Idle(3).Stop(); },
       .outcome = K::Stopped},
      {.name = "upload complete",
       .mode = Control::UpDot,
       .type = Control::ProgramDot,
       .script =
           [](Rig& r) {
             r.rx.Expect({0x01})
                 .Send(Concat({B({0x08}), Bytes(64, 0)}))
                 .Expect({0x10})
                 .Send({0x03});
           },
       .outcome = K::UploadCompleted},
      {.name = "upload cannot open",
       .mode = Control::UpDot,
       .type = Control::ProgramDot,
       .script = [](Rig& r) { r.main.XferPath = "none/up.bin"; },
       .outcome = K::FileError},
      {.name = "upload with temu selected",
       .mode = Control::UpDot,
       .type = Control::TemuDot,
       .script = [](Rig&) {},
       .outcome = K::Nothing},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    Rig r;
    WriteFile("file.bin", ImageHeaderBytes());
    r.Choose(way.mode, way.type, "file.bin");
    r.main.ChosenPath = "chosen.bin";
    bool locked = false;
    r.rx.Do([&] {
      const auto& v = r.view;
      locked = r.main.TransferRunning() && v.Enabled(Control::ExitButton) &&
               r.settings.writes.size() == 3;
      for (Control c : {Control::ModeFrame, Control::TypeFrame, Control::Start, Control::Browse,
                        Control::File, Control::portOpen})
        locked = locked && !v.Enabled(c);
    });
    way.script(r);
    r.main.Start_Click();
    EXPECT_EQ(locked, r.view.pumps > 0);
    const char* type = way.type == Control::ProgramDot ? "1"
                       : way.type == Control::SDXDot   ? "2"
                                                       : "3";
    EXPECT_EQ(r.settings.writes,
              (std::vector<std::string>{
                  std::string("Startup/Mode=") + (way.mode == Control::DownDot ? "1" : "2"),
                  std::string("Startup/Type=") + type, "Startup/FileName=chosen.bin"}));
    r.ExpectUnlocked();
    EXPECT_FALSE(r.files.IsOpen(1));
    EXPECT_EQ(r.main.LastTransfer().kind, way.outcome);
    EXPECT_FALSE(r.main.LastTransfer().lineLost);
    if (way.outcome == K::FileError) {
      EXPECT_EQ(r.main.LastTransfer().path, r.main.XferPath);
    }
    if (std::string(way.name) == "upload cannot open") {
      EXPECT_EQ(r.view.MessageTexts()[0], "No such file or directory");
    }
    if (std::string(way.name) == "upload cannot open") {
      EXPECT_EQ(r.main.LastTransfer().systemError, "No such file or directory");
    }
    if (way.type == Control::TemuDot && way.mode == Control::UpDot) {
      EXPECT_TRUE(r.serial.written.empty());
      EXPECT_TRUE(r.view.messages.empty());
      EXPECT_EQ(r.view.pumps, 0);
    }
  }
}

// The line fails under each exchange: the transfer ends, the port is shown closed, once.
TEST(Frame, LostLineEndsTheTransferAndClosesThePort) {
  const std::tuple<Control, Control, Bytes> cases[] = {
      {Control::DownDot, Control::ProgramDot, B({0x01})},
      {Control::UpDot, Control::ProgramDot, B({0x08, 0x00, 0x00})},
      {Control::DownDot, Control::TemuDot, B({0x02, 0x02})}};
  for (const auto& [mode, type, sent] : cases) {  // the download waits for the header's verdict
    SCOPED_TRACE(Hex(sent));
    Rig r;
    WriteFile("file.bin", ImageHeaderBytes());
    r.Choose(mode, type, "file.bin");
    r.rx.Send(sent).AwaitRead().Idle(2);
    r.rx.Do([&] { r.serial.lost = true, r.serial.lastError = "COM1: device unplugged"; });
    r.main.Start_Click();
    EXPECT_TRUE(r.rx.Finished());
    EXPECT_LT(r.view.pumps, 100) << "no endless loop on a dead line";
    r.ExpectOnlyMessage("Serial Port is not available", "Error", Icon::Critical);
    EXPECT_TRUE(r.main.LastTransfer().lineLost);
    EXPECT_EQ(r.main.LastTransfer().kind, Outcome::Kind::Stopped);
    EXPECT_FALSE(r.serial.PortOpen());
    EXPECT_FALSE(r.main.TransferRunning());
    EXPECT_EQ(r.main.FileNum, 0);
    EXPECT_EQ(r.view.caption[Control::portOpen], "Port Open");
    EXPECT_EQ(r.view.toolTip[Control::Status], "COM1: device unplugged");
    for (Control c : {Control::ComPort1, Control::portOpen, Control::ModeFrame})
      EXPECT_TRUE(r.view.Enabled(c));
    for (Control c : {Control::Start, Control::Browse, Control::ExitButton})
      EXPECT_FALSE(r.view.Enabled(c));
  }
}

TEST(Frame, CloseDuringATransferStopsItAndClosesAfterwards) {
  Rig r;
  WriteFile("file.bin", ImageHeaderBytes());
  r.Choose(Control::DownDot, Control::ProgramDot, "file.bin");
  bool unlockedAtClose = false, cancelled = false;
  r.view.onRequestClose = [&] {
    unlockedAtClose = !r.main.TransferRunning() && r.main.FileNum == 0;
  };
  r.rx.Send({0x01}).Idle(2).Do([&] { r.main.Form_Unload(cancelled); });
  r.main.Start_Click();
  EXPECT_TRUE(cancelled);
  EXPECT_TRUE(unlockedAtClose) << "the close waits for the transfer";
  EXPECT_EQ(r.view.closeRequests, 1);
  EXPECT_TRUE(r.serial.PortOpen())
      << "the port is closed by the close itself, not under the transfer";
  EXPECT_EQ(Hex(r.serial.writes.back()), "03") << "stopped like a Stop";
  EXPECT_TRUE(r.view.messages.empty());
  bool cancel = false;
  r.main.Form_Unload(cancel);
  EXPECT_FALSE(cancel);
  EXPECT_FALSE(r.serial.PortOpen());
}

// Stop makes the mode buttons usable again before the transfer has ended: a mode chosen then
// asks for a new file, so Start does not come back with the old file as the new mode's.
TEST(Frame, ModeChangedAfterStopKeepsStartDisabled) {
  for (Control next : {Control::UpDot, Control::DownDot}) {
    Rig r;
    WriteFile("image.bin", ImageHeaderBytes());
    r.Choose(Control::DownDot, Control::ProgramDot, "image.bin");
    r.rx.Idle(2).Stop().Do([&] { r.main.SelectOption(next, true); });
    r.main.Start_Click();
    EXPECT_EQ(r.StartEnabled(), next == Control::DownDot) << "the same mode: its file stands";
    EXPECT_EQ(ReadFile("image.bin"), ImageHeaderBytes());
  }
}

// A line that gives back what the upload sends (a loopback plug) is named in the status line
// at the next tick; the next transfer starts with the port's own status again.
TEST(Frame, EchoingLineIsNamedInTheStatusLine) {
  Rig r;
  r.Choose(Control::UpDot, Control::ProgramDot, "up.bin");
  r.serial.SetCommPort(1), r.view.caption[Control::Status] = "COM1:115200,N,8,1";
  for (int i = 0; i < 3; ++i) r.rx.Expect({0x01}).Send({0x01}).AwaitRead().Tick();
  r.rx.Expect({0x01}).Do([&] { EXPECT_EQ(r.view.caption[Control::Status], kLineEchoes); }).Stop();
  r.Start();
  EXPECT_EQ(r.view.caption[Control::Status], kLineEchoes) << "still there after the transfer";
  r.rx.Do([&] { EXPECT_EQ(r.view.caption[Control::Status], "COM1:115200,N,8,1"); }).Stop();
  r.main.Start_Click();
}

}  // namespace
}  // namespace kelvane::test
