// The transfer frame in the window: Start begins a transfer and returns; the line and the
// tick drive it; when it has ended the window shows the outcome and is unlocked.

#include <gtest/gtest.h>

#include "serial/EchoWatch.h"
#include "support/Rig.h"

namespace kelvane::test {
namespace {

Bytes UploadHeader(std::uint32_t announced) {
  Bytes h = ImageHeaderBytes();
  for (int i = 0; i < 4; ++i) h[12 + i] = static_cast<std::uint8_t>(announced >> (24 - 8 * i));
  return Concat({B({0x08}), h});
}

// Every way a transfer can end: the settings are written before the exchange, in order,
// only Stop is usable while it runs, the window is unlocked afterwards and says how it ended.
TEST(Frame, EveryWayOutUnlocksTheWindowAndSaysHowItEnded) {
  using K = Outcome::Kind;
  struct WayOut {
    const char* name;
    Control mode, type;
    std::vector<Bytes> receiver;  // each said once the transfer has begun
    K outcome;
    std::vector<std::string> boxes;
    std::string status = "COM1:115200,N,8,1";
  };
  const WayOut ways[] = {
      {"download refused",
       Control::DownDot,
       Control::ProgramDot,
       {B({1}), B({0x12})},
       K::HeaderRefused,
       {"HW version is not matched"}},
      {"download file missing", Control::DownDot, Control::ProgramDot, {}, K::FileError, {"x"}},
      {"temu ended",
       Control::DownDot,
       Control::TemuDot,
       {B({2, 1, 3}), B({2, 3, 3}), B({2, 0x0A, 3})},
       K::TemuEnded,
       {},
       "Temu exchange ended by the receiver: 2 requests served"},
      {"upload complete",
       Control::UpDot,
       Control::ProgramDot,
       {UploadHeader(0), B({3})},
       K::UploadCompleted,
       {"Upload Completed"}},
      {"upload short",
       Control::UpDot,
       Control::ProgramDot,
       {UploadHeader(5000), B({3})},
       K::UploadIncomplete,
       {"Upload Incomplete"}},
      // UpLoad reads the image back whatever TYPE the downloads used last.
      {"upload with temu selected",
       Control::UpDot,
       Control::TemuDot,
       {UploadHeader(0), B({3})},
       K::UploadCompleted,
       {"Upload Completed"}},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    Rig r;
    r.view.caption[Control::Status] = "COM1:115200,N,8,1";
    WriteFile("file.bin", ImageHeaderBytes());
    r.Choose(way.mode, way.type, "file.bin");
    r.main.ChosenPath = "chosen.bin";
    if (way.outcome == K::FileError) r.main.XferPath = "none";
    r.main.Start_Click();
    for (const Bytes& b : way.receiver) {
      const auto& v = r.view;
      EXPECT_TRUE(r.main.TransferRunning() && v.Enabled(Control::ExitButton));
      for (Control c : {Control::ModeFrame, Control::TypeFrame, Control::Start, Control::Browse,
                        Control::File, Control::portOpen})
        EXPECT_FALSE(v.Enabled(c)) << static_cast<int>(c);
      r.Say(b);
    }
    const char* type = way.type == Control::ProgramDot ? "1" : "3";
    EXPECT_EQ(r.settings.writes,
              (std::vector<std::string>{
                  std::string("Startup/Mode=") + (way.mode == Control::DownDot ? "1" : "2"),
                  std::string("Startup/Type=") + type, "Startup/FileName=chosen.bin"}));
    r.ExpectUnlocked();
    EXPECT_EQ(r.main.LastTransfer().kind, way.outcome);
    EXPECT_FALSE(r.main.LastTransfer().lineLost);
    ASSERT_EQ(r.view.messages.size(), way.boxes.size());
    if (way.outcome != K::FileError && !way.boxes.empty()) {
      EXPECT_EQ(r.view.messages[0].text, way.boxes[0]);
    }
    EXPECT_EQ(r.view.caption[Control::Status], way.status);
  }
}

TEST(Frame, ShortUploadSaysHowMuchCameOfWhatWasAnnounced) {
  Rig r;
  r.Choose(Control::UpDot, Control::ProgramDot, "up.bin");
  r.main.Start_Click();
  r.Say(UploadHeader(3000));
  r.Say(Concat({B({2, 0, 0xFF}), Bytes(1024, 7), B({0, 0xFF})}));
  r.Say({3});
  ASSERT_EQ(r.view.messages.size(), 1u);
  EXPECT_EQ(r.view.messages[0].title, "UpLoad");
  EXPECT_EQ(r.view.messages[0].explanation,
            "The receiver ended the upload after 1024 of the 3000 data bytes its header "
            "announced; up.bin holds what came.");
  EXPECT_EQ(ReadFile("up.bin").size(), 64u + 1024u);
}

// The line fails under each exchange: the transfer ends at the next read or tick, the port is
// shown closed, once.
TEST(Frame, LostLineEndsTheTransferAndClosesThePort) {
  const std::pair<Control, Control> cases[] = {{Control::DownDot, Control::ProgramDot},
                                               {Control::UpDot, Control::ProgramDot},
                                               {Control::DownDot, Control::TemuDot}};
  for (const auto& [mode, type] : cases) {
    Rig r;
    WriteFile("file.bin", ImageHeaderBytes());
    r.Choose(mode, type, "file.bin");
    r.main.Start_Click();
    r.serial.lost = true, r.serial.lastError = "COM1: device unplugged";
    r.main.Timer1_Timer();
    r.ExpectOnlyMessage("Serial Port is not available", "Error", Icon::Critical);
    EXPECT_TRUE(r.main.LastTransfer().lineLost);
    EXPECT_EQ(r.main.LastTransfer().kind, Outcome::Kind::Stopped);
    EXPECT_FALSE(r.serial.PortOpen());
    EXPECT_FALSE(r.main.TransferRunning());
    EXPECT_EQ(r.main.FileNum, 0);
    EXPECT_EQ(r.view.toolTip[Control::Status], "COM1: device unplugged");
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
  r.main.Start_Click();
  r.Say({1});
  r.main.Form_Unload(cancelled);
  EXPECT_TRUE(cancelled);
  EXPECT_TRUE(unlockedAtClose) << "the close waits for the transfer";
  EXPECT_EQ(r.view.closeRequests, 1);
  EXPECT_TRUE(r.serial.PortOpen()) << "closed by the close itself, not under the transfer";
  EXPECT_EQ(Hex(r.serial.writes.back()), "03") << "stopped like a Stop";
  EXPECT_TRUE(r.view.messages.empty());
  bool cancel = false;
  r.main.Form_Unload(cancel);
  EXPECT_FALSE(cancel);
  EXPECT_FALSE(r.serial.PortOpen());
}

// Stop makes the mode buttons usable again: a mode chosen then asks for a new file.
TEST(Frame, ModeChangedAfterStopKeepsStartDisabled) {
  for (Control next : {Control::UpDot, Control::DownDot}) {
    Rig r;
    WriteFile("image.bin", ImageHeaderBytes());
    r.Choose(Control::DownDot, Control::ProgramDot, "image.bin");
    r.main.Start_Click();
    r.main.ExitButton_Click();
    r.main.SelectOption(next, true);
    EXPECT_EQ(r.StartEnabled(), next == Control::DownDot) << "the same mode: its file stands";
    EXPECT_EQ(r.view.stoppedAt, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 0}}));
  }
}

// A line that gives back what the upload sends is named in the status line at a tick; the
// next transfer starts with the port's own status again.
TEST(Frame, EchoingLineIsNamedInTheStatusLine) {
  Rig r;
  r.Choose(Control::UpDot, Control::ProgramDot, "up.bin");
  r.view.caption[Control::Status] = "COM1:115200,N,8,1";
  r.serial.SetCommPort(1);
  r.main.Start_Click();
  for (int i = 0; i < 3; ++i) r.serial.Deliver({1}), r.main.Timer1_Timer();
  EXPECT_EQ(r.view.caption[Control::Status], kLineEchoes);
  r.main.ExitButton_Click();
  EXPECT_EQ(r.view.caption[Control::Status], kLineEchoes) << "still there after the transfer";
  r.main.Start_Click();
  EXPECT_EQ(r.view.caption[Control::Status], "COM1:115200,N,8,1");
}

}  // namespace
}  // namespace kelvane::test
